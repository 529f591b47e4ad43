#include "core/engine/Smoothing.h"

#include <cmath>

namespace qb {

float smoothingCoefficient(double timeMs, float frameRate) noexcept {
  const float seconds = static_cast<float>(0.001 * timeMs);
  const float coef = std::exp(-1.0f / (seconds * frameRate));
  if (!(coef >= 1e-15f)) return 0.0f;  // also NaN
  return coef < 1.0f ? coef : 1.0f;
}

}  // namespace qb
