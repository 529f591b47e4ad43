#include "plinth/vst3/ProcessBuffers.h"

#include <algorithm>
#include <cstring>
#include <type_traits>

namespace plinth::vst3 {

using namespace Steinberg;
using namespace Steinberg::Vst;

namespace {

// Host channel c of a bus, or null when the host passes none.
template <typename Sample>
Sample* HostChannel(const AudioBusBuffers& bus, int c) {
  if (c < 0 || c >= bus.numChannels) return nullptr;
  Sample** channels;
  if constexpr (std::is_same_v<Sample, Sample64>)
    channels = bus.channelBuffers64;
  else
    channels = bus.channelBuffers32;
  return channels ? channels[c] : nullptr;
}

template <typename Sample>
void GatherBus(const AudioBusBuffers& bus, int inUse, double* const* dst, int channels, int offset, int frames) {
  for (int c = 0; c < channels; ++c) {
    const Sample* src = c < inUse ? HostChannel<Sample>(bus, c) : nullptr;
    double* out = dst[c];
    if (!src) {
      std::memset(out, 0, sizeof(double) * static_cast<size_t>(frames));
      continue;
    }
    src += offset;
    for (int i = 0; i < frames; ++i) out[i] = static_cast<double>(src[i]);
  }
}

template <typename Sample>
void ScatterBus(AudioBusBuffers& bus, double* const* srcs, int channels, int offset, int frames) {
  for (int c = 0; c < bus.numChannels; ++c) {
    Sample* dst = HostChannel<Sample>(bus, c);
    if (!dst) continue;
    dst += offset;
    if (c >= channels) {
      std::memset(dst, 0, sizeof(Sample) * static_cast<size_t>(frames));
      continue;
    }
    const double* src = srcs[c];
    for (int i = 0; i < frames; ++i) dst[i] = static_cast<Sample>(src[i]);
  }
}

template <typename Sample>
void CopyThroughT(ProcessData& data) {
  if (data.numOutputs <= 0 || !data.outputs) return;
  const int n = data.numSamples;
  const AudioBusBuffers* mainIn = data.numInputs > 0 && data.inputs ? &data.inputs[0] : nullptr;
  for (int b = 0; b < data.numOutputs; ++b) {
    AudioBusBuffers& out = data.outputs[b];
    for (int c = 0; c < out.numChannels; ++c) {
      Sample* dst = HostChannel<Sample>(out, c);
      if (!dst) continue;
      const Sample* src = b == 0 && mainIn ? HostChannel<Sample>(*mainIn, c) : nullptr;
      if (!src)
        std::memset(dst, 0, sizeof(Sample) * static_cast<size_t>(n));
      else if (src != dst)
        std::memmove(dst, src, sizeof(Sample) * static_cast<size_t>(n));
    }
    out.silenceFlags = 0;
  }
}

template <typename Sample>
void SilenceT(ProcessData& data) {
  if (data.numOutputs <= 0 || !data.outputs) return;
  for (int b = 0; b < data.numOutputs; ++b) {
    AudioBusBuffers& out = data.outputs[b];
    for (int c = 0; c < out.numChannels; ++c)
      if (Sample* dst = HostChannel<Sample>(out, c)) std::memset(dst, 0, sizeof(Sample) * static_cast<size_t>(data.numSamples));
    out.silenceFlags = out.numChannels >= 64 ? ~uint64(0) : (uint64(1) << out.numChannels) - 1;
  }
}

}  // namespace

void ProcessBuffers::Allocate(const std::vector<int>& inputBusChannels, const std::vector<int>& outputBusChannels,
                              int maxFrames) {
  maxFrames = std::max(maxFrames, 1);
  auto slices = [](const std::vector<int>& counts, std::vector<BusSlice>& out) {
    out.clear();
    int first = 0;
    for (int n : counts) {
      out.push_back(BusSlice{first, std::max(n, 0)});
      first += std::max(n, 0);
    }
    return first;
  };
  const int nIn = slices(inputBusChannels, mInBuses);
  const int nOut = slices(outputBusChannels, mOutBuses);

  // Every input bus starts fully in use; the wrapper narrows it afterwards.
  mInputInUse.reset(new std::atomic<int>[mInBuses.size() + 1]);
  for (size_t b = 0; b < mInBuses.size(); ++b) mInputInUse[b].store(mInBuses[b].channels, std::memory_order_relaxed);

  // Zero-length buses still get one valid pointer slot so data() is never null.
  mStorage.assign(static_cast<size_t>(nIn + nOut) * static_cast<size_t>(maxFrames), 0.0);
  mInputPtrs.assign(static_cast<size_t>(std::max(nIn, 1)), nullptr);
  mOutputPtrs.assign(static_cast<size_t>(std::max(nOut, 1)), nullptr);
  for (int c = 0; c < nIn; ++c) mInputPtrs[static_cast<size_t>(c)] = mStorage.data() + static_cast<size_t>(c) * maxFrames;
  for (int c = 0; c < nOut; ++c)
    mOutputPtrs[static_cast<size_t>(c)] = mStorage.data() + static_cast<size_t>(nIn + c) * maxFrames;
  mMaxFrames = maxFrames;
}

void ProcessBuffers::SetInputInUse(int bus, int channels) {
  if (!mInputInUse || bus < 0 || bus >= static_cast<int>(mInBuses.size())) return;
  mInputInUse[static_cast<size_t>(bus)].store(std::clamp(channels, 0, mInBuses[static_cast<size_t>(bus)].channels),
                                               std::memory_order_relaxed);
}

void ProcessBuffers::Gather(const ProcessData& data, bool is64, int offset, int frames) {
  for (size_t b = 0; b < mInBuses.size(); ++b) {
    const BusSlice& slice = mInBuses[b];
    double* const* dst = mInputPtrs.data() + slice.first;
    const int inUse = mInputInUse[b].load(std::memory_order_relaxed);
    if (static_cast<int>(b) < data.numInputs && data.inputs) {
      if (is64)
        GatherBus<Sample64>(data.inputs[b], inUse, dst, slice.channels, offset, frames);
      else
        GatherBus<Sample32>(data.inputs[b], inUse, dst, slice.channels, offset, frames);
    } else {
      for (int c = 0; c < slice.channels; ++c) std::memset(dst[c], 0, sizeof(double) * static_cast<size_t>(frames));
    }
  }
  for (const BusSlice& slice : mOutBuses)
    for (int c = 0; c < slice.channels; ++c)
      std::memset(mOutputPtrs[static_cast<size_t>(slice.first + c)], 0, sizeof(double) * static_cast<size_t>(frames));
}

void ProcessBuffers::Scatter(ProcessData& data, bool is64, int offset, int frames) const {
  if (!data.outputs) return;
  for (int b = 0; b < data.numOutputs; ++b) {
    AudioBusBuffers& bus = data.outputs[b];
    const bool known = b < static_cast<int>(mOutBuses.size());
    const BusSlice slice = known ? mOutBuses[static_cast<size_t>(b)] : BusSlice{};
    double* const* src = known ? mOutputPtrs.data() + slice.first : nullptr;
    if (is64)
      ScatterBus<Sample64>(bus, src, slice.channels, offset, frames);
    else
      ScatterBus<Sample32>(bus, src, slice.channels, offset, frames);
    bus.silenceFlags = 0;
  }
}

void CopyThrough(ProcessData& data, bool is64) {
  if (is64)
    CopyThroughT<Sample64>(data);
  else
    CopyThroughT<Sample32>(data);
}

void SilenceOutputs(ProcessData& data, bool is64) {
  if (is64)
    SilenceT<Sample64>(data);
  else
    SilenceT<Sample32>(data);
}

}  // namespace plinth::vst3
