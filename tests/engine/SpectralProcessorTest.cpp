// The engine's observable behaviour: the delayed identity at unity gain, the
// gain law per bin and band, attack / release, the bin ranges that can duck,
// the run call, allocation-free processing and hostile inputs.
#include "core/engine/SpectralProcessor.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <limits>
#include <numbers>
#include <random>
#include <thread>
#include <vector>

#include "AllocationCounter.h"
#include "EngineTestSupport.h"
#include "core/engine/GainLaw.h"

namespace {

using qb::FrameArguments;
using qb::SpectralProcessor;
using qbtest::Args;
using qbtest::MakeEngine;
using qbtest::MagnitudeForDb;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

std::vector<float> Noise(size_t n, unsigned seed, float amplitude = 1.0f) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> dist(-amplitude, amplitude);
  std::vector<float> v(n);
  for (float& x : v) x = dist(rng);
  return v;
}

// Runs whole hops of silence so that only the frame arguments matter; the
// gains converge after enough frames.
void RunFrames(SpectralProcessor& engine, const FrameArguments& args, int frames) {
  for (int i = 0; i < frames; ++i) engine.processBlock(args);
}

// ---------------------------------------------------------------------------
// Identity at unity gain.

struct RateCase {
  double sampleRate;
  int length;
};

class UnityGain : public ::testing::TestWithParam<RateCase> {};

TEST_P(UnityGain, OutputIsTheInputDelayedByTwiceTheLength) {
  const RateCase c = GetParam();
  auto engine = MakeEngine(c.sampleRate);
  ASSERT_TRUE(engine);
  ASSERT_EQ(engine->transformLength(), c.length);
  ASSERT_EQ(engine->hopLength(), c.length / 2);
  ASSERT_EQ(engine->binCount(), c.length / 2);
  const int n = c.length;
  const size_t total = 2 * n + 12 * n;
  const std::vector<float> in0 = Noise(total, 1);
  const std::vector<float> in1 = Noise(total, 2, 0.5f);
  const FrameArguments args = Args(-20.0, 4.0);  // no peer: nothing ducks
  std::vector<float> out0(total), out1(total);
  for (size_t t = 0; t < total; ++t) engine->processSample(in0[t], in1[t], out0[t], out1[t], args);

  for (int t = 0; t < 2 * n; ++t) {
    ASSERT_EQ(out0[t], 0.0f) << "sample " << t;
    ASSERT_EQ(out1[t], 0.0f) << "sample " << t;
  }
  for (size_t t = 2 * n; t < total; ++t) {
    ASSERT_NEAR(out0[t], in0[t - 2 * n], 2e-6f) << "sample " << t;
    ASSERT_NEAR(out1[t], in1[t - 2 * n], 2e-6f) << "sample " << t;
  }
}

INSTANTIATE_TEST_SUITE_P(Rates, UnityGain,
                         ::testing::Values(RateCase{22050, 512}, RateCase{44100, 1024},
                                           RateCase{48000, 1024}, RateCase{96000, 2048},
                                           RateCase{192000, 4096}),
                         [](const auto& info) {
                           return std::to_string(static_cast<int>(info.param.sampleRate));
                         });

TEST(SpectralProcessor, MakeupGainScalesTheDelayedInput) {
  auto engine = MakeEngine(44100);
  ASSERT_TRUE(engine);
  const int n = engine->transformLength();
  const size_t total = 10 * n;
  const std::vector<float> in = Noise(total, 3);
  FrameArguments args = Args(-20.0, 4.0);
  args.makeupGain = 2.0f;
  std::vector<float> out0(total), out1(total);
  engine->run(in.data(), nullptr, out0.data(), out1.data(), static_cast<int>(total), args);
  for (size_t t = 2 * n; t < total; ++t) {
    ASSERT_NEAR(out0[t], 2.0f * in[t - 2 * n], 4e-6f) << t;
    ASSERT_EQ(out0[t], out1[t]) << t;  // null in1: both channels read in0
  }
}

TEST(SpectralProcessor, SilenceStaysSilence) {
  auto engine = MakeEngine(48000);
  ASSERT_TRUE(engine);
  const int n = engine->transformLength();
  std::vector<float> zeros(8 * n, 0.0f), out0(8 * n, 1.0f), out1(8 * n, 1.0f);
  engine->run(zeros.data(), zeros.data(), out0.data(), out1.data(), 8 * n, Args(-20.0, 4.0));
  for (int t = 0; t < 8 * n; ++t) {
    ASSERT_EQ(out0[t], 0.0f);
    ASSERT_EQ(out1[t], 0.0f);
  }
  for (int k = 0; k < engine->binCount(); ++k) {
    ASSERT_EQ(engine->binGains()[k], 1.0f) << k;
    ASSERT_EQ(engine->spectrumMagnitude()[k], 0.0f) << k;
  }
  for (int b = 0; b < 3; ++b) EXPECT_EQ(engine->bandGainReductionDb()[b], 0.0f) << b;
}

TEST(SpectralProcessor, FullScaleSineAtABinCentreReadsSixDb) {
  const double rate = 44100;
  auto engine = MakeEngine(rate);
  ASSERT_TRUE(engine);
  const int n = engine->transformLength();
  const int bin = 100;
  const size_t total = 4 * n;
  std::vector<float> in(total), out0(total), out1(total);
  for (size_t t = 0; t < total; ++t) {
    in[t] = static_cast<float>(std::sin(2.0 * std::numbers::pi * bin * t / n));
  }
  engine->run(in.data(), in.data(), out0.data(), out1.data(), static_cast<int>(total), Args(-20, 4));
  const float ref = static_cast<float>(std::log10(n * 0.25));
  EXPECT_NEAR(engine->spectrumMagnitude()[bin], n / 2.0f, 1e-2f);
  EXPECT_NEAR(qb::peerLevelDb(engine->spectrumMagnitude()[bin], ref), 6.0206f, 1e-3f);
  // The Hann window spreads the sine into the two neighbours at half level.
  EXPECT_NEAR(engine->spectrumMagnitude()[bin + 1], n / 4.0f, 1e-2f);
  EXPECT_NEAR(engine->spectrumMagnitude()[bin + 2], 0.0f, 1e-2f);
}

// ---------------------------------------------------------------------------
// The gain law, through the engine.

struct LawCase {
  const char* what;
  double peerOverThresholdDb;
  double ratio;
  float expectedGain;
};

TEST(SpectralProcessor, GainConvergesToTheCompressorLaw) {
  const LawCase cases[] = {
      {"10 dB over, ratio 4", 10.0, 4.0, 0.42170f},   // -7.5 dB
      {"10 dB over, ratio 2", 10.0, 2.0, 0.56234f},   // -5 dB
      {"20 dB over, ratio 10", 20.0, 10.0, 0.12589f},  // -18 dB
      {"10 dB over, ratio 1e9", 10.0, 1e9, 0.31623f},  // -10 dB: a limiter
      {"40 dB over, ratio 1.5", 40.0, 1.5, 0.21544f},  // -13.33 dB
      {"ratio 1", 10.0, 1.0, 1.0f},
      {"ratio below 1", 10.0, 0.5, 1.0f},
      {"1 dB under", -1.0, 4.0, 1.0f},
      {"far under", -80.0, 20.0, 1.0f},
  };
  for (const LawCase& c : cases) {
    for (double thresholdDb : {-40.0, -20.0, 0.0}) {
      auto engine = MakeEngine(44100);
      ASSERT_TRUE(engine);
      const int n = engine->transformLength();
      std::vector<float> peer(1024, MagnitudeForDb(thresholdDb + c.peerOverThresholdDb, n));
      FrameArguments args = Args(thresholdDb, c.ratio, peer.data());
      args.hpHz = 0.0f;
      args.lpHz = 1e9f;
      RunFrames(*engine, args, 60);
      for (int k = 1; k < engine->binCount() - 1; ++k) {
        ASSERT_NEAR(engine->binGains()[k], c.expectedGain, 2e-5f)
            << c.what << ", threshold " << thresholdDb << ", bin " << k;
      }
    }
  }
}

TEST(SpectralProcessor, PeerExactlyAtTheThresholdDoesNotDuck) {
  auto engine = MakeEngine(44100);
  ASSERT_TRUE(engine);
  const float ref = static_cast<float>(std::log10(engine->transformLength() * 0.25));
  const float p = 80.0f;
  // The threshold equal (in single precision) to the peer's level.
  const double thresholdDb = qb::peerLevelDb(p, ref);
  std::vector<float> peer(1024, p);
  RunFrames(*engine, Args(thresholdDb, 4.0, peer.data()), 5);
  for (int k = 0; k < engine->binCount(); ++k) ASSERT_EQ(engine->binGains()[k], 1.0f) << k;
  // The next magnitude up that reads louder does duck, if only slightly.
  std::vector<float> louder(1024, 1.001f * p);
  RunFrames(*engine, Args(thresholdDb, 4.0, louder.data()), 5);
  EXPECT_LT(engine->binGains()[10], 1.0f);
}

TEST(SpectralProcessor, PeerBelowTheFloorDoesNotDuck) {
  auto engine = MakeEngine(44100);
  ASSERT_TRUE(engine);
  std::vector<float> peer(1024, 1e-10f);
  // The floor reads about -228 dB at this length: far below any usual threshold.
  RunFrames(*engine, Args(-120.0, 20.0, peer.data()), 10);
  for (int k = 0; k < engine->binCount(); ++k) ASSERT_EQ(engine->binGains()[k], 1.0f) << k;
}

TEST(SpectralProcessor, InvalidPeerNeverDucks) {
  auto engine = MakeEngine(44100);
  ASSERT_TRUE(engine);
  std::vector<float> loud(1024, 1e6f);
  FrameArguments args = Args(-40.0, 8.0, loud.data());
  args.peerValid = false;
  RunFrames(*engine, args, 10);
  args.peerValid = true;
  args.peerSpectrum = nullptr;
  RunFrames(*engine, args, 10);
  for (int k = 0; k < engine->binCount(); ++k) ASSERT_EQ(engine->binGains()[k], 1.0f) << k;
}

TEST(SpectralProcessor, AttackWhileFallingReleaseWhileRising) {
  const double rate = 44100;
  auto engine = MakeEngine(rate, 10.0, 100.0);
  ASSERT_TRUE(engine);
  const float attack = engine->attackCoefficient();
  const float release = engine->releaseCoefficient();
  ASSERT_NEAR(attack, 0.3132f, 5e-5f);
  ASSERT_NEAR(release, 0.8904f, 5e-5f);
  const int n = engine->transformLength();
  const float target = 0.421696503f;  // 10 dB over, ratio 4
  std::vector<float> peer(1024, MagnitudeForDb(-10.0, n));
  FrameArguments ducking = Args(-20.0, 4.0, peer.data());

  float expected = 1.0f;
  for (int frame = 0; frame < 3; ++frame) {  // falling: attack
    engine->processBlock(ducking);
    expected = target + attack * (expected - target);
    ASSERT_NEAR(engine->binGains()[50], expected, 2e-6f) << "falling frame " << frame;
  }
  FrameArguments gone = Args(-20.0, 4.0);
  for (int frame = 0; frame < 3; ++frame) {  // rising: release
    engine->processBlock(gone);
    expected = 1.0f + release * (expected - 1.0f);
    ASSERT_NEAR(engine->binGains()[50], expected, 2e-6f) << "rising frame " << frame;
  }
}

TEST(SpectralProcessor, ShortestAttackReachesTheTargetInOneFrame) {
  auto engine = MakeEngine(44100, 0.1, 100.0);
  ASSERT_TRUE(engine);
  std::vector<float> peer(1024, MagnitudeForDb(-10.0, engine->transformLength()));
  engine->processBlock(Args(-20.0, 4.0, peer.data()));
  EXPECT_NEAR(engine->binGains()[50], 0.42170f, 2e-5f);
}

struct RangeCase {
  float hpHz;
  float lpHz;
  int firstDucked;  // -1: none
  int lastDucked;
};

TEST(SpectralProcessor, OnlyBinsBetweenHighPassAndLowPassDuck) {
  // 44.1 kHz, N = 1024: bin k sits at k * 43.06640625 Hz (exact in float).
  const RangeCase cases[] = {
      {1000.0f, 5000.0f, 24, 116},  // 990.5 Hz (bin 23) and 5038.8 Hz (bin 117) stay
      {20.0f, 20000.0f, 1, 464},
      {1033.59375f, 4995.703125f, 24, 116},  // bounds exactly on bins 24 and 116
      {4306.640625f, 4306.640625f, 100, 100},  // HP = LP on bin 100's frequency
      {1000.0f, 1000.0f, -1, -1},              // HP = LP between bins: none
      {5000.0f, 1000.0f, -1, -1},              // HP above LP: none
      {0.0f, 1e9f, 1, 510},                    // everything but bins 0 and 511
  };
  for (const RangeCase& c : cases) {
    auto engine = MakeEngine(44100);
    ASSERT_TRUE(engine);
    std::vector<float> peer(1024, MagnitudeForDb(-10.0, engine->transformLength()));
    FrameArguments args = Args(-20.0, 4.0, peer.data());
    args.hpHz = c.hpHz;
    args.lpHz = c.lpHz;
    RunFrames(*engine, args, 40);
    for (int k = 0; k < engine->binCount(); ++k) {
      const bool ducked = c.firstDucked >= 0 && k >= c.firstDucked && k <= c.lastDucked;
      if (ducked) {
        ASSERT_NEAR(engine->binGains()[k], 0.42170f, 2e-5f) << c.hpHz << ".." << c.lpHz << " bin " << k;
      } else {
        ASSERT_EQ(engine->binGains()[k], 1.0f) << c.hpHz << ".." << c.lpHz << " bin " << k;
      }
    }
  }
}

TEST(SpectralProcessor, OnlyThePeersBinsDuckAtTheLongestLength) {
  auto engine = MakeEngine(192000);
  ASSERT_TRUE(engine);
  ASSERT_EQ(engine->binCount(), 2048);
  std::vector<float> peer(1024, MagnitudeForDb(-10.0, engine->transformLength()));
  FrameArguments args = Args(-20.0, 4.0, peer.data());
  args.hpHz = 0.0f;
  args.lpHz = 1e9f;
  RunFrames(*engine, args, 40);
  EXPECT_EQ(engine->binGains()[0], 1.0f);
  for (int k = 1; k < 1024; ++k) ASSERT_NEAR(engine->binGains()[k], 0.42170f, 2e-5f) << k;
  for (int k = 1024; k < 2048; ++k) ASSERT_EQ(engine->binGains()[k], 1.0f) << k;
}

TEST(SpectralProcessor, BandsCarryTheirOwnThresholdAndRatio) {
  auto engine = MakeEngine(44100);
  ASSERT_TRUE(engine);
  const int n = engine->transformLength();
  std::vector<float> peer(1024, MagnitudeForDb(-10.0, n));
  FrameArguments args = Args(-20.0, 4.0, peer.data());
  // Crossovers exactly on bins 24 and 116: a bin at the low crossover is mid,
  // a bin at the high crossover is high.
  args.freqLow = 1033.59375;    // low: bins 1..23
  args.freqHigh = 4995.703125;  // high: bins 116..
  args.thresholdsDb[0] = -20.0;
  args.ratios[0] = 4.0;  // 10 dB over: -7.5 dB
  args.thresholdsDb[1] = 0.0;
  args.ratios[1] = 4.0;  // under: unity
  args.thresholdsDb[2] = -30.0;
  args.ratios[2] = 2.0;  // 20 dB over: -10 dB
  args.hpHz = 0.0f;
  args.lpHz = 1e9f;
  RunFrames(*engine, args, 40);
  const float* g = engine->binGains();
  for (int k = 1; k <= 23; ++k) ASSERT_NEAR(g[k], 0.42170f, 2e-5f) << k;
  for (int k = 24; k <= 115; ++k) ASSERT_EQ(g[k], 1.0f) << k;
  for (int k = 116; k <= 510; ++k) ASSERT_NEAR(g[k], 0.31623f, 2e-5f) << k;

  // Band figures: mean gain over bins 1..bins-1 of each band (bin 511 at 1).
  const float* gr = engine->bandGainReductionDb();
  EXPECT_NEAR(gr[0], -7.5f, 1e-3f);
  EXPECT_EQ(gr[1], 0.0f);
  EXPECT_NEAR(gr[2], 20.0f * std::log10((395.0f * 0.31623f + 1.0f) / 396.0f), 1e-3f);
}

TEST(SpectralProcessor, EmptyMidBandReportsZero) {
  auto engine = MakeEngine(44100);
  ASSERT_TRUE(engine);
  std::vector<float> peer(1024, MagnitudeForDb(-10.0, engine->transformLength()));
  FrameArguments args = Args(-20.0, 4.0, peer.data());
  args.freqLow = 5000.0;  // low: bins 1..116
  args.freqHigh = 1000.0; // high: bins 117..511, mid: none
  args.hpHz = 0.0f;
  args.lpHz = 1e9f;
  RunFrames(*engine, args, 40);
  const float* gr = engine->bandGainReductionDb();
  EXPECT_NEAR(gr[0], -7.5f, 1e-3f);
  EXPECT_EQ(gr[1], 0.0f);
  EXPECT_NEAR(gr[2], 20.0f * std::log10((394.0f * 0.42170f + 1.0f) / 395.0f), 1e-3f);
}

TEST(SpectralProcessor, BandFigureCountsBinsOutsideTheRangeAtUnity) {
  auto engine = MakeEngine(44100);
  ASSERT_TRUE(engine);
  std::vector<float> peer(1024, MagnitudeForDb(-10.0, engine->transformLength()));
  FrameArguments args = Args(-20.0, 4.0, peer.data());
  args.freqLow = 20.0;     // low band: no bins (bin 1 is 43 Hz)
  args.freqHigh = 20000.0;
  args.hpHz = 1000.0f;     // bins 24..116 duck; mid holds bins 1..464
  args.lpHz = 5000.0f;
  RunFrames(*engine, args, 40);
  const float* gr = engine->bandGainReductionDb();
  EXPECT_EQ(gr[0], 0.0f);
  EXPECT_NEAR(gr[1], 20.0f * std::log10((93.0f * 0.42170f + 371.0f) / 464.0f), 1e-3f);
  EXPECT_NEAR(gr[2], 0.0f, 1e-6f);
}

// ---------------------------------------------------------------------------
// The run call.

TEST(SpectralProcessor, RunMatchesPerSampleCalls) {
  for (double rate : {22050.0, 44100.0, 96000.0}) {
    auto perSample = MakeEngine(rate);
    auto batched = MakeEngine(rate);
    ASSERT_TRUE(perSample && batched);
    const int n = perSample->transformLength();
    std::mt19937 rng(static_cast<unsigned>(rate));
    // Lengths around the hop boundaries, then random ones.
    std::vector<int> lengths = {0, 1, 2, 3, 17, n / 2 - 1, n / 2, n / 2 + 1, n, 3 * n + 5, 100, 1};
    std::uniform_int_distribution<int> randomLength(0, 2 * n);
    for (int i = 0; i < 12; ++i) lengths.push_back(randomLength(rng));
    std::vector<float> peer(1024);
    std::uniform_real_distribution<float> level(-60.0f, 10.0f);
    for (int round = 0; round < 3; ++round) {
      for (int len : lengths) {
        for (float& p : peer) p = MagnitudeForDb(level(rng), n);
        FrameArguments args = Args(-20.0 - round, 3.0 + round, peer.data());
        args.makeupGain = 1.5f;
        const std::vector<float> in0 = Noise(len, rng());
        const std::vector<float> in1 = Noise(len, rng());
        std::vector<float> a0(len), a1(len), b0(len), b1(len);
        for (int i = 0; i < len; ++i) perSample->processSample(in0[i], in1[i], a0[i], a1[i], args);
        // In place: the outputs overwrite the inputs.
        b0 = in0;
        b1 = in1;
        batched->run(b0.data(), b1.data(), b0.data(), b1.data(), len, args);
        for (int i = 0; i < len; ++i) {
          ASSERT_EQ(a0[i], b0[i]) << "rate " << rate << " run of " << len << " sample " << i;
          ASSERT_EQ(a1[i], b1[i]) << "rate " << rate << " run of " << len << " sample " << i;
        }
      }
    }
    for (int k = 0; k < perSample->binCount(); ++k) {
      ASSERT_EQ(perSample->binGains()[k], batched->binGains()[k]) << k;
      ASSERT_EQ(perSample->spectrumMagnitude()[k], batched->spectrumMagnitude()[k]) << k;
    }
    for (int b = 0; b < 3; ++b) {
      EXPECT_EQ(perSample->bandGainReductionDb()[b], batched->bandGainReductionDb()[b]);
    }
  }
}

TEST(SpectralProcessor, RunWithoutASecondOutputStillAdvancesBothChannels) {
  auto a = MakeEngine(44100);
  auto b = MakeEngine(44100);
  ASSERT_TRUE(a && b);
  const int total = 5000;
  const std::vector<float> in = Noise(total, 8);
  std::vector<float> a0(total), a1(total), b0(total);
  a->run(in.data(), in.data(), a0.data(), a1.data(), total, Args(-20, 4));
  b->run(in.data(), in.data(), b0.data(), nullptr, total, Args(-20, 4));
  for (int i = 0; i < total; ++i) ASSERT_EQ(a0[i], b0[i]) << i;
}

// ---------------------------------------------------------------------------
// Real-time behaviour and hostile inputs.

TEST(SpectralProcessor, ProcessingAllocatesNothingAfterConfiguration) {
  if (!qbtest::AllocationCountingAvailable()) GTEST_SKIP() << "allocation counting unavailable";
  for (double rate : {22050.0, 44100.0, 96000.0, 192000.0}) {
    auto engine = MakeEngine(rate);
    ASSERT_TRUE(engine);
    const int n = engine->transformLength();
    const std::vector<float> in = Noise(4 * n, 9);
    std::vector<float> out0(4 * n), out1(4 * n);
    std::vector<float> peer(1024, MagnitudeForDb(-10.0, n));
    const FrameArguments args = Args(-20.0, 4.0, peer.data());
    float y0 = 0.0f, y1 = 0.0f;
    qbtest::AllocationScope scope;
    engine->run(in.data(), in.data(), out0.data(), out1.data(), 4 * n, args);
    for (int i = 0; i < n; ++i) engine->processSample(in[i], in[i], y0, y1, args);
    engine->processBlock(args);
    engine->setAttackTime(20.0);
    engine->setReleaseTime(200.0);
    EXPECT_EQ(scope.Count(), 0u) << "rate " << rate;
  }
}

bool AllFinite(const std::vector<float>& v) {
  for (float x : v) {
    if (!std::isfinite(x)) return false;
  }
  return true;
}

TEST(SpectralProcessor, NonFinitePeerValuesCountAsSilence) {
  auto engine = MakeEngine(44100);
  ASSERT_TRUE(engine);
  const int n = engine->transformLength();
  std::vector<float> peer(1024, MagnitudeForDb(-10.0, n));
  const int bad[] = {5, 6, 7, 200};
  peer[5] = kNaN;
  peer[6] = kInf;
  peer[7] = -kInf;
  peer[200] = -kNaN;
  FrameArguments args = Args(-20.0, 4.0, peer.data());
  const std::vector<float> in = Noise(8 * n, 10);
  std::vector<float> out0(8 * n), out1(8 * n);
  engine->run(in.data(), in.data(), out0.data(), out1.data(), 8 * n, args);
  EXPECT_TRUE(AllFinite(out0) && AllFinite(out1));
  for (int k : bad) EXPECT_EQ(engine->binGains()[k], 1.0f) << k;
  EXPECT_NEAR(engine->binGains()[8], 0.42170f, 2e-5f);

  // With a threshold below the floor, silence ducks too; still nothing non-finite.
  args.thresholdsDb[0] = args.thresholdsDb[1] = args.thresholdsDb[2] = -300.0;
  engine->run(in.data(), in.data(), out0.data(), out1.data(), 8 * n, args);
  EXPECT_TRUE(AllFinite(out0) && AllFinite(out1));
  for (int k : bad) EXPECT_TRUE(std::isfinite(engine->binGains()[k])) << k;
}

TEST(SpectralProcessor, HostileValuesNeverReachTheOutputAsNaN) {
  auto engine = MakeEngine(48000);
  ASSERT_TRUE(engine);
  const int n = engine->transformLength();
  std::vector<float> in = Noise(16 * n, 11);
  in[100] = kNaN;
  in[3000] = kInf;
  in[3001] = -kInf;
  in[5000] = 3e38f;
  std::vector<float> peer(1024, 1e30f);
  peer[0] = 3e38f;
  const double nan = std::nan("");
  const double inf = std::numeric_limits<double>::infinity();
  const FrameArguments cases[] = {
      [&] { FrameArguments a = Args(-20, 4, peer.data()); a.makeupGain = kNaN; return a; }(),
      [&] { FrameArguments a = Args(-20, 4, peer.data()); a.makeupGain = kInf; return a; }(),
      [&] { FrameArguments a = Args(nan, nan, peer.data()); a.freqLow = nan; a.freqHigh = nan; return a; }(),
      [&] { FrameArguments a = Args(-inf, inf, peer.data()); a.hpHz = -kInf; a.lpHz = kInf; return a; }(),
      [&] { FrameArguments a = Args(inf, 1.0000001, peer.data()); a.hpHz = kNaN; a.lpHz = kNaN; return a; }(),
      [&] { FrameArguments a = Args(-1e300, 1e300, peer.data()); a.freqLow = inf; a.freqHigh = -inf; return a; }(),
  };
  std::vector<float> out0(in.size()), out1(in.size());
  for (const FrameArguments& args : cases) {
    engine->run(in.data(), in.data(), out0.data(), out1.data(), static_cast<int>(in.size()), args);
    ASSERT_TRUE(AllFinite(out0) && AllFinite(out1));
    for (int k = 0; k < engine->binCount(); ++k) {
      ASSERT_TRUE(std::isfinite(engine->binGains()[k])) << k;
      ASSERT_GE(engine->binGains()[k], 0.0f) << k;
      ASSERT_LE(engine->binGains()[k], 1.0f) << k;
    }
    for (int b = 0; b < 3; ++b) ASSERT_TRUE(std::isfinite(engine->bandGainReductionDb()[b]));
  }
}

TEST(SpectralProcessor, GainsNeverBecomeDenormal) {
  // A peer far above the threshold with a ratio close to a limiter drives the
  // gains towards 0; they must land on 0 rather than crawl through denormals.
  auto engine = MakeEngine(44100, 10.0, 100.0);
  ASSERT_TRUE(engine);
  std::vector<float> peer(1024, 1e30f);
  FrameArguments args = Args(-60.0, 1e9, peer.data());
  args.hpHz = 0.0f;
  args.lpHz = 1e9f;
  RunFrames(*engine, args, 200);
  for (int k = 0; k < engine->binCount(); ++k) {
    const float g = engine->binGains()[k];
    ASSERT_TRUE(g == 0.0f || std::fpclassify(g) == FP_NORMAL) << k << " " << g;
  }
  EXPECT_EQ(engine->binGains()[10], 0.0f);
  // Fully silenced bands read -180 dB; the high band keeps bin 511 at unity.
  EXPECT_EQ(engine->bandGainReductionDb()[0], -180.0f);
  EXPECT_EQ(engine->bandGainReductionDb()[1], -180.0f);
  EXPECT_NEAR(engine->bandGainReductionDb()[2], 20.0f * std::log10(1.0f / 395.0f), 1e-3f);
  // And recover from there with the release time.
  RunFrames(*engine, Args(-60.0, 1e9), 400);
  EXPECT_NEAR(engine->binGains()[10], 1.0f, 1e-6f);
}

TEST(SpectralProcessor, SilentUntilConfigured) {
  SpectralProcessor engine;
  float y0 = 1.0f, y1 = 1.0f;
  engine.processSample(0.5f, 0.5f, y0, y1, Args(-20, 4));
  EXPECT_EQ(y0, 0.0f);
  EXPECT_EQ(y1, 0.0f);
  std::vector<float> in(3000, 0.5f), out(3000, 1.0f);
  engine.run(in.data(), in.data(), out.data(), out.data(), 3000, Args(-20, 4));
  for (float v : out) ASSERT_EQ(v, 0.0f);
  engine.processBlock(Args(-20, 4));
}

TEST(SpectralProcessor, ConfigureStartsAfresh) {
  auto engine = MakeEngine(44100);
  ASSERT_TRUE(engine);
  std::vector<float> peer(1024, MagnitudeForDb(-10.0, 1024));
  const std::vector<float> in = Noise(20000, 12);
  std::vector<float> out0(20000), out1(20000);
  engine->run(in.data(), in.data(), out0.data(), out1.data(), 20000, Args(-20, 4, peer.data()));
  const float figure = engine->bandGainReductionDb()[1];
  ASSERT_LT(figure, -1.0f);

  ASSERT_TRUE(engine->configure(96000));
  EXPECT_EQ(engine->transformLength(), 2048);
  for (int k = 0; k < engine->binCount(); ++k) {
    ASSERT_EQ(engine->binGains()[k], 1.0f) << k;
    ASSERT_EQ(engine->spectrumMagnitude()[k], 0.0f) << k;
  }
  EXPECT_EQ(engine->bandGainReductionDb()[1], figure);  // kept until the next frame
  const int n = engine->transformLength();
  engine->run(in.data(), in.data(), out0.data(), out1.data(), 20000, Args(-20, 4));
  for (int t = 0; t < 2 * n; ++t) ASSERT_EQ(out0[t], 0.0f) << t;
  for (int t = 2 * n; t < 20000; ++t) ASSERT_NEAR(out0[t], in[t - 2 * n], 2e-6f) << t;
}

TEST(SpectralProcessor, OddSampleRatesGiveASafeEngine) {
  for (double rate : {0.0, -48000.0, std::nan(""), std::numeric_limits<double>::infinity(), 1e300}) {
    auto engine = MakeEngine(rate);
    ASSERT_TRUE(engine) << rate;
    const int n = engine->transformLength();
    std::vector<float> peer(1024, 1e6f);
    const std::vector<float> in = Noise(10 * n, 13);
    std::vector<float> out0(10 * n), out1(10 * n);
    engine->run(in.data(), in.data(), out0.data(), out1.data(), 10 * n, Args(-20, 4, peer.data()));
    ASSERT_TRUE(AllFinite(out0) && AllFinite(out1)) << rate;
    for (int k = 0; k < engine->binCount(); ++k) ASSERT_TRUE(std::isfinite(engine->binGains()[k]));
  }
}

TEST(SpectralProcessor, TimesMayChangeWhileAudioRuns) {
  auto engine = MakeEngine(44100);
  ASSERT_TRUE(engine);
  std::atomic<bool> stop{false};
  std::thread editor([&] {
    double ms = 1.0;
    while (!stop.load()) {
      engine->setAttackTime(ms);
      engine->setReleaseTime(10.0 * ms);
      ms = ms > 300.0 ? 1.0 : ms * 1.1;
    }
  });
  std::vector<float> peer(1024, MagnitudeForDb(-10.0, 1024));
  const std::vector<float> in = Noise(512 * 100, 14);
  std::vector<float> out0(in.size()), out1(in.size());
  engine->run(in.data(), in.data(), out0.data(), out1.data(), static_cast<int>(in.size()),
              Args(-20, 4, peer.data()));
  stop = true;
  editor.join();
  EXPECT_TRUE(AllFinite(out0) && AllFinite(out1));
}

}  // namespace
