#pragma once
// Shared pieces of the CLAP module tests: the modules under test (loaded once
// per test executable, as a host keeps them), test signals, and a process
// call with a layout the test builds itself.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "ClapHost.h"

namespace qbtest {

// Fails the calling test (and returns null) when the module does not load.
inline qbhost::ClapModule* LoadOnce(const char* path) {
  static std::vector<std::pair<std::string, std::unique_ptr<qbhost::ClapModule>>> loaded;
  for (auto& [p, m] : loaded)
    if (p == path) return m.get();
  std::string error;
  std::unique_ptr<qbhost::ClapModule> module = qbhost::OpenClapModule(path, error);
  EXPECT_TRUE(module) << path << ": " << error;
  if (!module) return nullptr;
  loaded.emplace_back(path, std::move(module));
  return loaded.back().second.get();
}

inline std::vector<double> Sine(int frames, double hz, double sampleRate, double amplitude, double phase = 0.0) {
  std::vector<double> v(static_cast<size_t>(frames));
  for (int i = 0; i < frames; ++i) v[i] = amplitude * std::sin(phase + 2.0 * M_PI * hz * i / sampleRate);
  return v;
}

// Deterministic noise in [-amplitude, amplitude].
inline std::vector<double> Noise(int frames, double amplitude, uint32_t seed) {
  std::vector<double> v(static_cast<size_t>(frames));
  uint32_t s = seed ? seed : 1;
  for (double& x : v) {
    s ^= s << 13;
    s ^= s >> 17;
    s ^= s << 5;
    x = amplitude * (static_cast<double>(s) / 4294967295.0 * 2.0 - 1.0);
  }
  return v;
}

inline bool AllFinite(const std::vector<double>& v) {
  for (double x : v)
    if (!std::isfinite(x)) return false;
  return true;
}

// Every host call the plug-in made where CLAP forbids it, as test output.
inline void ExpectNoViolations(qbhost::ClapInstance& instance) {
  EXPECT_EQ(instance.Record().threadViolations.load(), 0);
  for (const std::string& v : instance.ViolationLog()) ADD_FAILURE() << "host call violation: " << v;
}

}  // namespace qbtest
