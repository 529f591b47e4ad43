// The registry lock: a holder that dies is repaired within one attempt; an
// unusable lock disables the registry quietly; busy locks are retried.
#include <gtest/gtest.h>

#include "RegistryTestSupport.h"
#include "registry/Heartbeat.h"
#include "registry/QuellbridgeSHM.h"
#include "registry/RobustMutex.h"

namespace {

using namespace qb;

class LockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    qbtest::RemoveSegment();
    ASSERT_TRUE(a.Open());
    ASSERT_TRUE(b.Open());
  }
  QuellbridgeSHM a, b;
};

TEST_F(LockTest, HolderThatDiedIsRepairedWithinOneAttempt) {
  ASSERT_TRUE(qbtest::LockAndDieInChild());
  // Single-try steps succeed at their first and only attempt.
  EXPECT_EQ(a.Beat(), BeatResult::Refreshed);
  EXPECT_EQ(b.Beat(), BeatResult::Refreshed);
  EXPECT_TRUE(a.RefreshRemoteId());
  // Writes go on, and the lock stays healthy for everybody afterwards.
  EXPECT_EQ(a.WriteControls(15, 150, 1), 1u);
  b.SetRemoteId(a.InstanceId());
  EXPECT_TRUE(a.RefreshRemoteId());
  EXPECT_EQ(a.RemoteId(), b.InstanceId());
  QuellbridgeSHM c;
  EXPECT_TRUE(c.Open());
  EXPECT_EQ(c.ListInstances().size(), 2);

  // It survives another death, this time of a process that was a member.
  const int rc = qbtest::RunInChild([] {
    QuellbridgeSHM member;
    QB_CHILD_CHECK(member.Open());
    RegistryLock lock(member.Header()->mutex, LockMode::SingleTry);
    QB_CHILD_CHECK(lock.Held());
    _exit(0);
  });
  ASSERT_EQ(rc, 0);
  EXPECT_EQ(a.ListInstances().size(), 3) << "the dead member's slot stays until it goes stale";
  EXPECT_EQ(a.Beat(), BeatResult::Refreshed);
}

TEST_F(LockTest, HeartbeatThreadKeepsBeatingAfterAHolderDied) {
  ASSERT_TRUE(qbtest::LockAndDieInChild());
  qbtest::RawRegistry raw;
  raw.Slot(a.SlotIndex()).heartbeat = 0;
  std::atomic<int> beats{0};
  {
    Heartbeat heartbeat;
    ASSERT_TRUE(heartbeat.Start(a, {nullptr, [&beats] { ++beats; }}));
    while (beats.load() == 0) SleepResumingNs(1'000'000);
  }
  RegistryLock lock(raw->mutex, LockMode::SingleTry);
  ASSERT_TRUE(lock.Held());
  EXPECT_NE(raw.Slot(a.SlotIndex()).heartbeat, 0) << "the first beat refreshed the slot";
}

TEST_F(LockTest, UnrecoverableLockMakesEveryOperationANoOp) {
  ASSERT_TRUE(qbtest::LockAndDieInChild());
  qbtest::RawRegistry raw;
  {
    // Some other binary takes the dead holder's lock and releases it
    // without repairing it.
    ASSERT_EQ(pthread_mutex_trylock(&raw->mutex), EOWNERDEAD);
    pthread_mutex_unlock(&raw->mutex);
    RegistryLock lock(raw->mutex, LockMode::WithRetry);
    EXPECT_FALSE(lock.Held());
    EXPECT_EQ(lock.LastAttempt(), LockAttempt::Failed) << "no retries on an unusable lock";
  }
  // From here on glibc reports the mutex as busy to everybody.
  EXPECT_EQ(a.Beat(), BeatResult::Busy);
  EXPECT_FALSE(a.RefreshRemoteId());
  EXPECT_EQ(a.ReadBypassOf(b.InstanceId()), std::nullopt);
  a.SetRemoteId(b.InstanceId());
  float key[kSpectrumBins];
  EXPECT_FALSE(a.CopyPeerSpectrum(key));
  QBControlsGroup controls;
  EXPECT_EQ(a.ReadControls(SlotTarget::Own, LockMode::SingleTry, controls), GroupRead::Busy);
  a.PublishBypassed();
  // Steps with retry give up after their budget.
  EXPECT_TRUE(a.ListInstances().empty());
  EXPECT_EQ(a.WriteControls(1, 2, 3), 0u);
  EXPECT_EQ(raw.Slot(a.SlotIndex()).controlsSeq, 0u);
}

TEST_F(LockTest, RetryCompletesALockThatWasBusyAtFirst) {
  qbtest::LockHeldElsewhere held;
  ASSERT_TRUE(held.Holding());
  RegistryLock lock(a.Header()->mutex, LockMode::SingleTry);
  EXPECT_FALSE(lock.Held());
  EXPECT_EQ(lock.LastAttempt(), LockAttempt::Busy);
  held.Release();
  EXPECT_TRUE(QuellbridgeSHM::TryLockWithRetry(lock));
  EXPECT_TRUE(lock.Held());
}

TEST_F(LockTest, ScopedLockIsReleasedOnEveryPath) {
  {
    RegistryLock lock(a.Header()->mutex, LockMode::SingleTry);
    ASSERT_TRUE(lock.Held());
    RegistryLock second(a.Header()->mutex, LockMode::SingleTry);
    EXPECT_FALSE(second.Held());
  }
  for (int i = 0; i < 3; ++i) {
    RegistryLock lock(a.Header()->mutex, LockMode::SingleTry);
    EXPECT_TRUE(lock.Held());
  }
}

}  // namespace
