#pragma once
// The audio buses a plug-in offers a VST3 host, derived from its channel I/O
// string: one input bus per position (the first is main, later ones are aux
// buses, inactive until the host activates them), output buses likewise.
// Tracks the arrangement the host chose and which buses it activated.
//
// Threads: every method is for the main thread; the connected channel
// counts are what the wrapper hands to the plug-in.

#include <vector>

#include "pluginterfaces/vst/ivstcomponent.h"
#include "pluginterfaces/vst/vstspeaker.h"
#include "plinth/ChannelIO.h"

namespace plinth::vst3 {

class BusConfiguration {
 public:
  explicit BusConfiguration(const char* channelIOStr);

  int NumBuses(Steinberg::Vst::BusDirection dir) const;
  // Channel count of the largest arrangement a bus ever takes.
  int MaxChannels(Steinberg::Vst::BusDirection dir, int bus) const;
  // Channel count of the bus's current arrangement.
  int Channels(Steinberg::Vst::BusDirection dir, int bus) const;
  bool IsActive(Steinberg::Vst::BusDirection dir, int bus) const;
  Steinberg::Vst::SpeakerArrangement Arrangement(Steinberg::Vst::BusDirection dir, int bus) const;
  // False for an index out of range.
  bool GetInfo(Steinberg::Vst::BusDirection dir, int bus, Steinberg::Vst::BusInfo& info) const;

  // Applies the arrangements when they form a supported configuration (one
  // of the channel I/O layouts, or such a layout with a mono main output
  // instead of a stereo one); otherwise changes nothing and returns false.
  // A configuration that omits trailing input buses deactivates them.
  bool SetArrangements(const Steinberg::Vst::SpeakerArrangement* ins, int nIns,
                       const Steinberg::Vst::SpeakerArrangement* outs, int nOuts);
  bool Activate(Steinberg::Vst::BusDirection dir, int bus, bool state);

  // Channels of the active buses, summed.
  int ConnectedInputChannels() const;
  int ConnectedOutputChannels() const;

 private:
  struct Bus {
    int maxChannels = 0;
    Steinberg::Vst::SpeakerArrangement arrangement = 0;
    bool active = false;
    bool aux = false;
  };
  const std::vector<Bus>& Buses(Steinberg::Vst::BusDirection dir) const { return dir == Steinberg::Vst::kInput ? mInputs : mOutputs; }
  std::vector<Bus>& Buses(Steinberg::Vst::BusDirection dir) { return dir == Steinberg::Vst::kInput ? mInputs : mOutputs; }

  std::vector<BusLayout> mLayouts;
  std::vector<Bus> mInputs;
  std::vector<Bus> mOutputs;
};

// The speaker arrangement the wrapper uses for n channels (mono, stereo, or
// the first n speakers).
Steinberg::Vst::SpeakerArrangement ArrangementForChannels(int channels);

}  // namespace plinth::vst3
