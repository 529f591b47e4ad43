// Pairing rules and the settings exchange between partners.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "RegistryTestSupport.h"
#include "registry/QuellbridgeSHM.h"

namespace {

using namespace qb;

constexpr uint64_t kNobody = 0x00c0ffee00c0ffeeull;

// Five handles named A..E, all joined.
class Instances {
 public:
  Instances() {
    qbtest::RemoveSegment();
    for (auto& h : handles) {
      h = std::make_unique<QuellbridgeSHM>();
      h->Open();
    }
  }
  QuellbridgeSHM& operator[](char name) { return *handles[static_cast<size_t>(name - 'A')]; }
  // Id of a name; '0' is "unpair", 'X' an id no live instance carries.
  uint64_t Id(char name) {
    if (name == '0') return 0;
    if (name == 'X') return kNobody;
    return (*this)[name].InstanceId();
  }
  // Name of the instance a slot's peerId names, "0" or "?" for others.
  std::string PeerOf(char name) {
    qbtest::RawRegistry raw;
    const uint64_t peer = raw.Slot((*this)[name].SlotIndex()).peerId;
    if (peer == 0) return "0";
    if (peer == kNobody) return "X";
    for (char n = 'A'; n <= 'E'; ++n)
      if (Id(n) == peer) return std::string(1, n);
    return "?";
  }

 private:
  std::array<std::unique_ptr<QuellbridgeSHM>, 5> handles;
};

struct PairingCase {
  std::string name;
  std::vector<std::string> steps;                 // "AB": A pairs with B
  std::map<char, std::string> expectedPeers;  // slot peerId afterwards
};

class PairingRules : public ::testing::TestWithParam<PairingCase> {};

TEST_P(PairingRules, PeerIdsAfterwards) {
  Instances in;
  for (char n = 'A'; n <= 'E'; ++n) ASSERT_TRUE(in[n].IsOpen());
  for (const std::string& step : GetParam().steps) in[step[0]].SetRemoteId(in.Id(step[1]));
  for (const auto& [name, peer] : GetParam().expectedPeers) EXPECT_EQ(in.PeerOf(name), peer) << "peer of " << name;
  // The last pairing step's actor works with its target.
  const std::string& last = GetParam().steps.back();
  EXPECT_EQ(in[last[0]].RemoteId(), in.Id(last[1]));
}

INSTANTIATE_TEST_SUITE_P(
    Table, PairingRules,
    ::testing::Values(
        PairingCase{"Mutual", {"AB"}, {{'A', "B"}, {'B', "A"}, {'C', "0"}}},
        PairingCase{"PairingWithAThirdReleasesBothFormerPartners",
                    {"AB", "CD", "AC"},
                    {{'A', "C"}, {'C', "A"}, {'B', "0"}, {'D', "0"}}},
        PairingCase{"FormerPartnerThatMovedOnKeepsItsNewPeer",
                    {"AB", "BE", "AC"},
                    {{'A', "C"}, {'C', "A"}, {'B', "E"}, {'E', "B"}}},
        PairingCase{"UnpairClearsBothSides", {"AB", "A0"}, {{'A', "0"}, {'B', "0"}}},
        PairingCase{"DeadIdSetsOnlyTheOwnSide", {"AX"}, {{'A', "X"}, {'B', "0"}, {'C', "0"}}},
        PairingCase{"RepairingWithTheSamePeerChangesNothing", {"AB", "AB"}, {{'A', "B"}, {'B', "A"}}},
        PairingCase{"PeerPairsBack", {"AB", "BA"}, {{'A', "B"}, {'B', "A"}}},
        PairingCase{"StolenPartner", {"AB", "CB"}, {{'C', "B"}, {'B', "C"}, {'A', "0"}}}),
    [](const ::testing::TestParamInfo<PairingCase>& info) { return info.param.name; });

TEST(Pairing, PartnerLearnsOfThePairingOnItsNextRefresh) {
  Instances in;
  in['A'].SetRemoteId(in.Id('B'));
  EXPECT_EQ(in['B'].RemoteId(), 0u);
  ASSERT_TRUE(in['B'].RefreshRemoteId());
  EXPECT_EQ(in['B'].RemoteId(), in.Id('A'));
}

TEST(Pairing, ListLeavesOutTheOwnAndFreeSlots) {
  Instances in;
  in['C'].SetDisplayName("third");
  in['D'].Close();
  const QBInstanceList list = in['A'].ListInstances();
  ASSERT_EQ(list.size(), 3);
  EXPECT_EQ(list[0].instanceId, in.Id('B'));
  EXPECT_EQ(list[1].instanceId, in.Id('C'));
  EXPECT_STREQ(list[1].displayName, "third");
  EXPECT_EQ(list[2].instanceId, in.Id('E'));
}

TEST(Pairing, BandWritesAreLimitedToThreeAndLeaveLaterEntries) {
  Instances in;
  const QBBand five[5] = {{1, 2, -1, 2, 1, {}}, {2, 3, -2, 3, 5, {9, 9, 9}}, {3, 4, -3, 4, 0, {}},
                          {4, 5, -4, 5, 1, {}}, {5, 6, -5, 6, 1, {}}};
  const uint64_t seq = in['A'].WriteBands(SlotTarget::Own, 5, five);
  EXPECT_EQ(seq, 1u);
  qbtest::RawRegistry raw;
  const QBSlot& a = raw.Slot(in['A'].SlotIndex());
  EXPECT_EQ(a.bandCount, 3);
  EXPECT_EQ(a.bands[2].freqHi, 4.0f);
  EXPECT_EQ(a.bands[1].enabled, 1) << "flag stored as 0/1";
  EXPECT_EQ(a.bands[1].pad[0], 0) << "padding stays zero";
  EXPECT_EQ(in['A'].WriteBands(SlotTarget::Own, 1, &five[4]), 2u);
  EXPECT_EQ(a.bandCount, 1);
  EXPECT_EQ(a.bands[0].freqLo, 5.0f);
  EXPECT_EQ(a.bands[1].freqLo, 2.0f) << "entries beyond the count are left as they were";
  EXPECT_EQ(in['A'].WriteBands(SlotTarget::Own, -4, nullptr), 3u);
  EXPECT_EQ(a.bandCount, 0);
  EXPECT_EQ(in['A'].WriteBands(SlotTarget::Own, 2, nullptr), 0u) << "no entries to copy";
  const QBBand bad{1, NAN, -1, 2, 1, {}};
  EXPECT_EQ(in['A'].WriteBands(SlotTarget::Own, 1, &bad), 0u) << "non-finite values are not stored";
  EXPECT_EQ(a.bandSeq, 3u);
}

TEST(Pairing, PeerGroupWritesReachThePeersOwnReads) {
  Instances in;
  QuellbridgeSHM& a = in['A'];
  QuellbridgeSHM& b = in['B'];
  const QBBand band{100, 900, -30, 8, 1, {}};
  EXPECT_EQ(a.WriteBands(SlotTarget::Peer, 1, &band), 0u) << "no peer yet";
  EXPECT_EQ(a.WriteHpLp(SlotTarget::Peer, 40, 9000), 0u);
  a.SetRemoteId(b.InstanceId());
  ASSERT_EQ(a.WriteBands(SlotTarget::Peer, 1, &band), 1u);
  ASSERT_EQ(a.WriteHpLp(SlotTarget::Peer, 40, 9000), 1u);
  a.WriteRemoteControls(20, 200, 6);

  QBBandGroup bands;
  ASSERT_EQ(b.ReadBands(SlotTarget::Own, LockMode::SingleTry, bands), GroupRead::Read);
  EXPECT_EQ(bands.count, 1);
  EXPECT_EQ(bands.seq, 1u);
  EXPECT_EQ(bands.bands[0].thresholdDb, -30.0f);
  QBHpLpGroup hpLp;
  ASSERT_EQ(b.ReadHpLp(SlotTarget::Own, LockMode::SingleTry, hpLp), GroupRead::Read);
  EXPECT_EQ(hpLp.hpHz, 40.0f);
  EXPECT_EQ(hpLp.lpHz, 9000.0f);
  QBControlsGroup controls;
  ASSERT_EQ(b.ReadControls(SlotTarget::Own, LockMode::SingleTry, controls), GroupRead::Read);
  EXPECT_EQ(controls.seq, 1u);
  EXPECT_EQ(controls.makeupDb, 6.0f);
  // The owner's own write continues the same counter.
  EXPECT_EQ(b.WriteControls(10, 100, 0), 2u);
  float at, rel, mk;
  a.ReadRemoteControls(at, rel, mk);
  EXPECT_EQ(at, 10.0f);
  EXPECT_EQ(rel, 100.0f);
  EXPECT_EQ(mk, 0.0f);
  // And the editor side mirrors the peer.
  ASSERT_EQ(a.ReadBands(SlotTarget::Peer, LockMode::WithRetry, bands), GroupRead::Read);
  EXPECT_EQ(bands.bands[0].freqHi, 900.0f);
}

TEST(Pairing, RemoteControlsWithoutAPeerAreTheDefaults) {
  Instances in;
  float at = -1, rel = -1, mk = -1;
  in['A'].ReadRemoteControls(at, rel, mk);
  EXPECT_EQ(at, 10.0f);
  EXPECT_EQ(rel, 100.0f);
  EXPECT_EQ(mk, 0.0f);
  in['A'].SetRemoteId(kNobody);
  at = rel = mk = -1;
  in['A'].ReadRemoteControls(at, rel, mk);
  EXPECT_EQ(at, 10.0f);
  EXPECT_EQ(rel, 100.0f);
  EXPECT_EQ(mk, 0.0f);
}

TEST(Pairing, DepartedPeerIsNoLongerFound) {
  Instances in;
  QuellbridgeSHM& a = in['A'];
  a.SetRemoteId(in.Id('B'));
  ASSERT_NE(in['B'].WriteControls(77, 777, 7), 0u);
  const uint64_t bId = in.Id('B');
  in['B'].Close();
  EXPECT_EQ(a.RemoteId(), bId) << "still names the departed peer";
  float key[kSpectrumBins];
  EXPECT_FALSE(a.CopyPeerSpectrum(key));
  float at, rel, mk;
  a.ReadRemoteControls(at, rel, mk);
  EXPECT_EQ(at, 10.0f);
  const QBBand band{1, 2, 3, 4, 1, {}};
  EXPECT_EQ(a.WriteBands(SlotTarget::Peer, 1, &band), 0u);
  a.WriteRemoteControls(1, 2, 3);
  qbtest::RawRegistry raw;
  EXPECT_EQ(raw.Slot(1).attackMs, 77.0f) << "the freed slot is not written";
}

TEST(Pairing, BypassFlagsOfAnyInstance) {
  Instances in;
  QuellbridgeSHM& a = in['A'];
  QuellbridgeSHM& b = in['B'];
  EXPECT_EQ(a.ReadBypassOf(b.InstanceId()), false);
  a.SetBypassOf(b.InstanceId(), true);
  EXPECT_EQ(a.ReadBypassOf(b.InstanceId()), true);
  EXPECT_TRUE(b.ReadOwnBypass());
  EXPECT_TRUE(b.CachedBypass());
  EXPECT_EQ(b.ToggleOwnBypass(), false);
  EXPECT_EQ(a.ReadBypassOf(b.InstanceId()), false);
  EXPECT_EQ(b.ToggleOwnBypass(), true);
  EXPECT_TRUE(b.CachedBypass());
  EXPECT_EQ(a.ReadBypassOf(0), false);
  EXPECT_EQ(a.ReadBypassOf(kNobody), false);
  a.SetBypassOf(0, true);
  a.SetBypassOf(kNobody, true);
  EXPECT_EQ(a.ReadBypassOf(a.InstanceId()), false);
}

TEST(Pairing, ControlsCountersIncreaseByOne) {
  Instances in;
  EXPECT_EQ(in['A'].WriteControls(1, 10, 0), 1u);
  EXPECT_EQ(in['A'].WriteControls(2, 20, 0), 2u);
  EXPECT_EQ(in['A'].WriteControls(NAN, 20, 0), 0u);
  EXPECT_EQ(in['A'].WriteControls(3, INFINITY, 0), 0u);
  EXPECT_EQ(in['A'].WriteControls(3, 30, 0), 3u);
}

}  // namespace
