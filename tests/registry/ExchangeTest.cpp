// The per-block primitives of the audio path: what they publish and copy,
// and that they never allocate.
#include <gtest/gtest.h>

#include <cstring>
#include <ctime>

#include "AllocationCounter.h"
#include "RegistryTestSupport.h"
#include "registry/QuellbridgeSHM.h"

namespace {

using namespace qb;

class ExchangeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    qbtest::RemoveSegment();
    ASSERT_TRUE(a.Open());
    ASSERT_TRUE(b.Open());
    a.SetRemoteId(b.InstanceId());
    ASSERT_TRUE(b.RefreshRemoteId());
    ASSERT_TRUE(raw.Remap());
  }
  QuellbridgeSHM a, b;
  qbtest::RawRegistry raw;
};

TEST_F(ExchangeTest, EachSidesSpectrumIsThePeersKey) {
  float ramp[kSpectrumBins];
  for (int i = 0; i < kSpectrumBins; ++i) ramp[i] = static_cast<float>(i + 1);
  b.PublishSpectrum(ramp, kSpectrumBins);
  float key[kSpectrumBins];
  ASSERT_TRUE(a.CopyPeerSpectrum(key));
  EXPECT_EQ(std::memcmp(key, ramp, sizeof key), 0);

  // A shorter transform writes its bins only; the rest keep their contents.
  float half[kSpectrumBins];
  for (float& v : half) v = 0.25f;
  b.PublishSpectrum(half, 256);
  ASSERT_TRUE(a.CopyPeerSpectrum(key));
  EXPECT_EQ(key[255], 0.25f);
  EXPECT_EQ(key[256], 257.0f);
  b.PublishSpectrum(half, 1 << 20);  // clamped to the slot's 1024 entries
  ASSERT_TRUE(a.CopyPeerSpectrum(key));
  EXPECT_EQ(key[1023], 0.25f);
  b.PublishSpectrum(ramp, -3);
  b.PublishSpectrum(nullptr, 10);
  ASSERT_TRUE(a.CopyPeerSpectrum(key));
  EXPECT_EQ(key[0], 0.25f);

  // And the other way round.
  a.PublishSpectrum(ramp, kSpectrumBins);
  ASSERT_TRUE(b.CopyPeerSpectrum(key));
  EXPECT_EQ(key[9], 10.0f);
}

TEST_F(ExchangeTest, PublishedLevelsAndTheBypassBlock) {
  QBSlot& own = raw.Slot(a.SlotIndex());
  own.heartbeat = 5;
  a.PublishBandLevels({0.1f, 0.2f, 0.3f});
  EXPECT_EQ(own.bandLevels[2], 0.3f);
  EXPECT_GE(own.heartbeat, static_cast<int64_t>(std::time(nullptr)) - 1) << "publishing is a sign of life";
  a.PublishGainReduction({-3.0f, -4.0f, -5.0f});
  float gr[3];
  ASSERT_TRUE(b.ReadGainReduction(SlotTarget::Peer, LockMode::SingleTry, gr));
  EXPECT_EQ(gr[1], -4.0f);
  float ones[kSpectrumBins];
  for (float& v : ones) v = 1.0f;
  a.PublishSpectrum(ones, kSpectrumBins);
  a.WriteFftSize(4096);
  EXPECT_EQ(own.fftSize, 4096);

  own.heartbeat = 5;
  a.PublishBypassed();
  EXPECT_GT(own.heartbeat, 5);
  for (float v : own.spectrum) ASSERT_EQ(v, 0.0f);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(own.bandLevels[i], 0.0f);
    EXPECT_EQ(own.gainReduction[i], 0.0f);
  }
}

TEST_F(ExchangeTest, OwnBypassFlagAndItsCachedValue) {
  EXPECT_FALSE(a.ReadOwnBypass());
  b.SetBypassOf(a.InstanceId(), true);
  EXPECT_TRUE(a.ReadOwnBypass());
  EXPECT_TRUE(a.CachedBypass());
  {
    qbtest::LockHeldElsewhere held;
    ASSERT_TRUE(held.Holding());
    EXPECT_TRUE(a.ReadOwnBypass()) << "busy: the cached value";
    raw.Slot(a.SlotIndex()).bypass = 0;  // changed while we cannot look
    EXPECT_TRUE(a.ReadOwnBypass());
  }
  EXPECT_FALSE(a.ReadOwnBypass());
}

TEST_F(ExchangeTest, BusyLockIsReportedDistinctly) {
  ASSERT_NE(a.WriteControls(30, 300, 3), 0u);
  qbtest::LockHeldElsewhere held;
  ASSERT_TRUE(held.Holding());
  QBBandGroup bands;
  QBHpLpGroup hpLp;
  QBControlsGroup controls;
  EXPECT_EQ(a.ReadBands(SlotTarget::Own, LockMode::SingleTry, bands), GroupRead::Busy);
  EXPECT_EQ(a.ReadHpLp(SlotTarget::Own, LockMode::SingleTry, hpLp), GroupRead::Busy);
  EXPECT_EQ(a.ReadControls(SlotTarget::Own, LockMode::SingleTry, controls), GroupRead::Busy);
  EXPECT_EQ(a.ReadBypassOf(b.InstanceId()), std::nullopt) << "unknown, not false";
  EXPECT_FALSE(a.RefreshRemoteId());
  EXPECT_EQ(a.RemoteId(), b.InstanceId());
  float key[kSpectrumBins];
  EXPECT_FALSE(a.CopyPeerSpectrum(key));
  EXPECT_EQ(a.Beat(), BeatResult::Busy);
  // One operation with retry gives up after its budget (about half a second).
  EXPECT_EQ(a.WriteControls(1, 2, 3), 0u);
  held.Release();
  ASSERT_EQ(a.ReadControls(SlotTarget::Own, LockMode::SingleTry, controls), GroupRead::Read);
  EXPECT_EQ(controls.attackMs, 30.0f);
  EXPECT_EQ(controls.seq, 1u);
}

TEST_F(ExchangeTest, AbsentWhenThereIsNothingToRead) {
  QBBandGroup bands;
  a.SetRemoteId(0);
  EXPECT_EQ(a.ReadBands(SlotTarget::Peer, LockMode::SingleTry, bands), GroupRead::Absent);
  a.SetRemoteId(b.InstanceId());
  b.Close();
  EXPECT_EQ(a.ReadBands(SlotTarget::Peer, LockMode::SingleTry, bands), GroupRead::Absent);
  float gr[3] = {7, 7, 7};
  EXPECT_FALSE(a.ReadGainReduction(SlotTarget::Peer, LockMode::SingleTry, gr));
  EXPECT_EQ(gr[0], 7.0f) << "untouched";
}

TEST_F(ExchangeTest, PerBlockPrimitivesNeverAllocate) {
  if (!qbtest::AllocationCountingAvailable()) GTEST_SKIP() << "allocation counting unavailable in this build";
  float spectrum[kSpectrumBins] = {};
  float key[kSpectrumBins];
  float gr[3];
  QBBandGroup bands;
  QBHpLpGroup hpLp;
  QBControlsGroup controls;
  qbtest::AllocationScope scope;
  for (int block = 0; block < 8; ++block) {
    a.RefreshRemoteId();
    a.ReadOwnBypass();
    a.ReadBands(SlotTarget::Own, LockMode::SingleTry, bands);
    a.ReadHpLp(SlotTarget::Own, LockMode::SingleTry, hpLp);
    a.ReadControls(SlotTarget::Own, LockMode::SingleTry, controls);
    a.CopyPeerSpectrum(key);
    a.PublishGainReduction({0, 0, 0});
    a.PublishSpectrum(spectrum, 512);
    a.PublishBandLevels({0, 0, 0});
    a.PublishBypassed();
    a.ReadGainReduction(SlotTarget::Peer, LockMode::SingleTry, gr);
    a.ReadBypassOf(b.InstanceId());
    a.Beat();
  }
  EXPECT_EQ(scope.Count(), 0u);
}

}  // namespace
