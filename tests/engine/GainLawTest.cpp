// The threshold decision and its magnitude boundary, and the fast log2/exp2
// the gain loop uses.
#include "core/engine/GainLaw.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <random>

#include "core/engine/FastMath.h"

namespace {

using qb::findThresholdCrossing;
using qb::peerAboveThreshold;

// ref = log10(N / 4) for the four transform lengths.
const float kRefs[] = {static_cast<float>(std::log10(128.0)), static_cast<float>(std::log10(256.0)),
                       static_cast<float>(std::log10(512.0)), static_cast<float>(std::log10(1024.0))};

bool AboveByCrossing(const qb::ThresholdCrossing& c, float p) {
  return c.floorAbove || (p >= c.firstAbove && p <= FLT_MAX);
}

TEST(GainLaw, PeerLevelUsesTheQuarterLengthAsZeroDb) {
  const float ref = kRefs[1];  // N = 1024
  EXPECT_NEAR(qb::peerLevelDb(256.0f, ref), 0.0f, 1e-5f);
  EXPECT_NEAR(qb::peerLevelDb(512.0f, ref), 6.0206f, 1e-4f);  // full-scale sine, both channels
  // Below the floor: L = -9.
  EXPECT_FLOAT_EQ(qb::peerLevelDb(1e-10f, ref), (-9.0f - ref) * 20.0f);
  EXPECT_FLOAT_EQ(qb::peerLevelDb(0.0f, ref), (-9.0f - ref) * 20.0f);
  EXPECT_FLOAT_EQ(qb::peerLevelDb(-5.0f, ref), (-9.0f - ref) * 20.0f);
}

TEST(GainLaw, CrossingMakesTheSameDecisionsAsTheDbFormula) {
  const double thresholds[] = {-60.0, -40.0, -20.0, -12.5, -6.0, 0.0, 3.3, 12.0, -133.7, 250.0};
  std::mt19937 rng(5);
  for (float ref : kRefs) {
    for (double thrD : thresholds) {
      const float thr = static_cast<float>(thrD);
      const qb::ThresholdCrossing c = findThresholdCrossing(ref, thr);
      ASSERT_FALSE(c.floorAbove) << thr;
      ASSERT_TRUE(std::isfinite(c.firstAbove)) << thr;
      // Exactly at the boundary, and 200 floats either side of it.
      EXPECT_TRUE(peerAboveThreshold(c.firstAbove, ref, thr));
      EXPECT_FALSE(peerAboveThreshold(std::nextafter(c.firstAbove, 0.0f), ref, thr));
      float p = c.firstAbove;
      for (int i = 0; i < 200; ++i) p = std::nextafter(p, 0.0f);
      for (int i = 0; i < 400; ++i) {
        ASSERT_EQ(AboveByCrossing(c, p), peerAboveThreshold(p, ref, thr)) << p << " thr " << thr;
        p = std::nextafter(p, FLT_MAX);
      }
      // Random magnitudes over the whole range.
      std::uniform_real_distribution<float> exponent(-12.0f, 38.0f);
      for (int i = 0; i < 2000; ++i) {
        const float q = std::pow(10.0f, exponent(rng));
        ASSERT_EQ(AboveByCrossing(c, q), peerAboveThreshold(q, ref, thr)) << q << " thr " << thr;
      }
      // log2 of the analytic threshold magnitude 10^(ref + thr / 20).
      EXPECT_NEAR(c.thresholdLog2, (ref + thrD / 20.0) * qb::kLog2Of10, 1e-5 * (1 + std::abs(thrD)));
    }
  }
}

TEST(GainLaw, ThresholdsBelowTheFloorDuckEverything) {
  // The floor reads (-9 - ref) * 20 = -228.2 dB at N = 1024.
  const float ref = kRefs[1];
  const qb::ThresholdCrossing c = findThresholdCrossing(ref, -240.0f);
  EXPECT_TRUE(c.floorAbove);
  EXPECT_TRUE(peerAboveThreshold(0.0f, ref, -240.0f));
  // Just above the floor level: only magnitudes above the floor count.
  const float floorDb = (-9.0f - ref) * 20.0f;
  const qb::ThresholdCrossing atFloor = findThresholdCrossing(ref, floorDb);
  EXPECT_FALSE(atFloor.floorAbove);
  EXPECT_GE(atFloor.firstAbove, 1e-9f);
  EXPECT_FALSE(peerAboveThreshold(1e-10f, ref, floorDb));
}

TEST(GainLaw, UnreachableThresholdsDuckNothing) {
  const float ref = kRefs[0];
  for (float thr : {1e6f, INFINITY, NAN}) {
    const qb::ThresholdCrossing c = findThresholdCrossing(ref, thr);
    EXPECT_FALSE(c.floorAbove) << thr;
    EXPECT_FALSE(AboveByCrossing(c, FLT_MAX)) << thr;
  }
  const qb::ThresholdCrossing all = findThresholdCrossing(ref, -INFINITY);
  EXPECT_TRUE(all.floorAbove);
}

TEST(FastMath, Log2IsAccurateOverTheMagnitudeRange) {
  std::mt19937 rng(11);
  std::uniform_real_distribution<float> exponent(-9.0f, 38.5f);
  for (int i = 0; i < 200000; ++i) {
    const float x = std::pow(10.0f, exponent(rng));
    const double exact = std::log2(static_cast<double>(x));
    ASSERT_NEAR(qb::fastLog2(x), exact, 2e-7 * std::max(1.0, std::abs(exact))) << x;
  }
  for (float x : {1.0f, 2.0f, 0.5f, 0.70710677f, 0.70710683f, 1.4142135f, FLT_MAX, FLT_MIN}) {
    ASSERT_NEAR(qb::fastLog2(x), std::log2(static_cast<double>(x)), 2e-7 * 128) << x;
  }
  EXPECT_EQ(qb::fastLog2(1.0f), 0.0f);
}

TEST(FastMath, Exp2IsAccurateOnTheGainRange) {
  std::mt19937 rng(12);
  std::uniform_real_distribution<float> dist(-125.0f, 0.0f);
  for (int i = 0; i < 200000; ++i) {
    const float x = dist(rng);
    const double exact = std::exp2(static_cast<double>(x));
    ASSERT_NEAR(qb::fastExp2(x), exact, 3e-7 * exact) << x;
  }
  EXPECT_EQ(qb::fastExp2(0.0f), 1.0f);
  EXPECT_EQ(qb::fastExp2(-1.0f), 0.5f);
  EXPECT_EQ(qb::fastExp2(-50.0f), std::exp2(-50.0f));
}

}  // namespace
