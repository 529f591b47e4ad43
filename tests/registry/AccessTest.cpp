// A segment this process may not write (another user's, or read-only): Open
// fails silently and every operation is a no-op; the segment and the slots
// of its users stay as they were.
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>

#include "PrivateShm.h"
#include "RegistryTestSupport.h"
#include "registry/QuellbridgeSHM.h"

namespace {

using namespace qb;

// Every operation of a handle whose Open failed; returns the failing line.
int ExpectEverythingIsANoOp(uint64_t liveId) {
  QuellbridgeSHM h;
  QB_CHILD_CHECK(!h.Open());
  QB_CHILD_CHECK(!h.IsOpen() && h.SlotIndex() == -1 && h.Header() == nullptr);
  QB_CHILD_CHECK(h.Beat() == BeatResult::Unavailable);
  QB_CHILD_CHECK(h.ListInstances().empty());
  QB_CHILD_CHECK(h.FindSlot(liveId) == -1);
  h.SetRemoteId(liveId);
  QB_CHILD_CHECK(h.RemoteId() == liveId);
  QB_CHILD_CHECK(!h.RefreshRemoteId());
  QB_CHILD_CHECK(h.ReadBypassOf(liveId) == false);
  h.SetBypassOf(liveId, true);
  QB_CHILD_CHECK(!h.ToggleOwnBypass().has_value());
  QB_CHILD_CHECK(!h.ReadOwnBypass());
  QB_CHILD_CHECK(h.WriteControls(1, 2, 3) == 0);
  h.WriteRemoteControls(1, 2, 3);
  float a = -1, r = -1, m = -1;
  h.ReadRemoteControls(a, r, m);
  QB_CHILD_CHECK(a == 10.0f && r == 100.0f && m == 0.0f);
  QBBand band{1, 2, 3, 4, 1, {}};
  QB_CHILD_CHECK(h.WriteBands(SlotTarget::Own, 1, &band) == 0);
  QB_CHILD_CHECK(h.WriteBands(SlotTarget::Peer, 1, &band) == 0);
  QB_CHILD_CHECK(h.WriteHpLp(SlotTarget::Peer, 30, 3000) == 0);
  QBBandGroup bands;
  QB_CHILD_CHECK(h.ReadBands(SlotTarget::Peer, LockMode::WithRetry, bands) == GroupRead::Absent);
  float spectrum[kSpectrumBins] = {};
  QB_CHILD_CHECK(!h.CopyPeerSpectrum(spectrum));
  h.PublishSpectrum(spectrum, kSpectrumBins);
  h.PublishBandLevels({1, 1, 1});
  h.PublishGainReduction({1, 1, 1});
  h.PublishBypassed();
  h.WriteFftSize(4096);
  h.SetDisplayName("intruder");
  h.ReapStaleSlots();
  QB_CHILD_CHECK(h.WriteDefaultGroups().bandSeq == 0);
  h.Close();
  return 0;
}

class AccessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    qbtest::RemoveSegment();
    ASSERT_TRUE(owner.Open());
    owner.SetDisplayName("owner");
    ASSERT_NE(owner.WriteDefaultGroups().bandSeq, 0u);
    inode = qbtest::SegmentInode();
    before = qbtest::SegmentBytes();
  }
  void TearDown() override { chmod(qbtest::kSegmentPath.c_str(), 0644); }

  void ExpectSegmentUnchanged() {
    EXPECT_EQ(qbtest::SegmentInode(), inode);
    EXPECT_EQ(qbtest::SegmentBytes(), before);
  }

  QuellbridgeSHM owner;
  uint64_t inode = 0;
  std::vector<uint8_t> before;
};

TEST_F(AccessTest, SegmentOfAnotherUser) {
  if (!qbtest::CanSwitchUser()) GTEST_SKIP() << "needs real root to switch users";
  const uint64_t liveId = owner.InstanceId();
  const int rc = qbtest::RunInChild([liveId] {
    QB_CHILD_CHECK(setgid(65534) == 0 && setuid(65534) == 0);
    return ExpectEverythingIsANoOp(liveId);
  });
  EXPECT_EQ(rc, 0) << "first failing line in the child";
  ExpectSegmentUnchanged();
}

TEST_F(AccessTest, ReadOnlySegment) {
  ASSERT_EQ(chmod(qbtest::kSegmentPath.c_str(), 0444), 0);
  const uint64_t liveId = owner.InstanceId();
  const int rc = qbtest::RunInChild([liveId] {
    // Without capabilities, root is bound by the file mode like anyone else.
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] = {};
    QB_CHILD_CHECK(syscall(SYS_capset, &header, data) == 0);
    return ExpectEverythingIsANoOp(liveId);
  });
  EXPECT_EQ(rc, 0) << "first failing line in the child";
  ExpectSegmentUnchanged();
}

}  // namespace
