// Transform length per sample rate: about 21 ms rounded up to a supported length.
#include "core/engine/TransformLength.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

struct LengthCase {
  double sampleRate;
  int length;
};

TEST(TransformLength, ChoosesLengthForSampleRate) {
  const LengthCase cases[] = {
      {8000, 512},     {22050, 512},    {44100, 1024},   {48000, 1024},  {88200, 2048},
      {96000, 2048},   {176400, 4096},  {192000, 4096},  {384000, 4096},
      // Around the steps: target = int(sr * 0.021 + 0.5).
      {24357, 512},    // 511.997 -> 511
      {24381, 512},    // 512.501 -> 512
      {24405, 1024},   // 513.005 -> 513
      {48762, 1024},   // 1024.502 -> 1024
      {48786, 2048},   // 1025.006 -> 1025
      {97524, 2048},   // 2048.504 -> 2048
      {97548, 4096},   // 2049.008 -> 2049
      {195000, 4096},  // beyond 4096 samples in 21 ms
  };
  for (const LengthCase& c : cases) {
    EXPECT_EQ(qb::transformLengthForSampleRate(c.sampleRate), c.length) << c.sampleRate;
  }
}

TEST(TransformLength, OddRatesGiveTheShortestOrLongestLength) {
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_EQ(qb::transformLengthForSampleRate(0.0), 512);
  EXPECT_EQ(qb::transformLengthForSampleRate(-44100.0), 512);
  EXPECT_EQ(qb::transformLengthForSampleRate(std::nan("")), 512);
  EXPECT_EQ(qb::transformLengthForSampleRate(-inf), 512);
  EXPECT_EQ(qb::transformLengthForSampleRate(inf), 4096);
  EXPECT_EQ(qb::transformLengthForSampleRate(1e300), 4096);
}

}  // namespace
