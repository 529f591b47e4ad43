// The audio path of an instance without a peer: the engine's 2N delay at
// unity, make-up, channel routing, and robustness against odd host input.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <xmmintrin.h>

#include "AllocationCounter.h"
#include "QuellbridgeFixture.h"

namespace {

std::vector<std::vector<double>> Noise(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> u(-0.5, 0.5);
  std::vector<std::vector<double>> x(2, std::vector<double>(n));
  for (auto& ch : x)
    for (double& v : ch) v = u(rng);
  return x;
}

void ExpectDelayed(const std::vector<double>& in, const std::vector<double>& out, int delay, double gain) {
  for (int i = 0; i < delay; ++i) ASSERT_EQ(out[i], 0.0) << "sample " << i;
  for (size_t i = delay; i < out.size(); ++i) ASSERT_NEAR(out[i], gain * in[i - delay], 2e-6) << "sample " << i;
}

struct UnityCase {
  double sampleRate;
  int transformLength;
};

class UnityPerRate : public ::testing::TestWithParam<UnityCase> {};

TEST_P(UnityPerRate, OutputIsTheInputDelayedByTwoTransformLengths) {
  const UnityCase c = GetParam();
  qbtest::PluginDriver d(c.sampleRate, 1000);
  const auto in = Noise(6 * c.transformLength + 777, 7);
  const auto out = d.Run(in, 1000);
  for (int ch = 0; ch < 2; ++ch) ExpectDelayed(in[ch], out[ch], 2 * c.transformLength, 1.0);
}

INSTANTIATE_TEST_SUITE_P(Rates, UnityPerRate,
                         ::testing::Values(UnityCase{22050, 512}, UnityCase{44100, 1024}, UnityCase{48000, 1024},
                                           UnityCase{96000, 2048}, UnityCase{192000, 4096}));

TEST(UnpairedAudio, MakeupOfSixDecibelsDoublesTheDelayedInput) {
  qbtest::PluginDriver d(44100, 512);
  d.SetParam(qb::kMakeup, 6.0206);
  d.plugin->OnReset();  // smoothed make-up snaps to its target
  const auto in = Noise(8192, 3);
  const auto out = d.Run(in, 333);
  ExpectDelayed(in[0], out[0], 2048, std::pow(10.0, 6.0206 / 20.0));
}

TEST(UnpairedAudio, BlockSizeDoesNotChangeTheOutput) {
  const auto in = Noise(9000, 11);
  qbtest::PluginDriver a(48000, 4096), b(48000, 4096);
  const auto ref = a.Run(in, 4096);
  const auto odd = b.Run(in, 37);
  EXPECT_EQ(ref, odd);
}

TEST(UnpairedAudio, SecondInputBusAndLinkSlotChangeNothing) {
  const auto in = Noise(6000, 5);
  qbtest::PluginDriver plain(48000);
  const auto ref = plain.Run(in, 256);
  qbtest::PluginDriver other(48000);
  other.SetParam(qb::kLinkSlot, 4);
  // The fixture feeds constant side-chain buffers; the output must not care.
  EXPECT_EQ(other.Run(in, 256), ref);
}

TEST(UnpairedAudio, MonoOutputUsesTheFirstInputAndLeavesChannelOneAlone) {
  qbtest::PluginDriver d(48000, 512, /*nOut=*/1);
  auto in = Noise(5000, 9);
  const int n = static_cast<int>(in[0].size());
  std::vector<double> out0(n, 0.0), out1(n, 123.0);
  for (int start = 0; start < n; start += 512) {
    const int frames = std::min(512, n - start);
    double* ins[4] = {in[0].data() + start, in[1].data() + start, in[1].data() + start, in[1].data() + start};
    double* outs[2] = {out0.data() + start, out1.data() + start};
    d.plugin->ProcessBlock(ins, outs, frames);
  }
  ExpectDelayed(in[0], out0, 2048, 1.0);
  for (double v : out1) ASSERT_EQ(v, 123.0);
}

TEST(UnpairedAudio, NoAllocationWhileProcessing) {
  if (!qbtest::AllocationCountingAvailable()) GTEST_SKIP() << "allocation counting needs the plain allocator";
  qbtest::PluginDriver d(48000, 2048);
  const auto in = Noise(2048, 1);
  std::vector<std::vector<double>> out(2, std::vector<double>(2048));
  double* ins[4] = {const_cast<double*>(in[0].data()), const_cast<double*>(in[1].data()),
                    const_cast<double*>(in[0].data()), const_cast<double*>(in[1].data())};
  double* outs[2] = {out[0].data(), out[1].data()};
  d.plugin->ProcessBlock(ins, outs, 64);
  qbtest::AllocationScope scope;
  for (int frames : {0, 1, 64, 511, 2048, 2048, 17})
    for (int r = 0; r < 20; ++r) d.plugin->ProcessBlock(ins, outs, frames);
  d.SetParam(qb::kAttack, 50.0);  // host automation arrives on the audio thread
  d.SetParam(qb::kMakeup, 3.0);
  d.plugin->ProcessBlock(ins, outs, 2048);
  EXPECT_EQ(scope.Count(), 0u);
}

TEST(UnpairedAudio, OddHostsGiveFiniteOutput) {
  for (double sr : {8000.0, 384000.0}) {
    qbtest::PluginDriver d(sr, 8192);
    d.plugin->OnReset();  // twice in a row
    for (int i = 0; i < qb::kNumParams; ++i) d.SetParam(i, (i % 2) ? 1e9 : -1e9);  // both ends of every range
    auto in = Noise(20000, 2);
    in[0][100] = std::nan("");
    in[1][200] = INFINITY;
    in[0][300] = 1e-42;  // denormal
    for (int frames : {0, 8192, 1, 4000}) {
      std::vector<std::vector<double>> chunk(2, std::vector<double>(in[0].begin(), in[0].begin() + frames));
      chunk[1].assign(in[1].begin(), in[1].begin() + frames);
      if (frames == 0) chunk = {{0.0}, {0.0}};
      const auto out = d.Run(chunk, frames == 0 ? 1 : frames);
      for (const auto& ch : out)
        for (double v : ch) {
          ASSERT_TRUE(std::isfinite(v));
          ASSERT_NE(std::fpclassify(v), FP_SUBNORMAL);
        }
    }
    double* none[4] = {nullptr, nullptr, nullptr, nullptr};
    d.plugin->ProcessBlock(none, none, 0);
  }
}

TEST(UnpairedAudio, TheHostsFloatingPointModeIsRestoredAfterABlock) {
  qbtest::PluginDriver d;
  const unsigned before = _mm_getcsr();
  d.Run(Noise(1000, 4), 500);
  EXPECT_EQ(_mm_getcsr(), before);
}

}  // namespace
