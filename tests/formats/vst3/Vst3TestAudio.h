#pragma once
// Audio buffers for driving a hosted VST3 instance in tests.

#include <cmath>
#include <cstdint>
#include <vector>

namespace vst3test {

// Per-channel sample storage with the pointer arrays the host takes.
template <typename Sample>
struct Channels {
  Channels(int channels, int frames) : data(static_cast<size_t>(channels), std::vector<Sample>(static_cast<size_t>(frames))) {
    for (auto& c : data) ptrs.push_back(c.data());
  }
  Sample* const* Ptrs() { return ptrs.data(); }
  const Sample* const* ConstPtrs() const { return ptrs.data(); }
  int Count() const { return static_cast<int>(data.size()); }
  std::vector<std::vector<Sample>> data;
  std::vector<Sample*> ptrs;
};

// Deterministic, different signal per channel: a sine plus a little noise.
template <typename Sample>
void FillSignal(Channels<Sample>& ch, uint32_t seed, int64_t startFrame = 0) {
  for (int c = 0; c < ch.Count(); ++c) {
    uint32_t s = seed * 7919u + static_cast<uint32_t>(c) * 104729u + static_cast<uint32_t>(startFrame);
    for (size_t i = 0; i < ch.data[c].size(); ++i) {
      s = s * 1664525u + 1013904223u;
      const double noise = (static_cast<double>(s >> 8) / 16777216.0 - 0.5) * 0.1;
      const double t = static_cast<double>(startFrame + static_cast<int64_t>(i));
      ch.data[c][i] = static_cast<Sample>(0.5 * std::sin(t * (0.01 + 0.013 * c)) + noise);
    }
  }
}

template <typename Sample>
bool AllFinite(const Channels<Sample>& ch) {
  for (const auto& c : ch.data)
    for (Sample v : c)
      if (!std::isfinite(static_cast<double>(v))) return false;
  return true;
}

}  // namespace vst3test
