#include "core/engine/TransformLength.h"

namespace qb {

int transformLengthForSampleRate(double sampleRate) noexcept {
  // target = integer part of (samples in 21 ms + 0.5). Compared before any
  // integer conversion, so NaN and huge rates stay defined.
  const double t = sampleRate * 21.0 / 1000.0 + 0.5;
  if (!(t >= 513.0)) return 512;   // target <= 512
  if (t < 1025.0) return 1024;     // target <= 1024
  if (t < 2049.0) return 2048;     // target <= 2048
  return 4096;                     // up to 4096 and beyond
}

}  // namespace qb
