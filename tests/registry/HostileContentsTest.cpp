// Registry contents are untrusted: whatever bytes another process leaves in
// a slot, the readers give bounded, finite results.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <string>

#include "RegistryTestSupport.h"
#include "registry/QuellbridgeSHM.h"

namespace {

using namespace qb;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

// A is the reader; B's slot (the peer) and A's own slot get corrupted.
class HostileContentsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    qbtest::RemoveSegment();
    ASSERT_TRUE(a.Open());
    ASSERT_TRUE(b.Open());
    a.SetRemoteId(b.InstanceId());
    ASSERT_TRUE(raw.Remap());
  }
  QBSlot& Peer() { return raw.Slot(b.SlotIndex()); }
  QBSlot& Own() { return raw.Slot(a.SlotIndex()); }

  QuellbridgeSHM a, b;
  qbtest::RawRegistry raw;
};

struct CountCase {
  int32_t stored;
  int32_t read;
};

TEST_F(HostileContentsTest, BandCountsAreClamped) {
  for (const CountCase c : {CountCase{INT_MIN, 0}, CountCase{-5, 0}, CountCase{0, 0}, CountCase{2, 2},
                            CountCase{3, 3}, CountCase{7, 3}, CountCase{1000000000, 3}, CountCase{INT_MAX, 3}}) {
    for (QBSlot* s : {&Peer(), &Own()}) {
      s->bandCount = c.stored;
      for (QBBand& band : s->bands) band = {10, 20, -5, 2, 9, {7, 7, 7}};
      s->bandSeq = 42;
    }
    QBBandGroup g;
    ASSERT_EQ(a.ReadBands(SlotTarget::Peer, LockMode::WithRetry, g), GroupRead::Read);
    EXPECT_EQ(g.count, c.read) << "stored " << c.stored;
    EXPECT_EQ(g.seq, 42u);
    for (int i = 0; i < g.count; ++i) EXPECT_EQ(g.bands[i].enabled, 1);
    for (int i = g.count; i < kMaxBands; ++i) EXPECT_EQ(g.bands[i].freqHi, 0.0f) << "entries beyond the count zero";
    ASSERT_EQ(a.ReadBands(SlotTarget::Own, LockMode::SingleTry, g), GroupRead::Read);
    EXPECT_EQ(g.count, c.read);
  }
}

struct FloatCase {
  std::string name;
  std::function<void(QBSlot&)> corrupt;
  GroupRead bands, hpLp, controls;
};

TEST_F(HostileContentsTest, NonFiniteGroupsAreFlaggedAndNeverHandedOut) {
  const std::vector<FloatCase> cases = {
      {"NaN threshold", [](QBSlot& s) { s.bands[0].thresholdDb = kNaN; }, GroupRead::Malformed, GroupRead::Read,
       GroupRead::Read},
      {"infinite edge", [](QBSlot& s) { s.bands[1].freqHi = -kInf; }, GroupRead::Malformed, GroupRead::Read,
       GroupRead::Read},
      {"NaN beyond the count", [](QBSlot& s) { s.bands[2].ratio = kNaN; }, GroupRead::Read, GroupRead::Read,
       GroupRead::Read},
      {"NaN high-pass", [](QBSlot& s) { s.hpHz = kNaN; }, GroupRead::Read, GroupRead::Malformed, GroupRead::Read},
      {"infinite low-pass", [](QBSlot& s) { s.lpHz = kInf; }, GroupRead::Read, GroupRead::Malformed,
       GroupRead::Read},
      {"NaN attack", [](QBSlot& s) { s.attackMs = kNaN; }, GroupRead::Read, GroupRead::Read, GroupRead::Malformed},
      {"infinite make-up", [](QBSlot& s) { s.makeupDb = kInf; }, GroupRead::Read, GroupRead::Read,
       GroupRead::Malformed},
  };
  const QBBand two[2] = {{20, 300, -10, 2, 1, {}}, {300, 20000, -15, 3, 1, {}}};
  for (const FloatCase& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_NE(b.WriteBands(SlotTarget::Own, 2, two), 0u);
    ASSERT_NE(b.WriteHpLp(SlotTarget::Own, 50, 12000), 0u);
    const uint64_t controlsSeq = b.WriteControls(20, 200, 2);
    ASSERT_NE(controlsSeq, 0u);
    c.corrupt(Peer());

    QBBandGroup bands;
    EXPECT_EQ(a.ReadBands(SlotTarget::Peer, LockMode::WithRetry, bands), c.bands);
    EXPECT_EQ(b.ReadBands(SlotTarget::Own, LockMode::SingleTry, bands), c.bands);
    for (const QBBand& band : bands.bands) EXPECT_TRUE(IsFiniteBand(band));
    if (c.bands == GroupRead::Malformed) {
      EXPECT_EQ(bands.count, 2) << "the finite fields of a malformed group still count";
      EXPECT_NE(bands.nonFinite, 0u);
      EXPECT_EQ(bands.bands[1].thresholdDb, c.name == "infinite edge" ? -15.0f : -15.0f);
    }
    QBHpLpGroup hpLp;
    EXPECT_EQ(b.ReadHpLp(SlotTarget::Own, LockMode::SingleTry, hpLp), c.hpLp);
    EXPECT_TRUE(std::isfinite(hpLp.hpHz) && std::isfinite(hpLp.lpHz));
    QBControlsGroup controls;
    EXPECT_EQ(b.ReadControls(SlotTarget::Own, LockMode::SingleTry, controls), c.controls);
    EXPECT_TRUE(std::isfinite(controls.attackMs) && std::isfinite(controls.releaseMs) &&
                std::isfinite(controls.makeupDb));
    EXPECT_EQ(controls.seq, controlsSeq) << "the counter is reported even for a malformed group";
    float at, rel, mk;
    a.ReadRemoteControls(at, rel, mk);
    EXPECT_TRUE(std::isfinite(at) && std::isfinite(rel) && std::isfinite(mk));
  }
}

TEST_F(HostileContentsTest, SpectraAndLevelsReadFinite) {
  const float hostile[] = {kNaN, kInf, -kInf, -1.0f, -0.0f, 1e-45f, 3.4e38f, 0.5f};
  for (int i = 0; i < kSpectrumBins; ++i) Peer().spectrum[i] = hostile[i % 8];
  float key[kSpectrumBins];
  ASSERT_TRUE(a.CopyPeerSpectrum(key));
  for (int i = 0; i < kSpectrumBins; ++i) {
    EXPECT_TRUE(std::isfinite(key[i]) && key[i] >= 0.0f) << i;
  }
  EXPECT_EQ(key[7], 0.5f) << "ordinary values pass unchanged";
  EXPECT_EQ(key[6], 3.4e38f);

  Peer().gainReduction[0] = kNaN;
  Peer().gainReduction[1] = -kInf;
  Peer().gainReduction[2] = -6.0f;
  float gr[3] = {1, 1, 1};
  ASSERT_TRUE(a.ReadGainReduction(SlotTarget::Peer, LockMode::SingleTry, gr));
  EXPECT_EQ(gr[0], 0.0f);
  EXPECT_EQ(gr[1], 0.0f);
  EXPECT_EQ(gr[2], -6.0f);
}

TEST_F(HostileContentsTest, NamesAreBoundedWhateverTheBytes) {
  std::memset(Peer().displayName, 'x', sizeof Peer().displayName);
  const QBInstanceList list = a.ListInstances();
  ASSERT_EQ(list.size(), 1);
  EXPECT_EQ(std::strlen(list[0].displayName), 63u);
  EXPECT_EQ(list[0].displayName[63], '\0');
  // Bytes after the terminator are not passed on.
  std::memset(Peer().displayName, 'y', sizeof Peer().displayName);
  Peer().displayName[3] = '\0';
  const QBInstanceList again = a.ListInstances();
  EXPECT_STREQ(again[0].displayName, "yyy");
  for (int i = 3; i < kNameSize; ++i) EXPECT_EQ(again[0].displayName[i], '\0');
}

TEST_F(HostileContentsTest, JunkAliveBytesCountAsFree) {
  Peer().alive = 0xA5;
  EXPECT_TRUE(a.ListInstances().empty());
  EXPECT_EQ(a.FindSlot(b.InstanceId()), -1);
  float key[kSpectrumBins];
  EXPECT_FALSE(a.CopyPeerSpectrum(key));
  QuellbridgeSHM c;
  ASSERT_TRUE(c.Open());
  EXPECT_EQ(c.SlotIndex(), b.SlotIndex()) << "the slot can be claimed again";
}

TEST_F(HostileContentsTest, ExtremeHeartbeatsAreSweptWithoutOverflow) {
  for (int64_t beat : {INT64_MIN, INT64_MIN + 1, int64_t{-1}, INT64_MAX}) {
    Peer().alive = 1;
    Peer().instanceId = b.InstanceId();
    Peer().heartbeat = beat;
    a.ReapStaleSlots();
    EXPECT_EQ(Peer().alive, 0) << beat;
  }
  EXPECT_EQ(raw->slotHighWater, 1);
}

TEST_F(HostileContentsTest, HostileHeaderFieldsAreNotTrusted) {
  raw->slotHighWater = -77;
  QuellbridgeSHM c;
  ASSERT_TRUE(c.Open());
  EXPECT_EQ(c.SlotIndex(), 2);
  EXPECT_EQ(raw->slotHighWater, 3);
  raw->slotHighWater = INT_MAX;
  QuellbridgeSHM d;
  ASSERT_TRUE(d.Open());
  EXPECT_EQ(d.SlotIndex(), 3);
  a.ReapStaleSlots();
  EXPECT_EQ(raw->slotHighWater, 4);
}

TEST_F(HostileContentsTest, JunkPeerIdsMatchNobody) {
  Own().peerId = 0xFFFFFFFFFFFFFFFFull;
  ASSERT_TRUE(a.RefreshRemoteId());
  EXPECT_EQ(a.RemoteId(), 0xFFFFFFFFFFFFFFFFull);
  float key[kSpectrumBins];
  EXPECT_FALSE(a.CopyPeerSpectrum(key));
  float at, rel, mk;
  a.ReadRemoteControls(at, rel, mk);
  EXPECT_EQ(at, 10.0f);
  Peer().bypass = 0x80;
  EXPECT_EQ(a.ReadBypassOf(b.InstanceId()), true) << "any non-zero byte reads as set";
}

TEST_F(HostileContentsTest, GarbageMutexBytesDisableTheRegistryQuietly) {
  std::memset(static_cast<void*>(&raw->mutex), 0xFF, sizeof raw->mutex);
  EXPECT_EQ(a.Beat(), BeatResult::Busy);
  EXPECT_TRUE(a.ListInstances().empty());
  EXPECT_EQ(a.WriteControls(1, 2, 3), 0u);
  float key[kSpectrumBins];
  EXPECT_FALSE(a.CopyPeerSpectrum(key));
}

}  // namespace
