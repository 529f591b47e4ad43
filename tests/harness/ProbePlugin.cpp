#include "ProbePlugin.h"

#include <algorithm>

namespace probe {

ProbeStats& Stats() {
  static ProbeStats stats;
  return stats;
}

const plinth::Config& ProbeConfig() {
  static const plinth::Config config = [] {
    plinth::Config c;
    c.nParams = kNumParams;
    c.nPresets = 1;
    c.channelIOStr = "2-2 2.2-2";
    c.pluginName = "Probe";
    c.productName = "Probe";
    c.mfrName = "QuellbridgeTests";
    c.vendorVersion = plinth::PackVersion(0, 1, 0);
    c.uniqueID = plinth::FourCC("Prob");
    c.mfrID = plinth::FourCC("QbTs");
    c.latency = 0;
    c.plugDoesChunks = true;
    c.plugHasUI = true;
    c.plugWidth = 400;
    c.plugHeight = 300;
    c.plugMinWidth = 200;
    c.plugMinHeight = 100;
    c.plugMaxWidth = 800;
    c.plugMaxHeight = 600;
    c.plugHostResize = true;
    return c;
  }();
  return config;
}

ProbePlugin::ProbePlugin(const plinth::InstanceInfo& info) : plinth::Plugin(info, ProbeConfig()) {
  GetParam(kGain)->InitDouble("Gain", 1.0, 0.0, 2.0, 0.01, "x");
  GetParam(kMode)->InitInt("Mode", 0, 0, 3, "");
  GetParam(kLatency)->InitInt("Latency", 0, 0, 4096, "smp");
  Stats().instances.fetch_add(1);
  Stats().constructed.fetch_add(1);
}

ProbePlugin::~ProbePlugin() {
  if (mWindowToken) CloseWindow();
  Stats().instances.fetch_sub(1);
}

void ProbePlugin::OnReset() {
  Stats().resets.fetch_add(1);
  Stats().lastSampleRate.store(GetSampleRate());
  Stats().lastBlockSize.store(GetBlockSize());
  SetLatency(GetParam(kLatency)->Int());
}

void ProbePlugin::OnParamChange(int paramIdx) {
  Stats().paramChanges.fetch_add(1);
  if (paramIdx == kGain) mGain.store(GetParam(kGain)->Value());
}

void ProbePlugin::ProcessBlock(double** inputs, double** outputs, int nFrames) {
  ProbeStats& s = Stats();
  s.processCalls.fetch_add(1, std::memory_order_relaxed);
  int seen = s.maxFramesSeen.load(std::memory_order_relaxed);
  while (nFrames > seen && !s.maxFramesSeen.compare_exchange_weak(seen, nFrames)) {
  }
  s.lastOutChans.store(NOutChansConnected(), std::memory_order_relaxed);
  s.lastInChans.store(NInChansConnected(), std::memory_order_relaxed);
  const double g = mGain.load(std::memory_order_relaxed);
  const int nOut = std::min(NOutChansConnected(), 2);
  for (int c = 0; c < nOut; ++c)
    for (int i = 0; i < nFrames; ++i) outputs[c][i] = inputs[c][i] * g;
}

void* ProbePlugin::OpenWindow(void* parent) {
  Stats().lastParentWindow.store(reinterpret_cast<unsigned long>(parent));
  Stats().windowsOpen.fetch_add(1);
  mWindowToken = 1;
  return &mWindowToken;
}

void ProbePlugin::CloseWindow() {
  if (!mWindowToken) return;
  mWindowToken = 0;
  Stats().windowsOpen.fetch_sub(1);
}

void ProbePlugin::OnParentWindowResize(int width, int height) {
  Stats().parentWidth.store(width);
  Stats().parentHeight.store(height);
}

}  // namespace probe

probe::ProbeStats* qb_probe_stats() { return &probe::Stats(); }
