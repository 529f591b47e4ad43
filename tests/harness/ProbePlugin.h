#pragma once
// A tiny plug-in for testing the framework and its wrappers without the
// product: a gain, a mode switch and a latency parameter, an "editor" that
// only records what the host asked of it, and counters a test can read
// through the probe module's exported qb_probe_stats().

#include <atomic>

#include "plinth/Plugin.h"

namespace probe {

enum { kGain = 0, kMode, kLatency, kNumParams };

struct ProbeStats {
  std::atomic<int> instances{0};
  std::atomic<int> constructed{0};
  std::atomic<int> resets{0};
  std::atomic<int> paramChanges{0};
  std::atomic<int> processCalls{0};
  std::atomic<int> maxFramesSeen{0};
  std::atomic<int> lastOutChans{0};
  std::atomic<int> lastInChans{0};
  std::atomic<double> lastSampleRate{0.0};
  std::atomic<int> lastBlockSize{0};
  std::atomic<unsigned long> lastParentWindow{0};
  std::atomic<int> windowsOpen{0};
  std::atomic<int> parentWidth{0};
  std::atomic<int> parentHeight{0};
};

// One per module: each module that links the probe keeps its own copy.
ProbeStats& Stats();

const plinth::Config& ProbeConfig();

class ProbePlugin final : public plinth::Plugin {
 public:
  explicit ProbePlugin(const plinth::InstanceInfo& info);
  ~ProbePlugin() override;

  void OnReset() override;
  void OnParamChange(int paramIdx) override;
  void ProcessBlock(double** inputs, double** outputs, int nFrames) override;
  void* OpenWindow(void* parent) override;
  void CloseWindow() override;
  void OnParentWindowResize(int width, int height) override;
  bool HasEditor() const override { return true; }

 private:
  std::atomic<double> mGain{1.0};
  int mWindowToken = 0;
};

}  // namespace probe

// Exported by the probe modules (not by the product's).
extern "C" __attribute__((visibility("default"))) probe::ProbeStats* qb_probe_stats();
