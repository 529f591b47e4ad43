#pragma once
// Helpers shared by the engine tests: engine set-up, frame arguments and a
// double-precision DFT in the engine's convention.

#include <cmath>
#include <complex>
#include <memory>
#include <numbers>
#include <vector>

#include "core/engine/FrameArguments.h"
#include "core/engine/SpectralProcessor.h"

namespace qbtest {

// The engine is large (~300 KiB); keep it off the stack.
inline std::unique_ptr<qb::SpectralProcessor> MakeEngine(double sampleRate, double attackMs = 10.0,
                                                         double releaseMs = 100.0) {
  auto engine = std::make_unique<qb::SpectralProcessor>();
  engine->setAttackTime(attackMs);
  engine->setReleaseTime(releaseMs);
  if (!engine->configure(sampleRate)) return nullptr;
  return engine;
}

// Same value in all three bands.
inline qb::FrameArguments Args(double thresholdDb, double ratio, const float* peer = nullptr) {
  qb::FrameArguments a;
  a.peerSpectrum = peer;
  a.peerValid = peer != nullptr;
  for (int b = 0; b < 3; ++b) {
    a.thresholdsDb[b] = thresholdDb;
    a.ratios[b] = ratio;
  }
  return a;
}

// Magnitude that reads `levelDb` on the peer scale of a transform of length n
// (n/4 is 0 dB).
inline float MagnitudeForDb(double levelDb, int n) {
  return static_cast<float>(std::pow(10.0, levelDb / 20.0) * n * 0.25);
}

// e^(2 pi i m / n) for m = 0..n-1.
inline std::vector<std::complex<double>> Twiddles(size_t n) {
  std::vector<std::complex<double>> w(n);
  for (size_t m = 0; m < n; ++m) w[m] = std::polar(1.0, 2.0 * std::numbers::pi * m / n);
  return w;
}

// X[k] = 2 * sum x[t] e^(-2 pi i k t / N), k = 0..N/2, in double precision.
inline std::vector<std::complex<double>> ScaledDft(const std::vector<double>& x) {
  const size_t n = x.size();
  const auto w = Twiddles(n);
  std::vector<std::complex<double>> out(n / 2 + 1);
  for (size_t k = 0; k <= n / 2; ++k) {
    std::complex<double> sum = 0.0;
    for (size_t t = 0; t < n; ++t) sum += x[t] * std::conj(w[(k * t) % n]);
    out[k] = 2.0 * sum;
  }
  return out;
}

// Real signal of a half spectrum Z[0..N/2] (imaginary parts of Z[0], Z[N/2]
// ignored) with the scale of the engine's inverse: forward then inverse = 2N.
inline std::vector<double> ScaledInverseDft(const std::vector<std::complex<double>>& z, size_t n) {
  const auto w = Twiddles(n);
  std::vector<double> y(n);
  for (size_t t = 0; t < n; ++t) {
    double sum = z[0].real() + z[n / 2].real() * ((t % 2) ? -1.0 : 1.0);
    for (size_t k = 1; k < n / 2; ++k) sum += 2.0 * (z[k] * w[(k * t) % n]).real();
    y[t] = sum;
  }
  return y;
}

}  // namespace qbtest
