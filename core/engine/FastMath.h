#pragma once
// Branch-free log2 / exp2 for the per-bin gain loop. Plain arithmetic on the
// float's bits, so loops calling them vectorise. Accuracy is a few units in
// the last place of a float over the documented domains.

#include <bit>
#include <cstdint>

namespace qb {

// x must be a positive, finite, normal float. Absolute error below 1e-7
// around 1, relative error of a few float ulps elsewhere.
inline float fastLog2(float x) noexcept {
  // Split x = m * 2^e with m in [sqrt(1/2), sqrt(2)).
  const uint32_t bits = std::bit_cast<uint32_t>(x);
  const int32_t exponent = static_cast<int32_t>(bits - 0x3f3504f3u) >> 23;
  const float m = std::bit_cast<float>(bits - (static_cast<uint32_t>(exponent) << 23));
  // log2(m) = (2 / ln 2) * atanh(s), s = (m - 1) / (m + 1), |s| <= 0.1716;
  // the odd series up to s^9 leaves an error below 1e-9.
  constexpr float c1 = 2.8853900817779268f;  // 2 / ln 2
  constexpr float c3 = c1 / 3.0f;
  constexpr float c5 = c1 / 5.0f;
  constexpr float c7 = c1 / 7.0f;
  constexpr float c9 = c1 / 9.0f;
  const float s = (m - 1.0f) / (m + 1.0f);
  const float z = s * s;
  const float logM = s * (c1 + z * (c3 + z * (c5 + z * (c7 + z * c9))));
  return static_cast<float>(exponent) + logM;
}

// x must lie in [-125, 0]. Relative error about 2e-7.
inline float fastExp2(float x) noexcept {
  // Round to the nearest integer n (adding 1.5 * 2^23 drops the fraction),
  // leaving f = x - n in [-1/2, 1/2].
  constexpr float kRound = 12582912.0f;
  const float n = (x + kRound) - kRound;
  const float f = x - n;
  // 2^f = e^(f ln 2): Taylor series to degree 7, error below 1e-8 on [-1/2, 1/2].
  constexpr double ln2 = 0.6931471805599453;
  constexpr float l1 = static_cast<float>(ln2);
  constexpr float l2 = static_cast<float>(ln2 * ln2 / 2.0);
  constexpr float l3 = static_cast<float>(ln2 * ln2 * ln2 / 6.0);
  constexpr float l4 = static_cast<float>(ln2 * ln2 * ln2 * ln2 / 24.0);
  constexpr float l5 = static_cast<float>(ln2 * ln2 * ln2 * ln2 * ln2 / 120.0);
  constexpr float l6 = static_cast<float>(ln2 * ln2 * ln2 * ln2 * ln2 * ln2 / 720.0);
  constexpr float l7 = static_cast<float>(ln2 * ln2 * ln2 * ln2 * ln2 * ln2 * ln2 / 5040.0);
  const float p =
      1.0f + f * (l1 + f * (l2 + f * (l3 + f * (l4 + f * (l5 + f * (l6 + f * l7))))));
  const float scale =
      std::bit_cast<float>(static_cast<uint32_t>(static_cast<int32_t>(n) + 127) << 23);
  return p * scale;
}

}  // namespace qb
