#pragma once
// The editor analyser's 256 display bands: logarithmic from 20 Hz to 20 kHz
// (or to Nyquist when that is lower), each mapped onto the bins of a
// 2048-point transform. Built at construction for 44.1 kHz and on every reset.

#include <cstdint>

namespace qb {

inline constexpr int kDisplayBands = 256;
inline constexpr int kAnalyzerFftSize = 2048;
inline constexpr int kAnalyzerBins = kAnalyzerFftSize / 2;

struct DisplayBandTable {
  int32_t lo[kDisplayBands];     // first bin of each band
  int32_t hi[kDisplayBands];     // end bin (exclusive) of each band
  float centre[kDisplayBands];   // geometric centre, Hz
};

// Pure; single precision throughout.
void BuildDisplayBands(float sampleRate, DisplayBandTable& out) noexcept;

// The analyser window: element 0 is 0, element k is (1 - cos(2 pi k / 2048)) / 8192.
void BuildAnalyzerWindow(float (&window)[kAnalyzerFftSize]) noexcept;

}  // namespace qb
