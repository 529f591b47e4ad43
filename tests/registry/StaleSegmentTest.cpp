// Segments left behind by dead instances, and segments that are not usable
// as they are: which ones the stale check removes and which ones Open
// replaces.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <ctime>
#include <functional>
#include <string>

#include "RegistryTestSupport.h"
#include "registry/QuellbridgeSHM.h"
#include "registry/RobustMutex.h"
#include "registry/SegmentFile.h"

namespace {

using namespace qb;

int64_t Now() { return static_cast<int64_t>(std::time(nullptr)); }

struct StaleCase {
  std::string name;
  int64_t size;
  // Fills a zeroed registry; now is the time the case is prepared at.
  std::function<void(QBRegistry&, int64_t now)> fill;
  bool removedByStaleCheck;
  bool replacedByOpen;  // a segment that survived the check but is not joined as is
  bool ageMatters = false;  // must be checked within the second it was prepared in
  bool fresh = false;       // just created, possibly not yet sized by its creator
};

void ValidWithBeatAge(QBRegistry& r, int64_t now, int64_t age) {
  qbtest::MakeValid(r);
  qbtest::MakeAliveSlot(r, 0, 0xdead00000001ull, now - age);
}

std::vector<StaleCase> Cases() {
  return {
      {"newest beat 11 s old", 85952, [](QBRegistry& r, int64_t now) { ValidWithBeatAge(r, now, 11); }, true, false, true},
      {"newest beat exactly 10 s old", 85952, [](QBRegistry& r, int64_t now) { ValidWithBeatAge(r, now, 10); },
       false, false, true},
      {"one of several beats fresh", 85952,
       [](QBRegistry& r, int64_t now) {
         ValidWithBeatAge(r, now, 500);
         qbtest::MakeAliveSlot(r, 5, 0xdead00000005ull, now - 3);
         qbtest::MakeAliveSlot(r, 9, 0xdead00000009ull, now - 60);
       },
       false, false},
      {"fresh beat in a freed slot", 85952,
       [](QBRegistry& r, int64_t now) {
         ValidWithBeatAge(r, now, 0);
         r.slots[0].alive = 0;
       },
       true, false},
      {"alive byte neither 0 nor 1", 85952,
       [](QBRegistry& r, int64_t now) {
         ValidWithBeatAge(r, now, 0);
         r.slots[0].alive = 2;
       },
       true, false},
      {"beat 11 s in the future", 85952, [](QBRegistry& r, int64_t now) { ValidWithBeatAge(r, now, -11); }, true,
       false, true},
      {"beat 5 s in the future", 85952, [](QBRegistry& r, int64_t now) { ValidWithBeatAge(r, now, -5); }, false,
       false, true},
      {"most negative beat", 85952,
       [](QBRegistry& r, int64_t now) {
         ValidWithBeatAge(r, now, 0);
         r.slots[0].heartbeat = INT64_MIN;
       },
       true, false},
      {"largest beat", 85952,
       [](QBRegistry& r, int64_t now) {
         ValidWithBeatAge(r, now, 0);
         r.slots[0].heartbeat = INT64_MAX;
       },
       true, false},
      {"empty object left behind", 0, nullptr, true, false},
      {"one byte short", 85951, nullptr, true, false},
      {"empty object just created", 0, nullptr, false, true, false, true},
      {"half sized just now", 40000, nullptr, false, true, false, true},
      {"one byte long, in use", 85953, [](QBRegistry& r, int64_t now) { ValidWithBeatAge(r, now, 0); }, false, true},
      {"twice the size, in use", 2 * 85952, [](QBRegistry& r, int64_t now) { ValidWithBeatAge(r, now, 0); }, false,
       true},
      {"magic never written", 85952,
       [](QBRegistry& r, int64_t now) {
         ValidWithBeatAge(r, now, 0);
         r.magic = 0;
       },
       false, true},
      {"version 7", 85952,
       [](QBRegistry& r, int64_t now) {
         ValidWithBeatAge(r, now, 0);
         r.version = 7;
       },
       false, true},
      {"version 9", 85952,
       [](QBRegistry& r, int64_t now) {
         ValidWithBeatAge(r, now, 0);
         r.version = 9;
       },
       false, true},
      {"version 0", 85952,
       [](QBRegistry& r, int64_t now) {
         ValidWithBeatAge(r, now, 0);
         r.version = 0;
       },
       false, true},
      {"version -8", 85952,
       [](QBRegistry& r, int64_t now) {
         ValidWithBeatAge(r, now, 0);
         r.version = -8;
       },
       false, true},
  };
}

class StaleSegmentTest : public ::testing::TestWithParam<StaleCase> {};

// Prepares the case and runs fn within one wall-clock second, so that ages
// like "exactly 10 s" are what the code sees.
void WithinOneSecond(const StaleCase& c, const std::function<void()>& fn) {
  for (;;) {
    const int64_t now = Now();
    qbtest::PrepareSegment(
        c.size,
        [&](QBRegistry& r) {
          if (c.fill) c.fill(r, now);
        },
        c.fresh);
    fn();
    if (!c.ageMatters || Now() == now) return;
  }
}

TEST_P(StaleSegmentTest, StaleCheck) {
  const StaleCase& c = GetParam();
  uint64_t prepared = 0;
  WithinOneSecond(c, [&] {
    prepared = qbtest::SegmentInode();
    QuellbridgeSHM::ForceCleanIfStale(QuellbridgeSHM::kStaleAgeSeconds);
  });
  if (c.removedByStaleCheck) {
    EXPECT_FALSE(qbtest::SegmentExists());
  } else {
    EXPECT_EQ(qbtest::SegmentInode(), prepared);
    EXPECT_EQ(qbtest::SegmentFileSize(), c.size) << "left untouched";
  }
}

TEST_P(StaleSegmentTest, Open) {
  const StaleCase& c = GetParam();
  uint64_t prepared = 0;
  QuellbridgeSHM h;
  bool opened = false;
  WithinOneSecond(c, [&] {
    prepared = qbtest::SegmentInode();
    opened = h.Open();
  });
  ASSERT_TRUE(opened);
  const bool recreated = c.removedByStaleCheck || c.replacedByOpen;
  if (recreated) {
    EXPECT_NE(qbtest::SegmentInode(), prepared);
    EXPECT_EQ(h.SlotIndex(), 0);
  } else {
    EXPECT_EQ(qbtest::SegmentInode(), prepared) << "joined as it was";
  }
  EXPECT_EQ(qbtest::SegmentFileSize(), 85952);
  qbtest::RawRegistry raw;
  ASSERT_TRUE(raw.Mapped());
  EXPECT_EQ(raw->version, 8);
  EXPECT_EQ(raw->magic, kRegistryMagic);
  EXPECT_EQ(raw.Slot(h.SlotIndex()).instanceId, h.InstanceId());
}

INSTANTIATE_TEST_SUITE_P(Segments, StaleSegmentTest, ::testing::ValuesIn(Cases()),
                         [](const ::testing::TestParamInfo<StaleCase>& info) {
                           std::string n;
                           for (char ch : info.param.name) n += std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
                           return n;
                         });

TEST(StaleCheck, OpenJoinsASegmentWhoseCreatorFinishesWhileItWaits) {
  qbtest::RemoveSegment();
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t creator = fork();
  if (creator == 0) {
    namespace bip = boost::interprocess;
    bip::permissions perms;
    perms.set_permissions(0644);
    bip::shared_memory_object seg(bip::create_only, kRegistryName, bip::read_write, perms);
    char go = 1;
    if (write(ready[1], &go, 1) != 1) _exit(1);
    // Sizes and publishes it a little later, well within the joiner's second.
    SleepResumingNs(30'000'000);
    seg.truncate(static_cast<bip::offset_t>(kRegistrySize));
    bip::mapped_region map(seg, bip::read_write);
    auto& r = *static_cast<QBRegistry*>(map.get_address());
    qbtest::MakeValid(r);
    qbtest::MakeAliveSlot(r, 0, 0xc0ea7e0000000001ull, Now());
    _exit(0);
  }
  char go = 0;
  ASSERT_EQ(read(ready[0], &go, 1), 1);
  const uint64_t inode = qbtest::SegmentInode();
  QuellbridgeSHM h;
  EXPECT_TRUE(h.Open());
  waitpid(creator, nullptr, 0);
  close(ready[0]);
  close(ready[1]);
  EXPECT_EQ(qbtest::SegmentInode(), inode) << "joined the creator's segment";
  EXPECT_EQ(h.SlotIndex(), 1);
}

TEST(StaleCheck, NoSegmentIsNothingToDo) {
  qbtest::RemoveSegment();
  QuellbridgeSHM::ForceCleanIfStale(10);
  EXPECT_FALSE(qbtest::SegmentExists());
}

TEST(StaleCheck, SegmentInUseByALiveHandleSurvives) {
  qbtest::RemoveSegment();
  QuellbridgeSHM a;
  ASSERT_TRUE(a.Open());
  const uint64_t inode = qbtest::SegmentInode();
  QuellbridgeSHM::ForceCleanIfStale(10);
  EXPECT_EQ(qbtest::SegmentInode(), inode);
}

TEST(SegmentFile, RemovalSparesASegmentCreatedInTheMeantime) {
  qbtest::RemoveSegment();
  namespace bip = boost::interprocess;
  bip::shared_memory_object examined;
  ASSERT_EQ(CreateSegmentExclusive(kRegistryName, examined), SegmentOpenResult::Done);
  // Someone else removes it and creates a new one under the same name.
  qbtest::RemoveSegment();
  bip::shared_memory_object newer;
  ASSERT_EQ(CreateSegmentExclusive(kRegistryName, newer), SegmentOpenResult::Done);
  const uint64_t newerInode = qbtest::SegmentInode();
  RemoveSegmentIfSame(kRegistryName, examined);
  EXPECT_EQ(qbtest::SegmentInode(), newerInode);
  RemoveSegmentIfSame(kRegistryName, newer);
  EXPECT_FALSE(qbtest::SegmentExists());
}

TEST(SegmentFile, ExclusiveCreationSizesAndRefusesAnExistingName) {
  qbtest::RemoveSegment();
  namespace bip = boost::interprocess;
  bip::shared_memory_object first, second;
  ASSERT_EQ(CreateSegmentExclusive(kRegistryName, first), SegmentOpenResult::Done);
  EXPECT_EQ(SegmentSize(first), 85952);
  EXPECT_EQ(CreateSegmentExclusive(kRegistryName, second), SegmentOpenResult::Exists);
  qbtest::RemoveSegment();
  EXPECT_EQ(OpenSegment(kRegistryName, bip::read_write, second), SegmentOpenResult::Missing);
}

}  // namespace
