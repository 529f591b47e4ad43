// The transform adapter against a double-precision DFT: scale, packing of the
// N/2 pairs (DC and Nyquist sharing pair 0), and the 2N round trip.
#include "core/engine/RealFft.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <thread>
#include <vector>

#include "EngineTestSupport.h"

namespace {

using qb::RealFft;

struct Buffer {
  // Data at offset 1 is never SIMD-aligned, so both of the adapter's paths
  // (direct and through its own aligned buffer) are exercised.
  std::vector<float> storage = std::vector<float>(RealFft::kMaxSize + 16);
  float* at(int offset) { return storage.data() + offset; }
};

class RealFftSizes : public ::testing::TestWithParam<int> {};

TEST_P(RealFftSizes, ForwardIsTwiceTheDftPackedInPairs) {
  const int n = GetParam();
  RealFft fft;
  ASSERT_TRUE(fft.prepare(n));
  ASSERT_EQ(fft.size(), n);
  for (int k = 0; k < n / 2; ++k) ASSERT_EQ(fft.permutation()[k], k);

  std::mt19937 rng(1234 + n);
  std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
  Buffer buffer;
  for (int offset : {0, 1}) {  // aligned and misaligned caller data
    float* data = buffer.at(offset);
    std::vector<double> x(n);
    for (int i = 0; i < n; ++i) data[i] = dist(rng);
    for (int i = 0; i < n; ++i) x[i] = data[i];
    const auto expected = qbtest::ScaledDft(x);
    double peak = 0.0;
    for (const auto& v : expected) peak = std::max(peak, std::abs(v));

    fft.forward(data);
    const double tol = 1e-6 * peak;
    EXPECT_NEAR(data[0], expected[0].real(), tol) << "DC in pair 0, real part";
    EXPECT_NEAR(data[1], expected[n / 2].real(), tol) << "Nyquist in pair 0, imaginary part";
    for (int k = 1; k < n / 2; ++k) {
      const int p = fft.permutation()[k];
      ASSERT_NEAR(data[2 * p], expected[k].real(), tol) << "bin " << k << " offset " << offset;
      ASSERT_NEAR(data[2 * p + 1], expected[k].imag(), tol) << "bin " << k << " offset " << offset;
    }
  }
}

TEST_P(RealFftSizes, ForwardThenInverseMultipliesBy2N) {
  const int n = GetParam();
  RealFft fft;
  ASSERT_TRUE(fft.prepare(n));
  std::mt19937 rng(99 + n);
  std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
  Buffer buffer;
  for (int offset : {0, 1}) {
    float* data = buffer.at(offset);
    std::vector<float> x(n);
    for (int i = 0; i < n; ++i) data[i] = x[i] = dist(rng);
    fft.forward(data);
    fft.inverse(data);
    for (int i = 0; i < n; ++i) {
      ASSERT_NEAR(data[i], 2.0f * n * x[i], 2.0f * n * 1e-5f) << "sample " << i;
    }
  }
}

TEST_P(RealFftSizes, InverseOfPackedSpectrumMatchesDft) {
  // Arbitrary spectra (not only those of a forward pass), as the engine
  // scales them: pair 0 carries DC and Nyquist.
  const int n = GetParam();
  RealFft fft;
  ASSERT_TRUE(fft.prepare(n));
  std::mt19937 rng(7 + n);
  std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
  Buffer buffer;
  float* data = buffer.at(0);
  std::vector<std::complex<double>> z(n / 2 + 1);
  for (int i = 0; i < n; ++i) data[i] = dist(rng);
  z[0] = data[0];
  z[n / 2] = data[1];
  for (int k = 1; k < n / 2; ++k) z[k] = {data[2 * k], data[2 * k + 1]};
  const auto expected = qbtest::ScaledInverseDft(z, n);
  fft.inverse(data);
  for (int i = 0; i < n; ++i) ASSERT_NEAR(data[i], expected[i], 1e-4 * n) << "sample " << i;
}

TEST_P(RealFftSizes, InverseWithGainsScalesEachBin) {
  const int n = GetParam();
  RealFft fft;
  ASSERT_TRUE(fft.prepare(n));
  std::mt19937 rng(3 + n);
  std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
  std::vector<float> spectrum(n), gains(n / 2);
  for (float& v : spectrum) v = dist(rng);
  for (float& g : gains) g = 0.5f + 0.5f * dist(rng);
  const float scale = 0.37f;
  // Reference: scale the pairs by hand, then the plain inverse.
  std::vector<float> expected = spectrum;
  for (int k = 0; k < n / 2; ++k) {
    expected[2 * k] *= gains[k] * scale;
    expected[2 * k + 1] *= gains[k] * scale;  // pair 0: Nyquist takes bin 0's gain
  }
  fft.inverse(expected.data());
  fft.inverse(spectrum.data(), gains.data(), scale);
  for (int i = 0; i < n; ++i) ASSERT_NEAR(spectrum[i], expected[i], 1e-4f) << i;
}

INSTANTIATE_TEST_SUITE_P(AllLengths, RealFftSizes, ::testing::Values(512, 1024, 2048, 4096));

TEST(RealFft, DcAndNyquistShareTheFirstPair) {
  // x[t] = 3 + 5 * (-1)^t: DC 2 * 3N, Nyquist 2 * 5N, nothing elsewhere.
  const int n = 1024;
  RealFft fft;
  ASSERT_TRUE(fft.prepare(n));
  std::vector<float> data(n);
  for (int t = 0; t < n; ++t) data[t] = 3.0f + ((t % 2) ? -5.0f : 5.0f);
  fft.forward(data.data());
  EXPECT_NEAR(data[0], 2.0 * 3 * n, 1e-2);
  EXPECT_NEAR(data[1], 2.0 * 5 * n, 1e-2);
  for (int i = 2; i < n; ++i) ASSERT_NEAR(data[i], 0.0f, 1e-2) << i;
}

TEST(RealFft, KeepsItsSizeWhenAskedForAnUnsupportedOne) {
  RealFft fft;
  EXPECT_EQ(fft.size(), 0);
  for (int bad : {0, -1024, 256, 1000, 8192}) EXPECT_FALSE(fft.prepare(bad)) << bad;
  ASSERT_TRUE(fft.prepare(2048));
  EXPECT_FALSE(fft.prepare(3000));
  EXPECT_EQ(fft.size(), 2048);
  // Switching back and forth reuses the plans.
  ASSERT_TRUE(fft.prepare(512));
  ASSERT_TRUE(fft.prepare(2048));
  EXPECT_EQ(fft.size(), 2048);
}

TEST(RealFft, PlansFromSeveralThreadsAtOnce) {
  // Instances are reset on different threads (and modules); planning must be
  // serialised and every plan must come out right.
  std::vector<float> x(4096);
  std::mt19937 rng(21);
  std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
  for (float& v : x) v = dist(rng);
  std::vector<int> failures(4, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int n : {4096, 512, 2048, 1024}) {
        RealFft fft;
        if (!fft.prepare(n)) {
          ++failures[t];
          continue;
        }
        std::vector<float> data(x.begin(), x.begin() + n);
        fft.forward(data.data());
        fft.inverse(data.data());
        for (int i = 0; i < n; ++i) {
          if (std::abs(data[i] - 2.0f * n * x[i]) > 2.0f * n * 1e-5f) {
            ++failures[t];
            break;
          }
        }
      }
    });
  }
  for (std::thread& th : threads) th.join();
  for (int t = 0; t < 4; ++t) EXPECT_EQ(failures[t], 0) << "thread " << t;
}

TEST(RealFft, DoesNothingBeforePrepare) {
  RealFft fft;
  std::vector<float> data(RealFft::kMaxSize, 1.0f);
  fft.forward(data.data());
  fft.inverse(data.data());
  for (float v : data) ASSERT_EQ(v, 1.0f);
}

}  // namespace
