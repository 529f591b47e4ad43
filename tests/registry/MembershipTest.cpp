// Joining, slot claims and leaving.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <array>
#include <cstring>
#include <memory>
#include <set>

#include "RegistryTestSupport.h"
#include "registry/QuellbridgeSHM.h"

namespace {

using namespace qb;

class MembershipTest : public ::testing::Test {
 protected:
  void SetUp() override { qbtest::RemoveSegment(); }
};

TEST_F(MembershipTest, FirstHandleCreatesSecondJoins) {
  const mode_t oldMask = umask(077);
  QuellbridgeSHM a;
  const bool opened = a.Open();
  umask(oldMask);
  ASSERT_TRUE(opened);
  EXPECT_EQ(qbtest::SegmentFileSize(), 85952);
  EXPECT_EQ(qbtest::SegmentMode(), 0644u) << "the umask must not narrow the permissions";
  const uint64_t inode = qbtest::SegmentInode();

  QuellbridgeSHM b;
  ASSERT_TRUE(b.Open());
  EXPECT_EQ(qbtest::SegmentInode(), inode) << "joined, not recreated";
  EXPECT_EQ(a.SlotIndex(), 0);
  EXPECT_EQ(b.SlotIndex(), 1);

  qbtest::RawRegistry raw;
  ASSERT_TRUE(raw.Mapped());
  EXPECT_EQ(raw->slotHighWater, 2);
  for (int i : {0, 1}) {
    EXPECT_EQ(raw.Slot(i).alive, 1);
    EXPECT_STREQ(raw.Slot(i).displayName, "Quellbridge");
    EXPECT_EQ(raw.Slot(i).peerId, 0u);
  }
  EXPECT_EQ(raw.Slot(0).instanceId, a.InstanceId());
  EXPECT_EQ(raw.Slot(1).instanceId, b.InstanceId());
}

TEST_F(MembershipTest, SeventeenthHandleRunsUnpaired) {
  std::array<std::unique_ptr<QuellbridgeSHM>, kSlotCount> handles;
  std::set<uint64_t> ids;
  for (int i = 0; i < kSlotCount; ++i) {
    handles[i] = std::make_unique<QuellbridgeSHM>();
    ASSERT_TRUE(handles[i]->Open());
    EXPECT_EQ(handles[i]->SlotIndex(), i);
    ids.insert(handles[i]->InstanceId());
  }
  EXPECT_EQ(ids.size(), static_cast<size_t>(kSlotCount));

  QuellbridgeSHM extra;
  EXPECT_FALSE(extra.Open());
  EXPECT_FALSE(extra.IsOpen());
  EXPECT_EQ(extra.SlotIndex(), -1);
  EXPECT_EQ(extra.Header(), nullptr);
  // Every operation is a no-op with its empty result.
  EXPECT_TRUE(extra.ListInstances().empty());
  EXPECT_EQ(extra.WriteControls(1, 2, 3), 0u);
  EXPECT_EQ(extra.FindSlot(handles[0]->InstanceId()), -1);
  EXPECT_EQ(extra.ReadBypassOf(handles[0]->InstanceId()), false);
  EXPECT_EQ(extra.Beat(), BeatResult::Unavailable);
  extra.SetRemoteId(handles[0]->InstanceId());
  EXPECT_EQ(extra.RemoteId(), handles[0]->InstanceId()) << "remoteId is set unconditionally";
  float spectrum[kSpectrumBins];
  EXPECT_FALSE(extra.CopyPeerSpectrum(spectrum));

  qbtest::RawRegistry raw;
  for (int i = 0; i < kSlotCount; ++i) {
    EXPECT_EQ(raw.Slot(i).instanceId, handles[i]->InstanceId());
    EXPECT_EQ(raw.Slot(i).peerId, 0u) << "the unjoined handle wrote nothing";
  }
  const QBInstanceList seen = handles[0]->ListInstances();
  ASSERT_EQ(seen.size(), kSlotCount - 1);
  for (const QBInstanceInfo& info : seen) EXPECT_NE(info.instanceId, extra.InstanceId());
}

TEST_F(MembershipTest, ClosingFreesTheSlotKeepsItsDataAndTheLowestFreeSlotIsReused) {
  QuellbridgeSHM a, b, c;
  ASSERT_TRUE(a.Open());
  ASSERT_TRUE(b.Open());
  ASSERT_TRUE(c.Open());
  b.SetDisplayName("leaving");
  b.SetRemoteId(a.InstanceId());
  ASSERT_NE(b.WriteControls(50, 500, 3), 0u);
  const uint64_t bId = b.InstanceId();
  b.Close();
  EXPECT_FALSE(b.IsOpen());
  EXPECT_EQ(b.InstanceId(), 0u);
  EXPECT_EQ(b.RemoteId(), 0u);

  {
    qbtest::RawRegistry raw;
    const QBSlot& left = raw.Slot(1);
    EXPECT_EQ(left.alive, 0);
    EXPECT_EQ(left.instanceId, bId);
    EXPECT_EQ(left.peerId, a.InstanceId());
    EXPECT_STREQ(left.displayName, "leaving");
    EXPECT_EQ(left.attackMs, 50.0f);
    EXPECT_EQ(left.controlsSeq, 1u);
  }
  EXPECT_EQ(a.FindSlot(bId), -1) << "a freed slot never matches its old id";
  for (const QBInstanceInfo& info : a.ListInstances()) EXPECT_NE(info.instanceId, bId);
  a.SetRemoteId(bId);
  float key[kSpectrumBins];
  EXPECT_FALSE(a.CopyPeerSpectrum(key));
  a.SetRemoteId(0);

  QuellbridgeSHM d;
  ASSERT_TRUE(d.Open());
  EXPECT_EQ(d.SlotIndex(), 1);
  qbtest::RawRegistry raw;
  const QBSlot& claimed = raw.Slot(1);
  EXPECT_EQ(claimed.instanceId, d.InstanceId());
  EXPECT_EQ(claimed.peerId, 0u);
  EXPECT_EQ(claimed.controlsSeq, 0u) << "claiming zeroes the slot";
  EXPECT_EQ(claimed.attackMs, 0.0f);
  EXPECT_STREQ(claimed.displayName, "Quellbridge");

  QuellbridgeSHM e;
  ASSERT_TRUE(e.Open());
  EXPECT_EQ(e.SlotIndex(), 3);
}

TEST_F(MembershipTest, SegmentOutlivesItsInstancesUntilANewcomerFindsItUnused) {
  {
    QuellbridgeSHM a;
    ASSERT_TRUE(a.Open());
  }
  ASSERT_TRUE(qbtest::SegmentExists()) << "a departing instance never removes the segment";
  const uint64_t inode = qbtest::SegmentInode();
  QuellbridgeSHM next;
  ASSERT_TRUE(next.Open());
  EXPECT_NE(qbtest::SegmentInode(), inode) << "no live slot: removed and created anew";
  EXPECT_EQ(next.SlotIndex(), 0);
}

TEST_F(MembershipTest, ReopeningReleasesTheFormerSlot) {
  QuellbridgeSHM a, b;
  ASSERT_TRUE(a.Open());
  ASSERT_TRUE(b.Open());
  ASSERT_TRUE(a.Open());
  qbtest::RawRegistry raw;
  int alive = 0;
  for (const QBSlot& s : raw->slots) alive += s.alive;
  EXPECT_EQ(alive, 2) << "the first slot was given back, not leaked";
  EXPECT_EQ(a.SlotIndex(), 0) << "and is the lowest free one again";
}

TEST_F(MembershipTest, FreeOwnSlotLeavesForGood) {
  QuellbridgeSHM a, b;
  ASSERT_TRUE(a.Open());
  ASSERT_TRUE(b.Open());
  a.FreeOwnSlot();
  EXPECT_FALSE(a.IsOpen());
  EXPECT_EQ(a.Beat(), BeatResult::Unavailable) << "a handle that left is never revived";
  EXPECT_EQ(a.WriteControls(1, 2, 3), 0u);
  qbtest::RawRegistry raw;
  EXPECT_EQ(raw.Slot(0).alive, 0);
  EXPECT_EQ(raw.Slot(0).controlsSeq, 0u);
  EXPECT_TRUE(b.ListInstances().empty());
}

TEST_F(MembershipTest, DisplayNameKeepsSixtyThreeCharacters) {
  QuellbridgeSHM a;
  ASSERT_TRUE(a.Open());
  const std::string longName(100, 'n');
  a.SetDisplayName(longName.c_str());
  qbtest::RawRegistry raw;
  EXPECT_EQ(std::string(raw.Slot(0).displayName), longName.substr(0, 63));
  EXPECT_EQ(raw.Slot(0).displayName[63], '\0');
  a.SetDisplayName(nullptr);
  EXPECT_STREQ(raw.Slot(0).displayName, "");
}

TEST_F(MembershipTest, DefaultGroupsCountFromOne) {
  QuellbridgeSHM a;
  ASSERT_TRUE(a.Open());
  const QBGroupCounters first = a.WriteDefaultGroups();
  EXPECT_EQ(first.bandSeq, 1u);
  EXPECT_EQ(first.hpLpSeq, 1u);
  EXPECT_EQ(first.controlsSeq, 1u);
  QBBandGroup bands;
  ASSERT_EQ(a.ReadBands(SlotTarget::Own, LockMode::SingleTry, bands), GroupRead::Read);
  ASSERT_EQ(bands.count, 1);
  EXPECT_EQ(bands.bands[0].freqLo, 20.0f);
  EXPECT_EQ(bands.bands[0].freqHi, 20000.0f);
  EXPECT_EQ(bands.bands[0].thresholdDb, -20.0f);
  EXPECT_EQ(bands.bands[0].ratio, 4.0f);
  EXPECT_EQ(bands.bands[0].enabled, 1);
  QBHpLpGroup hpLp;
  ASSERT_EQ(a.ReadHpLp(SlotTarget::Own, LockMode::SingleTry, hpLp), GroupRead::Read);
  EXPECT_EQ(hpLp.hpHz, 20.0f);
  EXPECT_EQ(hpLp.lpHz, 20000.0f);
  QBControlsGroup controls;
  ASSERT_EQ(a.ReadControls(SlotTarget::Own, LockMode::SingleTry, controls), GroupRead::Read);
  EXPECT_EQ(controls.attackMs, 10.0f);
  EXPECT_EQ(controls.releaseMs, 100.0f);
  EXPECT_EQ(controls.makeupDb, 0.0f);
  EXPECT_EQ(controls.seq, 1u);
  EXPECT_EQ(a.WriteDefaultGroups().controlsSeq, 2u);
}

}  // namespace
