#include "plinth/vst3/BusConfiguration.h"

#include <algorithm>

#include "plinth/vst3/Utf16.h"

namespace plinth::vst3 {

using namespace Steinberg;
using namespace Steinberg::Vst;

SpeakerArrangement ArrangementForChannels(int channels) {
  if (channels == 1) return SpeakerArr::kMono;
  if (channels == 2) return SpeakerArr::kStereo;
  if (channels <= 0) return SpeakerArr::kEmpty;
  SpeakerArrangement arr = 0;
  for (int i = 0; i < channels && i < 64; ++i) arr |= SpeakerArrangement(1) << i;
  return arr;
}

namespace {

// A host arrangement fits a bus of n channels only as the wrapper's own
// arrangement for n: plain mono, plain stereo.
bool Fits(SpeakerArrangement arr, int channels) { return arr == ArrangementForChannels(channels); }

}  // namespace

BusConfiguration::BusConfiguration(const char* channelIOStr) : mLayouts(ParseChannelIO(channelIOStr)) {
  if (mLayouts.empty()) mLayouts.push_back(BusLayout{{2}, {2}});
  const int nIn = MaxInputBuses(mLayouts);
  const int nOut = MaxOutputBuses(mLayouts);
  mInputs.resize(static_cast<size_t>(nIn));
  mOutputs.resize(static_cast<size_t>(nOut));
  for (const BusLayout& layout : mLayouts) {
    for (size_t i = 0; i < layout.inputBuses.size(); ++i)
      mInputs[i].maxChannels = std::max(mInputs[i].maxChannels, layout.inputBuses[i]);
    for (size_t i = 0; i < layout.outputBuses.size(); ++i)
      mOutputs[i].maxChannels = std::max(mOutputs[i].maxChannels, layout.outputBuses[i]);
  }
  // Main buses start active (hosts activate default-active buses anyway);
  // aux buses wait for the host.
  for (size_t i = 0; i < mInputs.size(); ++i) {
    mInputs[i].arrangement = ArrangementForChannels(mInputs[i].maxChannels);
    mInputs[i].aux = i > 0;
    mInputs[i].active = i == 0;
  }
  for (size_t i = 0; i < mOutputs.size(); ++i) {
    mOutputs[i].arrangement = ArrangementForChannels(mOutputs[i].maxChannels);
    mOutputs[i].aux = i > 0;
    mOutputs[i].active = i == 0;
  }
}

int BusConfiguration::NumBuses(BusDirection dir) const { return static_cast<int>(Buses(dir).size()); }

int BusConfiguration::MaxChannels(BusDirection dir, int bus) const {
  return bus >= 0 && bus < NumBuses(dir) ? Buses(dir)[static_cast<size_t>(bus)].maxChannels : 0;
}

int BusConfiguration::Channels(BusDirection dir, int bus) const {
  return bus >= 0 && bus < NumBuses(dir) ? SpeakerArr::getChannelCount(Buses(dir)[static_cast<size_t>(bus)].arrangement)
                                         : 0;
}

bool BusConfiguration::IsActive(BusDirection dir, int bus) const {
  return bus >= 0 && bus < NumBuses(dir) && Buses(dir)[static_cast<size_t>(bus)].active;
}

SpeakerArrangement BusConfiguration::Arrangement(BusDirection dir, int bus) const {
  return bus >= 0 && bus < NumBuses(dir) ? Buses(dir)[static_cast<size_t>(bus)].arrangement : SpeakerArr::kEmpty;
}

bool BusConfiguration::GetInfo(BusDirection dir, int bus, BusInfo& info) const {
  if (bus < 0 || bus >= NumBuses(dir)) return false;
  const Bus& b = Buses(dir)[static_cast<size_t>(bus)];
  info = BusInfo();
  info.mediaType = kAudio;
  info.direction = dir;
  info.channelCount = SpeakerArr::getChannelCount(b.arrangement);
  info.busType = b.aux ? kAux : kMain;
  info.flags = b.aux ? 0u : static_cast<uint32>(BusInfo::kDefaultActive);
  const char* name = dir == kInput ? (b.aux ? "Sidechain" : "Input") : (b.aux ? "Aux Output" : "Output");
  CopyToUtf16(name, info.name, 128);
  return true;
}

bool BusConfiguration::SetArrangements(const SpeakerArrangement* ins, int nIns, const SpeakerArrangement* outs,
                                       int nOuts) {
  if (nIns < 0 || nOuts < 0 || (nIns > 0 && !ins) || (nOuts > 0 && !outs)) return false;
  for (const BusLayout& layout : mLayouts) {
    if (nIns != static_cast<int>(layout.inputBuses.size()) || nOuts != static_cast<int>(layout.outputBuses.size()))
      continue;
    bool fits = true;
    for (int i = 0; i < nIns && fits; ++i) fits = Fits(ins[i], layout.inputBuses[static_cast<size_t>(i)]);
    for (int i = 0; i < nOuts && fits; ++i) {
      const int n = layout.outputBuses[static_cast<size_t>(i)];
      fits = Fits(outs[i], n) || (i == 0 && n == 2 && Fits(outs[i], 1));
    }
    if (!fits) continue;
    for (int i = 0; i < nIns; ++i) mInputs[static_cast<size_t>(i)].arrangement = ins[i];
    for (size_t i = static_cast<size_t>(nIns); i < mInputs.size(); ++i) mInputs[i].active = false;
    for (int i = 0; i < nOuts; ++i) mOutputs[static_cast<size_t>(i)].arrangement = outs[i];
    for (size_t i = static_cast<size_t>(nOuts); i < mOutputs.size(); ++i) mOutputs[i].active = false;
    return true;
  }
  return false;
}

bool BusConfiguration::Activate(BusDirection dir, int bus, bool state) {
  if (bus < 0 || bus >= NumBuses(dir)) return false;
  Buses(dir)[static_cast<size_t>(bus)].active = state;
  return true;
}

int BusConfiguration::ConnectedInputChannels() const {
  int n = 0;
  for (const Bus& b : mInputs)
    if (b.active) n += SpeakerArr::getChannelCount(b.arrangement);
  return n;
}

int BusConfiguration::ConnectedOutputChannels() const {
  int n = 0;
  for (const Bus& b : mOutputs)
    if (b.active) n += SpeakerArr::getChannelCount(b.arrangement);
  return n;
}

}  // namespace plinth::vst3
