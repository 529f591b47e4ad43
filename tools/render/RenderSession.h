#pragma once
// Two instances of the module on two tracks, as a host runs them: the track
// and its key. The session sets their parameters, pairs them through their
// saved states the way a reloaded project does (each state names its own
// instance and its peer), waits until the registry shows the pairing, and
// renders blocks alternately key then track, so the track always sees the
// key's latest spectrum.
//
// Threading: everything runs on the thread that created the session; it is
// both the instances' main thread and their audio thread.

#include <memory>
#include <string>
#include <vector>

#include "AudioFiles.h"
#include "BandLayout.h"
#include "GainReductionLog.h"
#include "HostedPlugin.h"
#include "PairingCheck.h"
#include "ParameterSettings.h"
#include "ProgressBar.h"
#include "RegistryView.h"

namespace qbrender {

struct InstanceSetup {
  std::string name;            // stored in the state; the peer finds it by this name
  std::vector<double> params;  // one value per ParameterTable entry
  BandLayout bands;
};

struct RenderTargets {
  FrameSink* trackOut = nullptr;   // the processed track (required)
  FrameSink* keyOut = nullptr;     // the processed key
  FrameSink* trackIn = nullptr;    // the track as it went in (for the figure)
  FrameSink* trackOut2 = nullptr;  // the processed track once more (for the figure)
};

class RenderSession {
 public:
  static std::unique_ptr<RenderSession> Create(qbhost::Format format, const std::string& modulePath,
                                               std::string& error);
  ~RenderSession();

  const ParameterTable& Table() const { return *mTable; }
  // "Quellbridge 1.2.0" as the module's factory lists it.
  std::string PluginDescription() const { return mDescription; }

  // Sets both instances' parameters and activates them, writes names, bands
  // and parameters into their saved states and loads those back, then
  // restarts processing so both start clean from the restored settings.
  // With allowUnrecognisedState a state that is not a Quellbridge state is
  // left as saved (a line goes to warnings) instead of failing.
  bool Prepare(const InstanceSetup& track, const InstanceSetup& key, double sampleRate, int blockSize,
               bool allowUnrecognisedState, std::vector<std::string>& warnings, std::string& error);

  // Polls the registry until both instances name each other, for at most
  // timeoutSeconds. state holds what was seen last, also on failure.
  bool WaitForPairing(double timeoutSeconds, bool quiet, PairingState& state, std::string& error);

  // Whether Prepare wrote names into the states (so pairing can happen).
  bool StatesWritten() const { return mStatesWritten; }
  int TrackLatency() const { return mTrackLatency; }
  int KeyLatency() const { return mKeyLatency; }

  // Renders both sources to their full length. Each output drops its
  // instance's first latency samples and gets as many extra samples from
  // silence at the end, so it lines up with its input. After every block the
  // track instance's gain reduction goes into log. With requirePairing, a
  // pairing lost mid-way is an error.
  bool Render(StereoSource& track, StereoSource& key, const RenderTargets& targets, bool requirePairing,
              GainReductionLog& log, ProgressBar& progress, std::string& error);

 private:
  RenderSession() = default;

  qbhost::Format mFormat = qbhost::Format::Clap;
  std::unique_ptr<qbhost::HostedModule> mModule;
  std::unique_ptr<qbhost::HostedInstance> mTrack;  // created first
  std::unique_ptr<qbhost::HostedInstance> mKey;
  std::unique_ptr<ParameterTable> mTable;
  std::string mDescription;
  std::string mTrackName, mKeyName;
  double mSampleRate = 0.0;
  int mBlockSize = 0;
  int mTrackLatency = 0;
  int mKeyLatency = 0;
  bool mStatesWritten = false;
  std::unique_ptr<RegistryView> mRegistry;
  PairingState mPairing;
};

}  // namespace qbrender
