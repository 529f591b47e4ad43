// Membership with the real modules: CLAP and VST3 instances hosted by qb-peer
// processes join one segment, which this test process reads through its own
// mapping (under the registry lock).
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "PeerProcess.h"
#include "RegistryTestSupport.h"
#include "registry/RobustMutex.h"
#include "registry/SlotGroups.h"

namespace {

using qbtest::PeerProcess;

struct AliveSlot {
  int index;
  uint64_t id;
  std::string name;
};

class ModuleMembership : public ::testing::Test {
 protected:
  void SetUp() override {
    qbtest::RemoveSegment();
    raw.Remap();  // forgets a segment of an earlier test
    ASSERT_TRUE(first.Running() && second.Running());
  }
  void TearDown() override {
    EXPECT_EQ(first.Quit(), 0);
    EXPECT_EQ(second.Quit(), 0);
  }

  static std::string Load(PeerProcess& p, const std::string& format) {
    return p.Ok("load " + format + " " + (format == "clap" ? QB_CLAP_MODULE_PATH : QB_VST3_BUNDLE_PATH));
  }

  // Copies of the segment's slots, taken under the lock.
  bool Snapshot(std::vector<qb::QBSlot>& slots) {
    if (!raw.Mapped() && !raw.Remap()) return false;
    qb::RegistryLock lock(raw->mutex, qb::LockMode::WithRetry);
    if (!lock) return false;
    slots.assign(raw->slots, raw->slots + qb::kSlotCount);
    return true;
  }

  std::vector<AliveSlot> Alive() {
    std::vector<AliveSlot> alive;
    std::vector<qb::QBSlot> slots;
    if (!Snapshot(slots)) return alive;
    for (int i = 0; i < qb::kSlotCount; ++i) {
      if (!qb::SlotIsAlive(slots[i])) continue;
      char name[qb::kNameSize];
      qb::CopyBoundedName(slots[i].displayName, name);
      alive.push_back(AliveSlot{i, slots[i].instanceId, name});
    }
    return alive;
  }

  // Creates an instance of module in p; returns the slot it claimed, or -1
  // when no slot appeared.
  int Create(PeerProcess& p, const std::string& module, std::string* index = nullptr) {
    std::set<int> before;
    for (const AliveSlot& s : Alive()) before.insert(s.index);
    const std::string created = p.Ok("create " + module);
    if (index) *index = created;
    int claimed = -1;
    for (const AliveSlot& s : Alive())
      if (!before.count(s.index)) claimed = claimed == -1 ? s.index : -2;
    return claimed < 0 ? -1 : claimed;
  }

  std::string NameOf(int slot) {
    for (const AliveSlot& s : Alive())
      if (s.index == slot) return s.name;
    return "<free>";
  }

  PeerProcess first{QB_PEER_PATH};
  PeerProcess second{QB_PEER_PATH};
  qbtest::RawRegistry raw;
};

TEST_F(ModuleMembership, FirstInstanceCreatesOthersJoinAndNamesCountPerProcessAndModule) {
  const std::string clap1 = Load(first, "clap");
  ASSERT_FALSE(qbtest::SegmentExists());
  ASSERT_EQ(Create(first, clap1), 0);
  EXPECT_EQ(qbtest::SegmentFileSize(), static_cast<int64_t>(qb::kRegistrySize));
  const uint64_t inode = qbtest::SegmentInode();

  const std::string clap2 = Load(second, "clap");
  EXPECT_EQ(Create(second, clap2), 1);
  EXPECT_EQ(qbtest::SegmentInode(), inode) << "the second process joined, it did not recreate";
  EXPECT_EQ(Create(first, clap1), 2);

  // The VST3 module in the first process counts its own instances from 1.
  const std::string vst1 = Load(first, "vst3");
  EXPECT_EQ(Create(first, vst1), 3);
  EXPECT_EQ(Create(first, vst1), 4);
  EXPECT_EQ(Create(first, clap1), 5);
  EXPECT_EQ(qbtest::SegmentInode(), inode);

  const std::vector<std::string> expected = {"Quellbridge #1", "Quellbridge #1", "Quellbridge #2",
                                             "Quellbridge #1", "Quellbridge #2", "Quellbridge #3"};
  const std::vector<AliveSlot> alive = Alive();
  ASSERT_EQ(alive.size(), expected.size());
  std::set<uint64_t> ids;
  for (size_t i = 0; i < alive.size(); ++i) {
    EXPECT_EQ(alive[i].index, static_cast<int>(i));
    EXPECT_EQ(alive[i].name, expected[i]) << "slot " << i;
    ids.insert(alive[i].id);
  }
  EXPECT_EQ(ids.size(), alive.size()) << "every instance has its own id";
  EXPECT_FALSE(ids.count(0));
  EXPECT_EQ(raw->slotHighWater, 6);
}

TEST_F(ModuleMembership, SeventeenthInstanceRunsUnpaired) {
  const std::string clap = Load(first, "clap");
  const std::string vst3 = Load(second, "vst3");
  for (int i = 0; i < 8; ++i) ASSERT_EQ(Create(first, clap), i);
  for (int i = 8; i < 16; ++i) ASSERT_EQ(Create(second, vst3), i);
  const std::vector<AliveSlot> full = Alive();
  ASSERT_EQ(full.size(), static_cast<size_t>(qb::kSlotCount));
  EXPECT_EQ(full[7].name, "Quellbridge #8");
  EXPECT_EQ(full[15].name, "Quellbridge #8");

  // The 17th constructs, claims nothing and processes audio at unity.
  std::string extra;
  EXPECT_EQ(Create(first, clap, &extra), -1);
  EXPECT_EQ(extra, "8");
  const std::vector<AliveSlot> after = Alive();
  ASSERT_EQ(after.size(), full.size());
  for (size_t i = 0; i < after.size(); ++i) {
    EXPECT_EQ(after[i].id, full[i].id);
    EXPECT_EQ(after[i].name, full[i].name);
  }
  first.Ok("activate " + extra + " 48000 256");
  const std::string reply = first.Ok("tones " + extra + " 40 984.375:0.3 2048 984.375");
  EXPECT_NE(reply.find("nan=0"), std::string::npos) << reply;
  const size_t at = reply.find("984.375=");
  ASSERT_NE(at, std::string::npos) << reply;
  EXPECT_NEAR(std::stod(reply.substr(at + 8)), 0.3, 1e-5) << reply;
}

TEST_F(ModuleMembership, DestroyedInstanceFreesItsSlotKeepsItsDataAndTheLowestFreeSlotIsReused) {
  const std::string clap = Load(first, "clap");
  const std::string vst3 = Load(second, "vst3");
  for (int i = 0; i < 3; ++i) ASSERT_EQ(Create(first, clap), i);
  for (int i = 3; i < 6; ++i) ASSERT_EQ(Create(second, vst3), i);
  // Slot 1 publishes a spectrum and is paired with slot 4.
  first.Ok("activate 1 48000 256");
  first.Ok("tones 1 20 984.375:0.5");
  std::vector<qb::QBSlot> before;
  ASSERT_TRUE(Snapshot(before));
  {
    qb::RegistryLock lock(raw->mutex, qb::LockMode::WithRetry);
    ASSERT_TRUE(lock);
    raw->slots[1].peerId = before[4].instanceId;
    raw->slots[4].peerId = before[1].instanceId;
  }
  ASSERT_GT(before[1].spectrum[21], 100.0f);

  first.Ok("destroy 1");
  second.Ok("destroy 1");
  std::vector<qb::QBSlot> gone;
  ASSERT_TRUE(Snapshot(gone));
  for (int i : {1, 4}) {
    const int partner = i == 1 ? 4 : 1;
    EXPECT_EQ(gone[i].alive, 0) << "slot " << i;
    EXPECT_EQ(gone[i].instanceId, before[i].instanceId) << "slot " << i;
    EXPECT_EQ(gone[i].peerId, before[partner].instanceId) << "slot " << i;
    EXPECT_STREQ(gone[i].displayName, before[i].displayName) << "slot " << i;
    EXPECT_EQ(gone[i].bandSeq, before[i].bandSeq) << "slot " << i;
    EXPECT_EQ(std::memcmp(gone[i].spectrum, before[i].spectrum, sizeof gone[i].spectrum), 0) << "slot " << i;
  }
  for (int i : {0, 2, 3, 5}) EXPECT_EQ(gone[i].alive, 1) << "slot " << i;

  // New instances take the lowest free slots, zeroed; names are never reused.
  EXPECT_EQ(Create(second, vst3), 1);
  EXPECT_EQ(NameOf(1), "Quellbridge #4");
  EXPECT_EQ(Create(first, clap), 4);
  EXPECT_EQ(NameOf(4), "Quellbridge #4");
  std::vector<qb::QBSlot> reused;
  ASSERT_TRUE(Snapshot(reused));
  for (int i : {1, 4}) {
    EXPECT_EQ(reused[i].peerId, 0u) << "slot " << i;
    EXPECT_NE(reused[i].instanceId, before[i].instanceId) << "slot " << i;
    EXPECT_EQ(reused[i].spectrum[21], 0.0f) << "slot " << i;
  }
}

}  // namespace
