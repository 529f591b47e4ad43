// Construction, reset and parameter handling of the plug-in object.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "QuellbridgeFixture.h"

namespace {

int InstanceNumber(const qb::Quellbridge& p) {
  char name[qb::kNameSize];
  p.GetInstanceName(name);
  EXPECT_EQ(std::strncmp(name, "Quellbridge #", 13), 0) << name;
  return std::atoi(name + 13);
}

TEST(Lifecycle, InstanceNumbersCountUpAndAreNeverReused) {
  auto first = std::make_unique<qbtest::PluginDriver>();
  auto second = std::make_unique<qbtest::PluginDriver>();
  const int n1 = InstanceNumber(*first->plugin);
  EXPECT_EQ(InstanceNumber(*second->plugin), n1 + 1);
  second.reset();
  qbtest::PluginDriver third;
  EXPECT_EQ(InstanceNumber(*third.plugin), n1 + 2);
}

struct RateCase {
  double sampleRate;
  int transformLength;
};

class ResetPerRate : public ::testing::TestWithParam<RateCase> {};

TEST_P(ResetPerRate, ChoosesTransformAndReportsTrueLatency) {
  const RateCase c = GetParam();
  qbtest::PluginDriver d(c.sampleRate);
  EXPECT_EQ(d.plugin->TransformLength(), c.transformLength);
  EXPECT_EQ(d.plugin->GetLatency(), 2 * c.transformLength);
}

INSTANTIATE_TEST_SUITE_P(Rates, ResetPerRate,
                         ::testing::Values(RateCase{8000, 512}, RateCase{22050, 512}, RateCase{44100, 1024},
                                           RateCase{48000, 1024}, RateCase{88200, 2048}, RateCase{96000, 2048},
                                           RateCase{176400, 4096}, RateCase{192000, 4096},
                                           RateCase{384000, 4096}));

TEST(Lifecycle, LatencyBeforeFirstResetIsTheDefaultTransformsDelay) {
  std::unique_ptr<qb::Quellbridge> p(plinth::MakePlug<qb::Quellbridge>(plinth::InstanceInfo{}));
  EXPECT_EQ(p->GetLatency(), 2048);
}

TEST(Lifecycle, ParameterChangesReachTheTargetsAndOutOfRangeIndicesAreIgnored) {
  qbtest::PluginDriver d;
  d.SetParam(qb::kThreshMid, -33.3);
  d.SetParam(qb::kLinkSlot, 3);
  d.SetParam(qb::kHP, 5000);  // clamped by the parameter
  EXPECT_DOUBLE_EQ(d.plugin->ParamTarget(qb::kThreshMid), -33.3);
  EXPECT_DOUBLE_EQ(d.plugin->ParamTarget(qb::kLinkSlot), 3.0);
  EXPECT_DOUBLE_EQ(d.plugin->ParamTarget(qb::kHP), 1000.0);
  d.plugin->OnParamChange(-1);
  d.plugin->OnParamChange(qb::kNumParams);
}

TEST(Lifecycle, BandEnableIgnoresIndicesOutsideTheThreeBands) {
  qbtest::PluginDriver d;
  d.plugin->SetBandEnabled(3, false);
  d.plugin->SetBandEnabled(-1, false);
  plinth::IByteChunk chunk;
  ASSERT_TRUE(d.plugin->SerializeState(chunk));
  EXPECT_EQ(chunk.GetData()[92], 1);
  EXPECT_EQ(chunk.GetData()[93], 1);
  EXPECT_EQ(chunk.GetData()[94], 1);
}

}  // namespace
