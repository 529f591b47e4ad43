// A stale check made by another process while an instance is creating the
// segment must leave it alone; removed at that moment, the creator would stay
// in a segment nobody else can find, and instances starting together would
// never see each other. The creator therefore publishes the segment (its
// magic) only once it holds a slot in it.
//
// To stretch that moment, this executable supplies its own time(): the
// registry reads the clock through it when it claims a slot, and the test can
// make each reading take a while.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <ctime>

#include "RegistryTestSupport.h"
#include "registry/QuellbridgeSHM.h"

namespace {
std::atomic<int> sClockDelayMs{0};
}  // namespace

extern "C" time_t time(time_t* out) noexcept {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  if (const int ms = sClockDelayMs.load()) {
    timespec want{ms / 1000, (ms % 1000) * 1000000L}, left{};
    while (nanosleep(&want, &left) != 0 && errno == EINTR) want = left;
  }
  if (out) *out = now.tv_sec;
  return now.tv_sec;
}

namespace {

using namespace qb;

TEST(CreationRace, StaleCheckOfAnotherProcessLeavesASegmentBeingCreatedAlone) {
  qbtest::RemoveSegment();
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  // Another process runs its stale check over and over.
  const pid_t checker = fork();
  ASSERT_GE(checker, 0);
  if (checker == 0) {
    const char go = 1;
    if (write(ready[1], &go, 1) != 1) _exit(1);
    for (;;) QuellbridgeSHM::ForceCleanIfStale(QuellbridgeSHM::kStaleAgeSeconds);
  }
  char c;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  close(ready[0]);
  close(ready[1]);

  QuellbridgeSHM creator;
  sClockDelayMs = 50;  // the creator's slot claim takes 50 ms
  const bool opened = creator.Open();
  sClockDelayMs = 0;
  kill(checker, SIGKILL);
  waitpid(checker, nullptr, 0);
  ASSERT_TRUE(opened);

  // The creator's slot is in the segment everybody finds by name.
  qbtest::RawRegistry raw;
  ASSERT_TRUE(raw.Mapped());
  EXPECT_EQ(raw.Slot(creator.SlotIndex()).alive, 1);
  EXPECT_EQ(raw.Slot(creator.SlotIndex()).instanceId, creator.InstanceId());
  QuellbridgeSHM joiner;
  ASSERT_TRUE(joiner.Open());
  const QBInstanceList others = joiner.ListInstances();
  ASSERT_EQ(others.size(), 1);
  EXPECT_EQ(others[0].instanceId, creator.InstanceId());
}

}  // namespace
