// The audio path never waits for the registry lock: with another process
// holding it in long stretches, every block returns at once, and what was
// written into the slot meanwhile is taken up once the lock is free. A holder
// that died with the lock is repaired by the next block. Parameter changes
// that found the lock busy reach the slot later, with the next block or the
// heartbeat.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <thread>
#include <vector>

#include "PairingTestSupport.h"
#include "QuellbridgeFixture.h"

namespace {

using namespace qb;
using Clock = std::chrono::steady_clock;

constexpr int kBlock = 256;
// Far below the half second a retrying lock could wait, far above a block.
constexpr auto kBound = std::chrono::milliseconds(100);

// What the lock holder writes into the instance's slot in stretch n.
QBBand BandOf(int n, int band) {
  const float edge[3] = {300.0f + n, 3000.0f + n, 20000.0f};
  return QBBand{band == 0 ? 20.0f : edge[band - 1], edge[band], -40.0f + band + 0.25f * n, 2.0f + band, 1, {}};
}

struct Target {
  int slot;
};

void WriteGroups(QBRegistry& r, int stretch, void* context) {
  QBSlot& s = r.slots[static_cast<Target*>(context)->slot];
  s.bandCount = 3;
  for (int b = 0; b < 3; ++b) s.bands[b] = BandOf(stretch, b);
  ++s.bandSeq;
  s.hpHz = 30.0f + static_cast<float>(stretch);
  s.lpHz = 15000.0f - static_cast<float>(stretch);
  ++s.hpLpSeq;
}

TEST(AudioNeverWaits, BlocksReturnWhileAnotherProcessHoldsTheLock) {
  qbtest::PluginDriver a(48000, kBlock), b(48000, kBlock);
  Quellbridge& A = *a.plugin;
  b.plugin->Registry().SetRemoteId(A.Registry().InstanceId());
  qbtest::RegistryView view;
  std::vector<double> in0(kBlock), in1(kBlock), out0(kBlock), out1(kBlock);
  for (int i = 0; i < kBlock; ++i) in0[i] = in1[i] = 0.3 * std::sin(0.1 * i);
  double* ins[4] = {in0.data(), in1.data(), in0.data(), in1.data()};
  double* outs[2] = {out0.data(), out1.data()};

  Target target{A.Registry().SlotIndex()};
  qbtest::LockHog hog(view, /*holdMs=*/300, /*gapMs=*/1, WriteGroups, &target);
  ASSERT_TRUE(hog.WaitUntilHeld());

  Clock::duration slowestBlock{}, slowestParamChange{};
  bool finite = true;
  long blocks = 0;
  double release = 100.0;
  const Clock::time_point end = Clock::now() + std::chrono::milliseconds(1000);
  for (Clock::time_point next = Clock::now(); Clock::now() < end; ++blocks) {
    const Clock::time_point start = Clock::now();
    A.ProcessBlock(ins, outs, kBlock);
    slowestBlock = std::max(slowestBlock, Clock::now() - start);
    for (int i = 0; i < kBlock; ++i) finite = finite && std::isfinite(out0[i]) && std::isfinite(out1[i]);
    // Now and then the host automates the release (on the audio thread).
    if (start >= next) {
      release += 1.0;
      const Clock::time_point changed = Clock::now();
      a.SetParam(kRelease, release);
      slowestParamChange = std::max(slowestParamChange, Clock::now() - changed);
      next = start + std::chrono::milliseconds(90);
    }
  }
  const int stretches = hog.Stop();
  ASSERT_GE(stretches, 2) << "the lock was not held as planned";
  EXPECT_LT(slowestBlock, kBound) << blocks << " blocks";
  EXPECT_LT(slowestParamChange, kBound);
  EXPECT_TRUE(finite);

  // The lock is free now: the next block takes up the last groups written.
  A.ProcessBlock(ins, outs, kBlock);
  const int last = stretches - 1;
  EXPECT_DOUBLE_EQ(A.ParamTarget(kFreqLow), BandOf(last, 0).freqHi);
  EXPECT_DOUBLE_EQ(A.ParamTarget(kFreqHigh), BandOf(last, 1).freqHi);
  for (int band = 0; band < 3; ++band) {
    EXPECT_DOUBLE_EQ(A.ParamTarget(kThreshLow + band), BandOf(last, band).thresholdDb) << "band " << band;
    EXPECT_DOUBLE_EQ(A.ParamTarget(kRatioLow + band), BandOf(last, band).ratio) << "band " << band;
  }
  EXPECT_DOUBLE_EQ(A.ParamTarget(kHP), 30.0f + static_cast<float>(last));
  EXPECT_DOUBLE_EQ(A.ParamTarget(kLP), 15000.0f - static_cast<float>(last));
  // The host's last release reached the slot and was not applied back.
  ASSERT_TRUE(view.Locked([&](QBRegistry& r) { EXPECT_EQ(r.slots[target.slot].releaseMs, static_cast<float>(release)); }));
  EXPECT_EQ(A.GetParam(kRelease)->Value(), release);
}

TEST(AudioNeverWaits, HolderThatDiedIsRepairedByTheNextBlock) {
  qbtest::PluginDriver a(48000, kBlock);
  Quellbridge& A = *a.plugin;
  qbtest::RegistryView view;
  QBRegistry* registry = nullptr;
  ASSERT_TRUE(view.Locked([&](QBRegistry& r) { registry = &r; }));
  const int slot = A.Registry().SlotIndex();
  // The child writes a band group and dies with the lock held.
  ASSERT_EQ(qbtest::RunInChild([&] {
              if (pthread_mutex_lock(&registry->mutex) != 0) return 1;
              QBSlot& s = registry->slots[slot];
              s.bandCount = 2;
              s.bands[0] = QBBand{20, 700, -33, 6, 1, {}};
              s.bands[1] = QBBand{700, 20000, -21, 2, 1, {}};
              ++s.bandSeq;
              return 0;
            }),
            0);
  a.Run(std::vector<std::vector<double>>(2, std::vector<double>(kBlock, 0.0)), kBlock);
  EXPECT_DOUBLE_EQ(A.ParamTarget(kFreqLow), 700);
  EXPECT_DOUBLE_EQ(A.ParamTarget(kThreshLow), -33);
  EXPECT_DOUBLE_EQ(A.ParamTarget(kThreshHigh), -21);
  // And the lock works for everybody afterwards.
  EXPECT_TRUE(view.Locked([](QBRegistry&) {}));
  a.SetParam(kAttack, 42);
  ASSERT_TRUE(view.Locked([&](QBRegistry& r) { EXPECT_EQ(r.slots[slot].attackMs, 42.0f); }));
}

TEST(AudioNeverWaits, ControlsChangedWhileTheLockWasBusyReachTheSlotWithTheHeartbeat) {
  qbtest::PluginDriver a(48000, kBlock);
  Quellbridge& A = *a.plugin;
  qbtest::RegistryView view;
  const int slot = A.Registry().SlotIndex();
  {
    qbtest::LockHog hog(view, /*holdMs=*/10000, /*gapMs=*/1);
    ASSERT_TRUE(hog.WaitUntilHeld());
    const Clock::time_point start = Clock::now();
    a.SetParam(kRelease, 321);
    EXPECT_LT(Clock::now() - start, kBound);
    ASSERT_EQ(hog.Stop(), 1);
  }
  // No audio runs: the heartbeat (one beat every 3 s) writes them.
  float release = 0.0f;
  for (int i = 0; i < 100 && release != 321.0f; ++i) {
    view.Locked([&](QBRegistry& r) { release = r.slots[slot].releaseMs; });
    if (release != 321.0f) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_EQ(release, 321.0f) << "not written within 5 s";
  a.Run(std::vector<std::vector<double>>(2, std::vector<double>(kBlock, 0.0)), kBlock);
  EXPECT_EQ(A.GetParam(kRelease)->Value(), 321.0) << "and not applied back";
}

}  // namespace
