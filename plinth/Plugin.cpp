#include "plinth/Plugin.h"

#include <cmath>
#include <cstring>

#include "plinth/ChannelIO.h"

namespace plinth {

Plugin::Plugin(const InstanceInfo& info, const Config& config)
    : mInfo(info), mConfig(config), mParams(config.nParams > 0 ? static_cast<size_t>(config.nParams) : 0) {
  mLatency.store(config.latency, std::memory_order_relaxed);
  std::vector<BusLayout> layouts = ParseChannelIO(config.channelIOStr);
  if (!layouts.empty()) {
    mInChansConnected.store(layouts.front().inputBuses.front(), std::memory_order_relaxed);
    mOutChansConnected.store(layouts.front().outputBuses.front(), std::memory_order_relaxed);
  }
}

Plugin::~Plugin() = default;

void Plugin::ProcessBlock(double** inputs, double** outputs, int nFrames) {
  int n = NOutChansConnected() < NInChansConnected() ? NOutChansConnected() : NInChansConnected();
  for (int c = 0; c < n; ++c)
    if (inputs[c] != outputs[c]) std::memcpy(outputs[c], inputs[c], sizeof(double) * static_cast<size_t>(nFrames));
}

bool Plugin::SerializeParams(IByteChunk& chunk) const {
  for (const IParam& p : mParams) {
    double v = p.Value();
    chunk.Put(&v);
  }
  return true;
}

int Plugin::UnserializeParams(const IByteChunk& chunk, int startPos) {
  int pos = startPos;
  for (int i = 0; i < NParams() && pos >= 0; ++i) {
    double v = 0.0;
    pos = chunk.Get(&v, pos);
    if (pos >= 0 && std::isfinite(v)) mParams[i].Set(v);
  }
  OnParamReset();
  return pos;
}

void Plugin::OnParamReset() {
  for (int i = 0; i < NParams(); ++i) OnParamChange(i);
}

void Plugin::InformHostOfParamChange(int idx) {
  if (HostSink* h = mHost.load(std::memory_order_acquire); h && GetParam(idx)) h->ParamChangedByPlugin(idx);
}

void Plugin::BeginInformHostOfParamChange(int idx) {
  if (HostSink* h = mHost.load(std::memory_order_acquire); h && GetParam(idx)) h->BeginParamGesture(idx);
}

void Plugin::EndInformHostOfParamChange(int idx) {
  if (HostSink* h = mHost.load(std::memory_order_acquire); h && GetParam(idx)) h->EndParamGesture(idx);
}

bool Plugin::EditorResizeFromUI(int width, int height) {
  if (width <= 0 || height <= 0) return false;
  SetEditorSize(width, height);
  HostSink* h = mHost.load(std::memory_order_acquire);
  return h ? h->RequestEditorResize(width, height) : false;
}

void Plugin::SetEditorSize(int width, int height) {
  if (width <= 0 || height <= 0) return;
  mEditorWidth.store(width, std::memory_order_relaxed);
  mEditorHeight.store(height, std::memory_order_relaxed);
}

void Plugin::SetLatency(int samples) {
  if (samples < 0) samples = 0;
  int old = mLatency.exchange(samples, std::memory_order_relaxed);
  if (old == samples) return;
  if (HostSink* h = mHost.load(std::memory_order_acquire)) h->LatencyChanged(samples);
}

void Plugin::SetSampleRateAndBlockSize(double sampleRate, int maxBlockSize) {
  if (std::isfinite(sampleRate) && sampleRate > 0.0) mSampleRate.store(sampleRate, std::memory_order_relaxed);
  if (maxBlockSize > 0) mBlockSize.store(maxBlockSize, std::memory_order_relaxed);
}

void Plugin::SetChannelConnections(int nInputs, int nOutputs) {
  mInChansConnected.store(nInputs < 0 ? 0 : nInputs, std::memory_order_relaxed);
  mOutChansConnected.store(nOutputs < 0 ? 0 : nOutputs, std::memory_order_relaxed);
}

void Plugin::SetParameterFromHost(int idx, double plain) {
  IParam* p = GetParam(idx);
  if (!p || !std::isfinite(plain)) return;
  p->Set(plain);
  OnParamChange(idx);
}

}  // namespace plinth
