// The shadow copy of the peer (recording, arming, the single replay into the
// peer's slot) and re-pairing by name after a restore, without an editor.
#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <thread>

#include "StateTestSupport.h"
#include "core/Parameters.h"

namespace {

using qb::QBBand;
using qb::ShadowPeer;
using qbstate::Band;
using qbstate::CountersOf;
using qbstate::Counters;

// Longer than one heartbeat period, so every instance has run its hook since.
void WaitForABeat() { std::this_thread::sleep_for(std::chrono::milliseconds(3500)); }

// ---- Recording ------------------------------------------------------------------------

TEST(ShadowPeerRecord, ClearForgetsThePeerWithRatiosFour) {
  ShadowPeer s;
  const QBBand bands[2] = {Band(20, 300, -30, 5, false), Band(300, 20000, -31, 6, true)};
  s.RecordBands(bands, 2);
  s.RecordHpLp(90, 9000);
  s.RecordControls(1, 2, 3);
  s.applied = true;
  s.Clear();
  EXPECT_EQ(s.bandCount, 0);
  for (int i = 0; i < 6; ++i) EXPECT_EQ(s.freqs[i], 0.0f);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(s.thresholds[i], 0.0f);
    EXPECT_EQ(s.ratios[i], 4.0f);
    EXPECT_TRUE(s.enabled[i]);
  }
  EXPECT_EQ(s.hp, 20.0f);
  EXPECT_EQ(s.lp, 20000.0f);
  EXPECT_EQ(s.attack, 10.0f);
  EXPECT_EQ(s.release, 100.0f);
  EXPECT_EQ(s.makeup, 0.0f);
  EXPECT_FALSE(s.applied);
  EXPECT_FALSE(s.Armed());
}

TEST(ShadowPeerRecord, NoBandsClearTheShadow) {
  const QBBand bands[1] = {Band(20, 20000, -30, 5, true)};
  for (int count : {0, -1}) {
    ShadowPeer s;
    s.RecordBands(bands, 1);
    s.RecordBands(bands, count);
    EXPECT_EQ(s.bandCount, 0) << count;
    EXPECT_EQ(s.ratios[0], 4.0f) << count;
  }
  ShadowPeer s;
  s.RecordBands(bands, 1);
  s.RecordBands(nullptr, 3);
  EXPECT_EQ(s.bandCount, 0);
  EXPECT_EQ(s.ratios[2], 4.0f);
}

TEST(ShadowPeerRecord, FewerBandsKeepTheLaterControlsButZeroTheirEdges) {
  ShadowPeer s;
  const QBBand three[3] = {Band(20, 200, -10, 2, true), Band(200, 2000, -20, 3, true),
                           Band(2000, 20000, -30, 9, false)};
  s.RecordBands(three, 3);
  s.applied = true;
  const QBBand two[2] = {Band(20, 500, -11, 4, false), Band(500, 20000, -21, 5, true)};
  s.RecordBands(two, 2);
  EXPECT_EQ(s.bandCount, 2);
  const float edges[6] = {20, 500, 500, 20000, 0, 0};
  for (int i = 0; i < 6; ++i) EXPECT_EQ(s.freqs[i], edges[i]) << i;
  EXPECT_EQ(s.thresholds[1], -21.0f);
  EXPECT_FALSE(s.enabled[0]);
  EXPECT_EQ(s.thresholds[2], -30.0f);
  EXPECT_EQ(s.ratios[2], 9.0f);
  EXPECT_FALSE(s.enabled[2]);
  EXPECT_TRUE(s.Armed());

  const QBBand five[5] = {three[0], three[1], three[2], three[0], three[1]};
  s.RecordBands(five, 5);
  EXPECT_EQ(s.bandCount, 3);
}

TEST(ShadowPeerRecord, RangeOrControlsAloneMakeAShadowOfOneBand) {
  ShadowPeer s;
  s.RecordHpLp(120, 8000);
  EXPECT_EQ(s.bandCount, 1);
  EXPECT_TRUE(s.Armed());
  EXPECT_FALSE(s.HasWellFormedBand());
  ShadowPeer t;
  t.RecordControls(5, 50, -1);
  EXPECT_EQ(t.bandCount, 1);
  const QBBand two[2] = {Band(20, 500, -11, 4, true), Band(500, 20000, -21, 5, true)};
  t.RecordBands(two, 2);
  t.applied = true;
  t.RecordHpLp(30, 15000);
  EXPECT_EQ(t.bandCount, 2);
  EXPECT_TRUE(t.Armed());
}

// ---- Replay into the peer's slot ------------------------------------------------------------

struct Pair {
  Pair() { a.plugin->Registry().SetRemoteId(b.plugin->Registry().InstanceId()); }
  qb::QBSlot B() { return registry.SlotOf(*b.plugin); }
  qbtest::PluginDriver a, b;
  qbstate::Registry registry;
};

TEST(ShadowPeerReplay, RangeAloneWritesRangeAndControlsOnceAndLeavesTheBands) {
  Pair p;
  const qb::QBSlot before = p.B();
  p.a.plugin->RecordShadowPeerHpLp(80, 9000);
  p.a.plugin->ApplyShadowPeerToSHM();
  const qb::QBSlot once = p.B();
  EXPECT_EQ(CountersOf(once), (Counters{before.bandSeq, before.hpLpSeq + 1, before.controlsSeq + 1}));
  EXPECT_EQ(once.hpHz, 80.0f);
  EXPECT_EQ(once.lpHz, 9000.0f);
  EXPECT_EQ(once.attackMs, 10.0f);
  EXPECT_EQ(once.releaseMs, 100.0f);
  EXPECT_EQ(once.makeupDb, 0.0f);
  EXPECT_EQ(std::memcmp(once.bands, before.bands, sizeof once.bands), 0);

  p.a.plugin->ApplyShadowPeerToSHM();
  EXPECT_EQ(CountersOf(p.B()), CountersOf(once));

  // A new record arms it again.
  p.a.plugin->RecordShadowPeerControls(30, 300, 2);
  p.a.plugin->ApplyShadowPeerToSHM();
  const qb::QBSlot twice = p.B();
  EXPECT_EQ(CountersOf(twice), (Counters{once.bandSeq, once.hpLpSeq + 1, once.controlsSeq + 1}));
  EXPECT_EQ(twice.attackMs, 30.0f);
  EXPECT_EQ(twice.makeupDb, 2.0f);
}

TEST(ShadowPeerReplay, WellFormedBandsAreWrittenAndTheAudioPathAdoptsThem) {
  Pair p;
  const QBBand bands[2] = {Band(20, 700, -33, 7, true), Band(700, 20000, -44, 9, false)};
  p.a.plugin->RecordShadowPeerBands(bands, 2);
  const uint64_t before = p.B().bandSeq;
  p.a.plugin->ApplyShadowPeerToSHM();
  const qb::QBSlot s = p.B();
  EXPECT_EQ(s.bandSeq, before + 1);
  ASSERT_EQ(s.bandCount, 2);
  EXPECT_EQ(s.bands[0].freqHi, 700.0f);
  EXPECT_EQ(s.bands[1].thresholdDb, -44.0f);
  EXPECT_EQ(s.bands[1].enabled, 0);
  p.b.Run(std::vector<std::vector<double>>(2, std::vector<double>(512, 0.1)), 512);
  EXPECT_DOUBLE_EQ(p.b.plugin->GetParam(qb::kFreqLow)->Value(), 700.0);
  EXPECT_DOUBLE_EQ(p.b.plugin->GetParam(qb::kThreshLow)->Value(), -33.0);
}

TEST(ShadowPeerReplay, APeerThatIsNotAliveGetsNothingUntilTheShadowIsArmedAgain) {
  Pair p;
  const Counters before = CountersOf(p.B());
  p.a.plugin->Registry().SetRemoteId(0x1234567);  // nobody
  p.a.plugin->RecordShadowPeerHpLp(80, 9000);
  p.a.plugin->ApplyShadowPeerToSHM();
  EXPECT_FALSE(p.a.plugin->GetShadowPeer().Armed());
  p.a.plugin->Registry().SetRemoteId(p.b.plugin->Registry().InstanceId());
  p.a.plugin->ApplyShadowPeerToSHM();
  EXPECT_EQ(CountersOf(p.B()), before);
  p.a.plugin->RecordShadowPeerHpLp(80, 9000);
  p.a.plugin->ApplyShadowPeerToSHM();
  EXPECT_EQ(p.B().hpLpSeq, before.hpLp + 1);
}

TEST(ShadowPeerReplay, PickingANewPeerNeverPushesTheFormerPeersSettings) {
  Pair p;
  p.a.plugin->RecordShadowPeerHpLp(80, 9000);
  qbtest::PluginDriver c;
  qbstate::Registry registry;
  const Counters before = CountersOf(registry.SlotOf(*c.plugin));
  // What the pairing list does on a pick.
  p.a.plugin->ClearShadowPeer();
  p.a.plugin->Registry().SetRemoteId(c.plugin->Registry().InstanceId());
  p.a.plugin->SetPersistedPeerName("Other");
  p.a.plugin->ApplyShadowPeerToSHM();
  EXPECT_EQ(CountersOf(registry.SlotOf(*c.plugin)), before);
}

// ---- Re-pairing by name after a restore -------------------------------------------------

qb::QBStateChunk ChunkNaming(qbtest::PluginDriver& d, const std::string& peerName) {
  qb::QBStateChunk c = qbstate::Decode(qbstate::Save(*d.plugin));
  qbstate::SetName(c.peerName, peerName);
  c.shadowBandCount = 1;
  c.shadowFreqs[0] = 100, c.shadowFreqs[1] = 8000;
  c.shadowThresholds[0] = -33, c.shadowRatios[0] = 7, c.shadowEnabled[0] = 1;
  c.shadowHp = 90, c.shadowLp = 11000;
  c.shadowAttack = 25, c.shadowRelease = 250, c.shadowMakeup = 1.5f;
  return c;
}

void ExpectShadowIn(const qb::QBSlot& s) {
  EXPECT_EQ(s.hpHz, 90.0f);
  EXPECT_EQ(s.lpHz, 11000.0f);
  EXPECT_EQ(s.attackMs, 25.0f);
  EXPECT_EQ(s.releaseMs, 250.0f);
  EXPECT_EQ(s.makeupDb, 1.5f);
  ASSERT_EQ(s.bandCount, 1);
  EXPECT_EQ(s.bands[0].freqLo, 100.0f);
  EXPECT_EQ(s.bands[0].freqHi, 8000.0f);
  EXPECT_EQ(s.bands[0].thresholdDb, -33.0f);
  EXPECT_EQ(s.bands[0].ratio, 7.0f);
}

uint64_t IdOf(qbtest::PluginDriver& d) { return d.plugin->Registry().InstanceId(); }

TEST(RepairByName, ARestoreNamingAnInstanceRepairsWithItAndReplaysTheShadowOnce) {
  qbtest::PluginDriver a, b;
  b.plugin->SetInstanceName("Quellbridge #2");
  qbstate::Registry registry;
  const Counters before = CountersOf(registry.SlotOf(*b.plugin));

  ASSERT_EQ(qbstate::Load(*a.plugin, qbstate::Encode(ChunkNaming(a, "Quellbridge #2"))), 354);
  EXPECT_EQ(registry.SlotOf(*a.plugin).peerId, IdOf(b));
  EXPECT_EQ(registry.SlotOf(*b.plugin).peerId, IdOf(a));
  const qb::QBSlot s = registry.SlotOf(*b.plugin);
  EXPECT_EQ(CountersOf(s), (Counters{before.bands + 1, before.hpLp + 1, before.controls + 1}));
  ExpectShadowIn(s);

  b.Run(std::vector<std::vector<double>>(2, std::vector<double>(512, 0.1)), 512);
  EXPECT_DOUBLE_EQ(b.plugin->GetParam(qb::kHP)->Value(), 90.0);
  EXPECT_DOUBLE_EQ(b.plugin->GetParam(qb::kMakeup)->Value(), 1.5);
  WaitForABeat();
  EXPECT_EQ(CountersOf(registry.SlotOf(*b.plugin)), CountersOf(s));
  EXPECT_EQ(registry.SlotOf(*b.plugin).peerId, IdOf(a));
}

TEST(RepairByName, AnInstancePairedWithALiveOneIsNotTaken) {
  qbtest::PluginDriver a, b, c;
  b.plugin->SetInstanceName("Drums");
  b.plugin->Registry().SetRemoteId(IdOf(c));
  qbstate::Registry registry;
  const Counters before = CountersOf(registry.SlotOf(*b.plugin));
  qbstate::Load(*a.plugin, qbstate::Encode(ChunkNaming(a, "Drums")));
  EXPECT_EQ(registry.SlotOf(*a.plugin).peerId, 0u);
  EXPECT_EQ(registry.SlotOf(*b.plugin).peerId, IdOf(c));
  EXPECT_EQ(registry.SlotOf(*c.plugin).peerId, IdOf(b));
  EXPECT_EQ(CountersOf(registry.SlotOf(*b.plugin)), before);
}

TEST(RepairByName, APairingMadeByAnybodyStaysAndGetsNoShadowUnderAnotherName) {
  qbtest::PluginDriver a, b, c;
  b.plugin->SetInstanceName("Drums");
  c.plugin->Registry().SetRemoteId(IdOf(a));
  qbstate::Registry registry;
  const Counters beforeB = CountersOf(registry.SlotOf(*b.plugin));
  const Counters beforeC = CountersOf(registry.SlotOf(*c.plugin));
  a.plugin->Registry().RefreshRemoteId();
  qbstate::Load(*a.plugin, qbstate::Encode(ChunkNaming(a, "Drums")));
  EXPECT_EQ(registry.SlotOf(*a.plugin).peerId, IdOf(c));
  EXPECT_EQ(registry.SlotOf(*b.plugin).peerId, 0u);
  EXPECT_EQ(CountersOf(registry.SlotOf(*b.plugin)), beforeB);
  EXPECT_EQ(CountersOf(registry.SlotOf(*c.plugin)), beforeC);
  EXPECT_TRUE(a.plugin->GetShadowPeer().Armed());
}

TEST(RepairByName, AnInstanceNeverTakesItsPeerBackFromANewerPairing) {
  qbtest::PluginDriver a, b, c;
  b.plugin->SetInstanceName("Drums");
  qbstate::Registry registry;
  qbstate::Load(*a.plugin, qbstate::Encode(ChunkNaming(a, "Drums")));
  ASSERT_EQ(registry.SlotOf(*a.plugin).peerId, IdOf(b));
  c.plugin->Registry().SetRemoteId(IdOf(b));  // A is released
  c.plugin->Registry().SetRemoteId(0);        // and B is free again
  WaitForABeat();
  EXPECT_EQ(registry.SlotOf(*a.plugin).peerId, 0u);
  EXPECT_EQ(registry.SlotOf(*b.plugin).peerId, 0u);
}

TEST(RepairByName, ASlotLeftBehindByAnEndedProcessIsLetGoForTheRealPeer) {
  qbtest::PluginDriver a;
  qbstate::Registry registry;
  constexpr int kGhostSlot = qb::kSlotCount - 1;
  constexpr uint64_t kGhostId = 0x0DEAD0000000BEEFull;
  registry.Edit(kGhostSlot, [](qb::QBSlot& s) {
    s = qb::QBSlot{};
    s.alive = 1;
    s.instanceId = kGhostId;
    qbstate::SetName(s.displayName, "Drums");
    s.heartbeat = static_cast<int64_t>(std::time(nullptr));
  });

  qbstate::Load(*a.plugin, qbstate::Encode(ChunkNaming(a, "Drums")));
  EXPECT_EQ(registry.SlotOf(*a.plugin).peerId, kGhostId);  // indistinguishable yet

  qbtest::PluginDriver b;
  b.plugin->SetInstanceName("Drums");
  const Counters before = CountersOf(registry.SlotOf(*b.plugin));
  registry.Edit(kGhostSlot, [](qb::QBSlot& s) { s.heartbeat -= 60; });  // it never beats again

  for (int i = 0; i < 80 && registry.SlotOf(*a.plugin).peerId != IdOf(b); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(registry.SlotOf(*a.plugin).peerId, IdOf(b));
  EXPECT_EQ(registry.SlotOf(*b.plugin).peerId, IdOf(a));
  const qb::QBSlot s = registry.SlotOf(*b.plugin);
  EXPECT_EQ(CountersOf(s), (Counters{before.bands + 1, before.hpLp + 1, before.controls + 1}));
  ExpectShadowIn(s);
  registry.Edit(kGhostSlot, [](qb::QBSlot& g) { g.alive = 0; });
}

}  // namespace
