#pragma once
// Attack / release times of the per-bin gain smoothing and their per-frame
// coefficients. A bin's gain moves towards its target once per frame:
//   gain = target + coef * (gain - target),
// with the attack coefficient while it falls and the release one while it rises.

namespace qb {

inline constexpr double kMinAttackMs = 0.1;
inline constexpr double kMinReleaseMs = 1.0;

// The times actually used: shorter (or NaN) requests give the minimum.
inline double effectiveAttackMs(double requestedMs) noexcept {
  return requestedMs > kMinAttackMs ? requestedMs : kMinAttackMs;
}
inline double effectiveReleaseMs(double requestedMs) noexcept {
  return requestedMs > kMinReleaseMs ? requestedMs : kMinReleaseMs;
}

// Pure. exp(-1 / (seconds * frameRate)) in single precision, seconds being
// 0.001 * timeMs as a float; frameRate = sample rate / hop. Always in [0, 1];
// values too small to matter (< 1e-15) are 0, so the smoothing never makes
// denormals.
float smoothingCoefficient(double timeMs, float frameRate) noexcept;

}  // namespace qb
