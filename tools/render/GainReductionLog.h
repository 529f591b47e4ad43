#pragma once
// The track instance's gain reduction per band as it publishes it, one
// reading per processed block, with the time in the rendered output it
// describes.

#include <array>
#include <vector>

namespace qbrender {

struct GainReductionReading {
  double seconds = 0.0;            // position in the (latency compensated) output
  std::array<float, 3> db{};       // low, mid, high; 0 or negative
};

struct GainReductionSummary {
  double meanDb = 0.0;  // mean reduction, as a positive number of dB
  double peakDb = 0.0;  // largest reduction, likewise
};

class GainReductionLog {
 public:
  void Add(double seconds, const float db[3]);
  const std::vector<GainReductionReading>& Readings() const { return mReadings; }
  // Over the readings that describe [0, untilSeconds) of the output.
  GainReductionSummary Summarize(int band, double untilSeconds) const;

 private:
  std::vector<GainReductionReading> mReadings;
};

}  // namespace qbrender
