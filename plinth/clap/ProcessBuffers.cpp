#include "plinth/clap/ProcessBuffers.h"

#include <algorithm>
#include <cstring>

namespace plinth::clap {
namespace {

// Channel c of a host port, or null when the host gives none.
template <typename T>
T* HostChannel(T** data, uint32_t channelCount, int c) {
  if (!data || c < 0 || static_cast<uint32_t>(c) >= channelCount) return nullptr;
  return data[c];
}

void ZeroHostPort(const clap_audio_buffer_t& port, uint32_t firstChannel, uint32_t frames) {
  for (uint32_t c = firstChannel; c < port.channel_count; ++c) {
    if (port.data64 && port.data64[c])
      std::memset(port.data64[c], 0, sizeof(double) * frames);
    else if (port.data32 && port.data32[c])
      std::memset(port.data32[c], 0, sizeof(float) * frames);
  }
}

}  // namespace

void ProcessBuffers::Configure(const PortLayout& layout, int maxFrames) {
  mLayout = layout;
  mMaxFrames = std::max(1, maxFrames);
  const int nIn = layout.TotalInputChannels();
  const int nOut = layout.TotalOutputChannels();
  mStorage.assign(static_cast<size_t>(nIn + nOut) * static_cast<size_t>(mMaxFrames), 0.0);
  mIn.assign(static_cast<size_t>(nIn), InSlot{});
  mOut.assign(static_cast<size_t>(nOut), OutSlot{});
  mInPtrs.assign(static_cast<size_t>(std::max(nIn, 1)), nullptr);
  mOutPtrs.assign(static_cast<size_t>(std::max(nOut, 1)), nullptr);
  mOwnOut.assign(static_cast<size_t>(std::max(nOut, 1)), nullptr);
  for (int c = 0; c < nIn; ++c) mInPtrs[c] = mStorage.data() + static_cast<size_t>(c) * mMaxFrames;
  for (int c = 0; c < nOut; ++c) mOwnOut[c] = mStorage.data() + static_cast<size_t>(nIn + c) * mMaxFrames;
  mConnectedIn = mConnectedOut = 0;
}

void ProcessBuffers::Bind(const clap_process_t& p) {
  mConnectedIn = mConnectedOut = 0;
  int slot = 0;
  for (size_t port = 0; port < mLayout.inputs.size(); ++port) {
    const clap_audio_buffer_t* host =
        p.audio_inputs && port < p.audio_inputs_count ? &p.audio_inputs[port] : nullptr;
    for (int c = 0; c < mLayout.inputs[port]; ++c, ++slot) {
      InSlot s;
      if (host) {
        s.src64 = HostChannel(host->data64, host->channel_count, c);
        if (!s.src64) s.src32 = HostChannel(host->data32, host->channel_count, c);
      }
      if (s.src64 || s.src32) ++mConnectedIn;
      mIn[slot] = s;
    }
  }
  slot = 0;
  for (size_t port = 0; port < mLayout.outputs.size(); ++port) {
    const clap_audio_buffer_t* host =
        p.audio_outputs && port < p.audio_outputs_count ? &p.audio_outputs[port] : nullptr;
    for (int c = 0; c < mLayout.outputs[port]; ++c, ++slot) {
      OutSlot s;
      if (host) {
        s.dst64 = HostChannel(host->data64, host->channel_count, c);
        if (!s.dst64) s.dst32 = HostChannel(host->data32, host->channel_count, c);
      }
      if (s.dst64 || s.dst32) ++mConnectedOut;
      mOut[slot] = s;
    }
  }
}

void ProcessBuffers::PrepareChunk(uint32_t offset, int n) {
  const size_t frames = static_cast<size_t>(n);
  for (size_t c = 0; c < mIn.size(); ++c) {
    double* dst = mInPtrs[c];
    if (mIn[c].src64) {
      std::memcpy(dst, mIn[c].src64 + offset, sizeof(double) * frames);
    } else if (mIn[c].src32) {
      const float* src = mIn[c].src32 + offset;
      for (size_t i = 0; i < frames; ++i) dst[i] = static_cast<double>(src[i]);
    } else {
      std::memset(dst, 0, sizeof(double) * frames);
    }
  }
  for (size_t c = 0; c < mOut.size(); ++c) mOutPtrs[c] = mOut[c].dst64 ? mOut[c].dst64 + offset : mOwnOut[c];
}

void ProcessBuffers::FinishChunk(uint32_t offset, int n) {
  for (size_t c = 0; c < mOut.size(); ++c) {
    if (!mOut[c].dst32) continue;
    float* dst = mOut[c].dst32 + offset;
    const double* src = mOwnOut[c];
    for (int i = 0; i < n; ++i) dst[i] = static_cast<float>(src[i]);
  }
}

void ProcessBuffers::SilenceHostOutputs(const clap_process_t& p) const {
  if (!p.audio_outputs) return;
  for (uint32_t port = 0; port < p.audio_outputs_count; ++port) ZeroHostPort(p.audio_outputs[port], 0, p.frames_count);
}

void ProcessBuffers::SilenceUndeclaredOutputs(const clap_process_t& p) const {
  if (!p.audio_outputs) return;
  for (uint32_t port = 0; port < p.audio_outputs_count; ++port) {
    const uint32_t declared = port < mLayout.outputs.size() ? static_cast<uint32_t>(mLayout.outputs[port]) : 0;
    ZeroHostPort(p.audio_outputs[port], declared, p.frames_count);
  }
}

}  // namespace plinth::clap
