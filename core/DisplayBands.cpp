#include "core/DisplayBands.h"

#include <cmath>

namespace qb {

void BuildDisplayBands(float sampleRate, DisplayBandTable& out) noexcept {
  constexpr float kLog20 = 1.30103f;  // log10(20)
  const float nyquist = sampleRate * 0.5f;
  // One 256th of the decades from 20 Hz to Nyquist, or 3/256 (20 Hz .. 20 kHz).
  const float step = nyquist < 20000.0f && nyquist > 0.0f ? (std::log10(nyquist) - kLog20) * 0.00390625f
                                                          : 0.01171875f;
  const float binWidth = sampleRate * 0.00048828125f;  // sample rate / 2048
  for (int i = 0; i < kDisplayBands; ++i) {
    const float lo = std::pow(10.0f, kLog20 + static_cast<float>(i) * step);
    const float hi = std::pow(10.0f, static_cast<float>(i + 1) * step + kLog20);
    out.centre[i] = std::sqrt(lo * hi);
    int32_t first = 1;
    int32_t end = 1;
    if (binWidth > 0.0f) {
      const float firstF = lo / binWidth;
      first = firstF >= 1.0f ? static_cast<int32_t>(firstF < 1024.0f ? firstF : 1024.0f) : 1;
      const float endF = std::ceil(hi / binWidth);
      end = endF < 1024.0f ? static_cast<int32_t>(endF) : 1024;
    }
    out.lo[i] = first;
    out.hi[i] = end > first ? end : (first + 1 < kAnalyzerBins ? first + 1 : kAnalyzerBins);
  }
}

void BuildAnalyzerWindow(float (&window)[kAnalyzerFftSize]) noexcept {
  window[0] = 0.0f;
  for (int k = 1; k < kAnalyzerFftSize; ++k)
    window[k] = (1.0f - std::cos(static_cast<float>(k) * 6.2831855f / kAnalyzerFftSize)) / 8192.0f;
}

}  // namespace qb
