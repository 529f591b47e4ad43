#include "core/engine/GainLaw.h"

#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdint>

namespace qb {

float peerLevelDb(float magnitude, float referenceLog10) noexcept {
  // log10 in double, rounded once: monotone in the magnitude, which the
  // decision boundary below relies on.
  const float level =
      magnitude < kPeerFloor ? -9.0f : static_cast<float>(std::log10(static_cast<double>(magnitude)));
  return (level - referenceLog10) * 20.0f;
}

bool peerAboveThreshold(float magnitude, float referenceLog10, float thresholdDb) noexcept {
  return peerLevelDb(magnitude, referenceLog10) - thresholdDb > 0.0f;
}

namespace {

// Positive floats order like their bit patterns.
float fromBits(uint32_t bits) { return std::bit_cast<float>(bits); }
uint32_t toBits(float value) { return std::bit_cast<uint32_t>(value); }

}  // namespace

ThresholdCrossing findThresholdCrossing(float referenceLog10, float thresholdDb) noexcept {
  ThresholdCrossing crossing;
  crossing.thresholdLog2 = static_cast<float>(
      (static_cast<double>(referenceLog10) + static_cast<double>(thresholdDb) / 20.0) * kLog2Of10);

  auto above = [&](float p) { return peerAboveThreshold(p, referenceLog10, thresholdDb); };
  if (above(0.0f)) {
    crossing.floorAbove = true;
    return crossing;
  }
  crossing.firstAbove = INFINITY;
  if (!above(FLT_MAX)) return crossing;  // NaN or enormous thresholds

  // Search range: the smallest float not below the floor .. FLT_MAX (above).
  float smallest = static_cast<float>(kPeerFloor);
  if (smallest < kPeerFloor) smallest = std::nextafter(smallest, INFINITY);
  uint32_t lo = toBits(smallest);  // the answer is >= lo
  uint32_t hi = toBits(FLT_MAX);   // above(hi) holds

  // Start at the analytic boundary and widen a bracket around it in growing
  // steps; it is normally found within a few ulps.
  double guess = std::pow(10.0, static_cast<double>(referenceLog10) +
                                    static_cast<double>(thresholdDb) / 20.0);
  if (!(guess >= static_cast<double>(smallest))) guess = smallest;
  if (!(guess <= static_cast<double>(FLT_MAX))) guess = FLT_MAX;
  const uint32_t start = toBits(static_cast<float>(guess));
  if (above(fromBits(start))) {
    hi = start;
    uint32_t step = 1;
    while (hi > lo) {
      const uint32_t probe = hi - lo > step ? hi - step : lo;
      if (!above(fromBits(probe))) {
        lo = probe + 1;
        break;
      }
      hi = probe;
      step *= 2;
    }
  } else {
    lo = start + 1;
    uint32_t step = 1;
    while (lo < hi) {
      const uint32_t probe = hi - lo > step ? lo + step : hi;
      if (above(fromBits(probe))) {
        hi = probe;
        break;
      }
      lo = probe + 1;
      step *= 2;
    }
  }
  // Bisect the bracket: the answer lies in [lo, hi] and above(hi) holds.
  while (lo < hi) {
    const uint32_t mid = lo + (hi - lo) / 2;
    if (above(fromBits(mid))) {
      hi = mid;
    } else {
      lo = mid + 1;
    }
  }
  crossing.firstAbove = fromBits(hi);
  return crossing;
}

}  // namespace qb
