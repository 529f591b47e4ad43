// Attack / release coefficients per frame rate, as the engine's setters and
// its configuration compute them.
#include "core/engine/Smoothing.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <random>
#include <thread>

#include "EngineTestSupport.h"

namespace {

struct CoefficientCase {
  double sampleRate;
  double attackMs;
  double releaseMs;
  float attackCoef;
  float releaseCoef;
};

TEST(Smoothing, CoefficientsFollowTheFrameRate) {
  // Frame rate = rate / hop: 44.1 kHz / 512, 48 kHz / 512, 96 kHz / 1024.
  const CoefficientCase cases[] = {
      {44100, 10, 100, 0.3132f, 0.8904f},
      {48000, 10, 100, 0.3442f, 0.8988f},
      {96000, 10, 100, 0.3442f, 0.8988f},
      {192000, 10, 100, 0.3442f, 0.8988f},  // hop 2048: 93.75 frames/s
      {44100, 300, 2000, 0.9620f, 0.9942f},
  };
  for (const CoefficientCase& c : cases) {
    auto engine = qbtest::MakeEngine(c.sampleRate, c.attackMs, c.releaseMs);
    ASSERT_TRUE(engine);
    EXPECT_NEAR(engine->attackCoefficient(), c.attackCoef, 5e-5f) << c.sampleRate << " " << c.attackMs;
    EXPECT_NEAR(engine->releaseCoefficient(), c.releaseCoef, 5e-5f) << c.sampleRate << " " << c.releaseMs;
  }
}

TEST(Smoothing, ShortestAttackFollowsTheTargetAtOnce) {
  auto engine = qbtest::MakeEngine(44100);
  ASSERT_TRUE(engine);
  for (double ms : {0.1, 0.05, 0.0, -3.0, std::nan("")}) {
    engine->setAttackTime(ms);
    EXPECT_EQ(engine->attackCoefficient(), 0.0f) << ms;
    EXPECT_EQ(engine->attackTime(), 0.1) << ms;
  }
  engine->setAttackTime(1.0);
  EXPECT_EQ(engine->attackTime(), 1.0);
  EXPECT_GT(engine->attackCoefficient(), 0.0f);
}

TEST(Smoothing, ReleaseIsAtLeastOneMillisecond) {
  auto engine = qbtest::MakeEngine(44100);
  ASSERT_TRUE(engine);
  engine->setReleaseTime(0.5);
  EXPECT_EQ(engine->releaseTime(), 1.0);
  const float atMinimum = engine->releaseCoefficient();
  EXPECT_NEAR(atMinimum, std::exp(-1.0 / (0.001 * 44100.0 / 512.0)), 1e-7);
  engine->setReleaseTime(1.0);
  EXPECT_EQ(engine->releaseCoefficient(), atMinimum);
}

TEST(Smoothing, SettersChangeOnlyTheirOwnCoefficient) {
  auto engine = qbtest::MakeEngine(48000);
  ASSERT_TRUE(engine);
  const float release = engine->releaseCoefficient();
  engine->setAttackTime(50);
  EXPECT_EQ(engine->releaseCoefficient(), release);
  EXPECT_NEAR(engine->attackCoefficient(), std::exp(-1.0 / (0.05 * 48000.0 / 512.0)), 1e-6);
}

TEST(Smoothing, ReconfiguringRecomputesBothForTheNewFrameRate) {
  auto engine = qbtest::MakeEngine(44100, 10, 100);
  ASSERT_TRUE(engine);
  ASSERT_TRUE(engine->configure(48000));
  EXPECT_NEAR(engine->attackCoefficient(), 0.3442f, 5e-5f);
  EXPECT_NEAR(engine->releaseCoefficient(), 0.8988f, 5e-5f);
}

TEST(Smoothing, SettersMayRaceAReset) {
  // An editor thread changes the times while the host resets the engine on
  // another thread: afterwards both coefficients match the final times and
  // the final frame rate.
  auto engine = qbtest::MakeEngine(44100);
  ASSERT_TRUE(engine);
  std::atomic<bool> stop{false};
  std::thread editor([&] {
    std::mt19937 rng(4);
    std::uniform_real_distribution<double> ms(1.0, 300.0);
    while (!stop.load()) {
      engine->setAttackTime(ms(rng));
      engine->setReleaseTime(5.0 + ms(rng));
    }
  });
  for (int i = 0; i < 100; ++i) ASSERT_TRUE(engine->configure(i % 2 ? 48000.0 : 44100.0));
  stop = true;
  editor.join();
  const float frameRate = 48000.0f / 512.0f;  // the last configure (i = 99)
  EXPECT_EQ(engine->attackCoefficient(), qb::smoothingCoefficient(engine->attackTime(), frameRate));
  EXPECT_EQ(engine->releaseCoefficient(), qb::smoothingCoefficient(engine->releaseTime(), frameRate));
}

TEST(Smoothing, CoefficientStaysInTheUnitRange) {
  for (float frameRate : {0.0f, 1e-30f, 86.13f, 1e30f, INFINITY}) {
    for (double ms : {0.1, 10.0, 1e9, static_cast<double>(INFINITY)}) {
      const float c = qb::smoothingCoefficient(ms, frameRate);
      EXPECT_TRUE(c == 0.0f || (c >= 1e-15f && c <= 1.0f)) << ms << " " << frameRate << " " << c;
    }
  }
}

}  // namespace
