// An instance whose slot was freed as stale and taken by a newcomer: its
// audio path and parameter writes never touch the newcomer's slot, and its
// heartbeat claims a fresh slot with its name and settings.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <thread>
#include <vector>

#include "PairingTestSupport.h"
#include "QuellbridgeFixture.h"
#include "registry/SlotGroups.h"

namespace {

using namespace qb;

constexpr int kBlock = 256;
constexpr uint64_t kNewcomerId = 0x5eed5eed00000001ull;

TEST(SlotLoss, NewcomersSlotIsNeverWrittenAndTheInstanceRejoins) {
  qbtest::PluginDriver a(48000, kBlock);
  Quellbridge& A = *a.plugin;
  qbtest::RegistryView view;
  // Lets the heartbeat's first beat pass, so the next one is a period away.
  const int lost = A.Registry().SlotIndex();
  ASSERT_TRUE(view.Locked([&](QBRegistry& r) { r.slots[lost].heartbeat = 1; }));
  for (int i = 0; i < 200; ++i) {
    int64_t beat = 1;
    view.Locked([&](QBRegistry& r) { beat = r.slots[lost].heartbeat; });
    if (beat != 1) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::vector<std::vector<double>> tone(2, std::vector<double>(8 * kBlock));
  for (size_t i = 0; i < tone[0].size(); ++i) tone[0][i] = tone[1][i] = 0.4 * std::sin(0.13 * static_cast<double>(i));
  a.Run(tone, kBlock);
  a.SetParam(kThreshMid, -27);

  // A sweep freed the slot and a newcomer claimed it (zeroed, its own data).
  QBSlot newcomer{};
  newcomer.instanceId = kNewcomerId;
  newcomer.alive = 1;
  newcomer.heartbeat = static_cast<int64_t>(std::time(nullptr));
  std::strcpy(newcomer.displayName, "newcomer");
  for (float& v : newcomer.spectrum) v = 7.0f;
  ASSERT_TRUE(view.Locked([&](QBRegistry& r) { r.slots[lost] = newcomer; }));
  auto expectNewcomerUntouched = [&] {
    ASSERT_TRUE(view.Locked([&](QBRegistry& r) {
      EXPECT_EQ(std::memcmp(&r.slots[lost], &newcomer, sizeof newcomer), 0) << "the newcomer's slot was written";
    }));
  };

  a.Run(tone, kBlock);
  a.SetParam(kAttack, 33);
  a.SetParam(kMakeup, 2);
  a.Run(tone, kBlock);
  expectNewcomerUntouched();
  EXPECT_EQ(A.Registry().SlotIndex(), lost) << "rejoined before the next beat was due";

  // Within one heartbeat period the instance is back in a slot of its own,
  // with its groups written again.
  int rejoined = -1;
  auto rewritten = [&] {
    bool done = false;
    view.Locked([&](QBRegistry& r) {
      rejoined = FindAliveSlot(r, A.Registry().InstanceId());
      const QBSlot* s = rejoined >= 0 ? &r.slots[rejoined] : nullptr;
      done = s && s->bandSeq != 0 && s->hpLpSeq != 0 && s->controlsSeq != 0;
    });
    return done;
  };
  for (int i = 0; i < 100 && !rewritten(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_GE(rejoined, 0) << "no rejoin within 5 s";
  EXPECT_NE(rejoined, lost);
  EXPECT_EQ(A.Registry().SlotIndex(), rejoined);
  char name[kNameSize];
  A.GetInstanceName(name);
  ASSERT_TRUE(view.Locked([&](QBRegistry& r) {
    const QBSlot& s = r.slots[rejoined];
    EXPECT_STREQ(s.displayName, name);
    EXPECT_EQ(s.bandCount, 1);
    EXPECT_EQ(s.bands[0].thresholdDb, -20.0f) << "one band carries the low band's threshold";
    EXPECT_EQ(s.attackMs, 33.0f);
    EXPECT_EQ(s.makeupDb, 2.0f);
    EXPECT_NE(s.bandSeq, 0u);
  }));
  // Its audio path publishes there again; the newcomer is still left alone.
  a.Run(tone, kBlock);
  ASSERT_TRUE(view.Locked([&](QBRegistry& r) { EXPECT_GT(r.slots[rejoined].spectrum[10], 0.0f); }));
  expectNewcomerUntouched();
  // Nothing was taken over from the slot while it was lost.
  EXPECT_EQ(A.ParamTarget(kThreshMid), -27);
}

}  // namespace
