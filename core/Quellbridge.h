#pragma once
// The Quellbridge plug-in: one object per insert, wrapped by the VST3 or the
// CLAP module. It owns the ducking engine, its registry handle and heartbeat,
// the analyser buffers the editor reads, and the persisted members.
//
// Where things live:
//   core/Quellbridge.cpp        construction, reset, parameter changes, destruction
//   core/BlockProcessing.cpp    the audio callback
//   registry/PersistedState.cpp the state chunk
//   registry/ShadowPeer.cpp     the shadow copy of the peer and re-pairing by name
//
// Threads: the host's main thread (construction, reset, state, destruction),
// the audio thread (ProcessBlock, host automation), the heartbeat thread and,
// later, the editor thread. Members say who touches them.

#include <atomic>
#include <cstdint>
#include <mutex>

#include "core/DisplayBands.h"
#include "core/Parameters.h"
#include "core/engine/SpectralProcessor.h"
#include "plinth/Plugin.h"
#include "registry/Heartbeat.h"
#include "registry/QuellbridgeSHM.h"
#include "registry/ShadowPeer.h"

namespace qb {

class Quellbridge final : public plinth::Plugin {
 public:
  static constexpr int kAnalyzerRingSize = 8192;

  explicit Quellbridge(const plinth::InstanceInfo& info);
  ~Quellbridge() override;

  /// Main thread, not processing: sizes the engine for the sample rate,
  /// clears it and reports the new latency (twice the transform length).
  void OnReset() override;
  /// Any thread: stores the new value where the audio path reads it and
  /// publishes attack, release and make-up to the own registry slot.
  void OnParamChange(int paramIdx) override;
  /// Audio thread: exchanges with the registry, runs the engine, publishes.
  void ProcessBlock(double** inputs, double** outputs, int nFrames) override;
  /// Main thread: the 354-byte state chunk (after pulling the registry's
  /// current groups into the parameters).
  bool SerializeState(plinth::IByteChunk& chunk) const override;
  /// Main thread: restores a chunk, pushes it into the own slot; returns the
  /// position after the last field read, or -1 when the parameters were missing.
  int UnserializeState(const plinth::IByteChunk& chunk, int startPos) override;

  // ---- Operations of the editor and the state ---------------------------

  /// Bands 0..2; other indices are ignored.
  void SetBandEnabled(int index, bool on);
  void GetGainReduction(float& low, float& mid, float& high) const;
  /// Null is ignored; at most 63 characters; also renames the own slot.
  void SetInstanceName(const char* name);
  /// Null empties it; at most 63 characters.
  void SetPersistedPeerName(const char* name);
  void SetPersistedBandFreqs(const float (&freqs)[6]);
  /// Copies the own slot's groups into the parameters and persisted members.
  void FlushSHMToParams();

  // Shadow copy of the peer (edits this side made to it), see ShadowPeer.h.
  void ClearShadowPeer();
  void RecordShadowPeerBands(const QBBand* bands, int count);
  void RecordShadowPeerHpLp(float hp, float lp);
  void RecordShadowPeerControls(float attack, float release, float makeup);
  void ApplyShadowPeerToSHM();
  /// Pairs with the first listed instance named persistedPeerName, if any;
  /// returns whether it paired.
  bool RepairByName(const QBInstanceList& instances);

  // ---- Read-only views (tests, editor) ----------------------------------

  void GetInstanceName(char (&out)[kNameSize]) const;
  void GetPersistedPeerName(char (&out)[kNameSize]) const;
  int PersistedBandCount() const { return persistedBandCount.load(std::memory_order_relaxed); }
  ShadowPeer GetShadowPeer() const;
  const QuellbridgeSHM& Registry() const { return registry; }
  QuellbridgeSHM& Registry() { return registry; }
  double ParamTarget(int paramIdx) const;
  // The parameter object's current plain value (0 for an index outside the table).
  double ParamValue(int paramIdx) const;
  int TransformLength() const { return processor.transformLength(); }
  // Meter triples of the last processed block: own band levels, the peer's,
  // gain reduction in dB. Written by the audio thread, read by the editor.
  void GetMeters(float (&own)[3], float (&peer)[3], float (&gainReductionDb)[3]) const;

 private:
  // Block-processing steps (core/BlockProcessing.cpp).
  void RunBypassBlock(double** inputs, double** outputs, int nFrames, int nOut);
  void AdoptOwnBands(const QBBandGroup& group);
  void AdoptOwnHpLp(const QBHpLpGroup& group);
  void AdoptOwnControls(const QBControlsGroup& group);
  float MakeupGain(double makeupDb);
  void SmoothParameters(int nFrames);
  void RunEngine(double** inputs, double** outputs, int nFrames, bool stereo, const FrameArguments& args);
  void MeasureBandLevels(const float* spectrum, float scale, float (&levels)[3]) const;
  void FeedAnalyzer(double** outputs, int nFrames, int nOut);
  void FlushPendingControls();

  // Registry pushes (registry/PersistedState.cpp).
  void PushStateToOwnSlot();
  void WriteControlsToOwnSlot();
  void OnHeartbeat();
  void RepairAndReplayShadow();
  void OnSlotRejoined();

  // ---- Members ----------------------------------------------------------

  // Main thread, editor (rename), heartbeat (rejoin): guarded by persistMutex.
  char instanceName[kNameSize] = "Quellbridge";
  // Main thread (reset); read by the audio thread.
  double sampleRate = 44100.0;
  SpectralProcessor processor;

  // Processing targets, one per parameter (LinkSlot as an int). Written by
  // OnParamChange (any thread) and by the audio thread's adoption of registry
  // groups; read by the audio thread.
  std::atomic<double> paramTargets[kNumParams];
  // Audio thread (and OnReset while not processing): block-rate smoothed copies.
  struct Smoothed {
    double thresh[3] = {-20.0, -20.0, -20.0};
    double ratio[3] = {4.0, 4.0, 4.0};
    double freqLow = 200.0;
    double freqHigh = 5000.0;
    double hp = 20.0;
    double lp = 20000.0;
    double makeup = 0.0;
  } paramSmoothed;

  // Written by the audio thread, read by the editor and the host's threads.
  std::atomic<float> gainReductionDb[3];
  std::atomic<float> meterOwnLevels[3];
  std::atomic<float> meterPeerLevels[3];

  // Analyser feed: mono mix of the output, written by the audio thread; the
  // editor's analyser reads the ring and the tables.
  std::atomic<float> analyzerRing[kAnalyzerRingSize];
  std::atomic<int32_t> analyzerWritePos{0};
  std::atomic<int32_t> analyzerReadPos{0};
  float analyzerSampleRate = 44100.0f;  // main thread (reset)
  std::atomic<int32_t> analyzerPollCount{0};
  float analyzerWindow[kAnalyzerFftSize];
  float analyzerFrame[kAnalyzerFftSize] = {};
  float analyzerFft[kAnalyzerFftSize] = {};
  float analyzerBinDb[kAnalyzerBins];
  float analyzerBandDb[kDisplayBands];
  DisplayBandTable analyzerBands;

  QuellbridgeSHM registry;

  // Audio thread only: the paired instance's last spectrum, and what the
  // audio path keeps from block to block to skip work that would give the
  // same result (band levels, the make-up gain, the smoothing step).
  float peerSpectrum[kSpectrumBins] = {};
  float ownLevels[3] = {0.0f, 0.0f, 0.0f};
  float peerLevels[3] = {0.0f, 0.0f, 0.0f};
  double levelsFreqLow = -1.0;
  double levelsFreqHigh = -1.0;
  // The slot may not hold our latest spectrum (after a bypass, a reset or a
  // re-claimed slot); also set by the heartbeat thread.
  std::atomic<bool> ownSpectrumStale{true};
  double makeupGainDb = 0.0;
  float makeupGainLinear = 1.0f;
  int smoothingFrames = -1;  // block length smoothingStep was computed for
  double smoothingStep = 0.0;

  // Change counters last applied or written, per group. Audio thread
  // (adoption), any thread (WriteControls), main thread (state), heartbeat
  // (rejoin).
  std::atomic<uint64_t> lastBandSeq{0};
  std::atomic<uint64_t> lastHpLpSeq{0};
  std::atomic<uint64_t> lastControlsSeq{0};
  // Set when attack, release or make-up changed but the own slot could not be
  // written at once (lock busy); the next block or heartbeat writes them.
  std::atomic<bool> controlsPending{false};
  // Set when a restored state could not be written into the own slot at
  // once; the heartbeat retries.
  std::atomic<bool> statePushPending{false};
  // Counter of the band group the instance itself last pushed from its
  // persisted members (restore, rejoin); main thread and heartbeat.
  std::atomic<uint64_t> lastPushedBandSeq{0};

  // Persisted members. persistedBandCount is also written by the audio
  // thread; the rest belong to the host's and the editor's threads, guarded
  // by persistMutex (taken before the registry lock, never on the audio thread).
  mutable std::mutex persistMutex;
  std::atomic<int32_t> persistedBandCount{1};
  float persistedBandFreqs[6] = {20.0f, 20000.0f, 0.0f, 0.0f, 0.0f, 0.0f};
  bool persistedBandEnabled[3] = {true, true, true};
  char persistedPeerName[kNameSize] = {};
  // Read by the audio thread.
  std::atomic<bool> liveBandEnabled[3] = {true, true, true};
  ShadowPeer shadow;
  // The search for the persisted peer by name that a restore starts; run by
  // the restore and the heartbeat (see ShadowPeer.h).
  NameRepair repair;
  // The editor size lives in the framework base (GetEditorWidth/Height).

  // Last: started at the end of construction, stopped first in destruction.
  Heartbeat heartbeat;
};

}  // namespace qb
