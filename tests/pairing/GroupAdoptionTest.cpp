// Settings groups that land in an instance's own slot (written by the peer's
// handle, or raw and hostile) reach its parameters through its audio path:
// once, sanitised and clamped, never overriding a later host change, and
// never echoing the instance's own writes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>
#include <vector>

#include "PairingTestSupport.h"
#include "QuellbridgeFixture.h"

namespace {

using namespace qb;

constexpr int kBlock = 256;
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

void Blocks(qbtest::PluginDriver& d, int count = 1) {
  d.Run(std::vector<std::vector<double>>(2, std::vector<double>(static_cast<size_t>(kBlock * count), 0.0)), kBlock);
}

class GroupAdoption : public ::testing::Test {
 protected:
  Quellbridge& A() { return *a.plugin; }
  Quellbridge& B() { return *b.plugin; }

  // Runs edit on A's own slot under the registry lock.
  template <class Fn>
  void EditOwnSlot(Fn&& edit) {
    ASSERT_TRUE(view.Locked([&](QBRegistry& r) { edit(r.slots[A().Registry().SlotIndex()]); }));
  }

  void ExpectParam(int idx, double target, double value) {
    EXPECT_DOUBLE_EQ(A().ParamTarget(idx), target) << kParamSpecs[idx].name << " target";
    EXPECT_DOUBLE_EQ(A().GetParam(idx)->Value(), value) << kParamSpecs[idx].name << " value";
  }

  qbtest::PluginDriver a{48000, kBlock};
  qbtest::PluginDriver b{48000, kBlock};
  qbtest::RegistryView view;  // after the instances, so it maps their segment
};

TEST_F(GroupAdoption, PeerWritesAreAppliedOnceAndTheHostKeepsTheLastWord) {
  ASSERT_TRUE(view.Mapped());
  B().Registry().SetRemoteId(A().Registry().InstanceId());
  const QBBand bands[3] = {{20, 250, -30, 2, 1, {}}, {250, 3000, -25, 3, 1, {}}, {3000, 20000, -12, 6, 1, {}}};
  ASSERT_NE(B().Registry().WriteBands(SlotTarget::Peer, 3, bands), 0u);
  ASSERT_NE(B().Registry().WriteHpLp(SlotTarget::Peer, 80, 12000), 0u);
  B().Registry().WriteRemoteControls(25, 300, 3.5f);

  Blocks(a);
  const std::pair<int, double> adopted[] = {{kFreqLow, 250},  {kFreqHigh, 3000}, {kThreshLow, -30}, {kThreshMid, -25},
                                            {kThreshHigh, -12}, {kRatioLow, 2},    {kRatioMid, 3},    {kRatioHigh, 6},
                                            {kHP, 80},         {kLP, 12000},      {kAttack, 25},     {kRelease, 300},
                                            {kMakeup, 3.5}};
  for (const auto& [idx, v] : adopted) ExpectParam(idx, v, v);
  EXPECT_EQ(A().PersistedBandCount(), 3);

  // Later host changes stand: the groups are not applied a second time.
  a.SetParam(kThreshLow, -45);
  a.SetParam(kHP, 200);
  a.SetParam(kRelease, 700);
  Blocks(a, 3);
  ExpectParam(kThreshLow, -45, -45);
  ExpectParam(kHP, 200, 200);
  ExpectParam(kRelease, 700, 700);
  ExpectParam(kThreshMid, -25, -25);
}

TEST_F(GroupAdoption, OwnWritesAreNotAppliedBack) {
  // The start-up band group (one band over 20 .. 20000 Hz) is the instance's
  // own write; applied back it would move the crossovers off their defaults.
  Blocks(a, 3);
  ExpectParam(kFreqLow, 200, 200);
  ExpectParam(kFreqHigh, 5000, 5000);

  // Host changes of attack, release and make-up reach the slot as floats; if
  // they came back, the parameters would carry the float-rounded values.
  a.SetParam(kAttack, 10.1);
  a.SetParam(kRelease, 123.4);
  a.SetParam(kMakeup, 1.1);
  EditOwnSlot([](QBSlot& s) {
    EXPECT_EQ(s.attackMs, 10.1f);
    EXPECT_EQ(s.releaseMs, 123.4f);
    EXPECT_EQ(s.makeupDb, 1.1f);
  });
  Blocks(a, 3);
  EXPECT_EQ(A().GetParam(kAttack)->Value(), 10.1);
  EXPECT_EQ(A().GetParam(kRelease)->Value(), 123.4);
  EXPECT_EQ(A().GetParam(kMakeup)->Value(), 1.1);
}

// ---- Raw and hostile groups --------------------------------------------------

struct Expected {
  int param;
  double target;
  double value;  // the parameter object: target clamped to its range
};

struct HostileCase {
  const char* name;
  void (*edit)(QBSlot&);
  std::vector<Expected> changed;  // every other parameter keeps its value
  int bandCount;                  // persisted band count afterwards
};

void PrintTo(const HostileCase& c, std::ostream* os) { *os << c.name; }

void SetBands(QBSlot& s, int count, std::initializer_list<QBBand> bands) {
  s.bandCount = count;
  int i = 0;
  for (const QBBand& b : bands) s.bands[i++] = b;
  ++s.bandSeq;
}

constexpr QBBand kLow{20, 400, -24, 3, 1, {}};
constexpr QBBand kMid{400, 3000, -18, 5, 1, {}};
constexpr QBBand kHigh{3000, 20000, -9, 7, 1, {}};

QBBand With(QBBand b, float QBBand::*field, float v) {
  b.*field = v;
  return b;
}
QBBand Disabled(QBBand b, float ratio) {
  b.enabled = 0;
  b.ratio = ratio;
  return b;
}

void SetHpLp(QBSlot& s, float hp, float lp) {
  s.hpHz = hp;
  s.lpHz = lp;
  ++s.hpLpSeq;
}

void SetControls(QBSlot& s, float attack, float release, float makeup) {
  s.attackMs = attack;
  s.releaseMs = release;
  s.makeupDb = makeup;
  ++s.controlsSeq;
}

// The parameters of the bands kLow, kMid, kHigh, with some entries replaced.
std::vector<Expected> ThreeBands(std::initializer_list<Expected> replaced = {}) {
  std::vector<Expected> e = {{kFreqLow, 400, 400},  {kFreqHigh, 3000, 3000}, {kThreshLow, -24, -24},
                             {kThreshMid, -18, -18}, {kThreshHigh, -9, -9},   {kRatioLow, 3, 3},
                             {kRatioMid, 5, 5},      {kRatioHigh, 7, 7}};
  for (const Expected& r : replaced)
    for (Expected& x : e)
      if (x.param == r.param) x = r;
  return e;
}
// The same without one parameter, which keeps its value.
std::vector<Expected> ThreeBandsExcept(int param) {
  std::vector<Expected> e = ThreeBands();
  std::erase_if(e, [param](const Expected& x) { return x.param == param; });
  return e;
}

const HostileCase kHostileCases[] = {
    {"BandCountZeroChangesNothing", [](QBSlot& s) { SetBands(s, 0, {kLow, kMid, kHigh}); }, {}, 1},
    {"NegativeBandCountChangesNothing", [](QBSlot& s) { SetBands(s, -4, {kLow, kMid, kHigh}); }, {}, 1},
    {"OneBandFeedsAllThree",
     [](QBSlot& s) { SetBands(s, 1, {kLow}); },
     {{kFreqLow, 20, 20},
      {kFreqHigh, 20000, 20000},
      {kThreshLow, -24, -24},
      {kThreshMid, -24, -24},
      {kThreshHigh, -24, -24},
      {kRatioLow, 3, 3},
      {kRatioMid, 3, 3},
      {kRatioHigh, 3, 3}},
     1},
    {"TwoBandsFeedLowAndMidHigh",
     [](QBSlot& s) { SetBands(s, 2, {kLow, kMid}); },
     {{kFreqLow, 400, 400},
      {kFreqHigh, 20000, 20000},
      {kThreshLow, -24, -24},
      {kThreshMid, -18, -18},
      {kThreshHigh, -18, -18},
      {kRatioLow, 3, 3},
      {kRatioMid, 5, 5},
      {kRatioHigh, 5, 5}},
     2},
    {"BandCountSevenReadsAsThree", [](QBSlot& s) { SetBands(s, 7, {kLow, kMid, kHigh}); }, ThreeBands(), 3},
    {"DisabledBandDucksWithRatioOne",
     [](QBSlot& s) { SetBands(s, 3, {kLow, Disabled(kMid, 8), kHigh}); },
     ThreeBands({{kRatioMid, 1, 1}}),
     3},
    {"DisabledBandWithNonFiniteRatioDucksWithRatioOne",
     [](QBSlot& s) { SetBands(s, 3, {kLow, kMid, Disabled(kHigh, kNaN)}); },
     ThreeBands({{kRatioHigh, 1, 1}}),
     3},
    {"CrossoversBelowTheirRangesAreRaised",
     [](QBSlot& s) { SetBands(s, 3, {With(kLow, &QBBand::freqHi, 5), With(kMid, &QBBand::freqHi, 100), kHigh}); },
     ThreeBands({{kFreqLow, 20, 20}, {kFreqHigh, 500, 500}}),
     3},
    {"CrossoversAboveTheirRangesAreLowered",
     [](QBSlot& s) { SetBands(s, 3, {With(kLow, &QBBand::freqHi, 3000), With(kMid, &QBBand::freqHi, 50000), kHigh}); },
     ThreeBands({{kFreqLow, 2000, 2000}, {kFreqHigh, 20000, 20000}}),
     3},
    {"ThresholdsAndRatiosReachTheTargetsUnclamped",
     [](QBSlot& s) { SetBands(s, 3, {With(kLow, &QBBand::thresholdDb, -100), With(kMid, &QBBand::ratio, 50), kHigh}); },
     ThreeBands({{kThreshLow, -100, -60}, {kRatioMid, 50, 20}}),
     3},
    {"NonFiniteThresholdIsIgnored",
     [](QBSlot& s) { SetBands(s, 3, {kLow, With(kMid, &QBBand::thresholdDb, kNaN), kHigh}); },
     ThreeBandsExcept(kThreshMid),
     3},
    {"NonFiniteCrossoverIsIgnored",
     [](QBSlot& s) { SetBands(s, 3, {With(kLow, &QBBand::freqHi, kInf), kMid, kHigh}); },
     ThreeBandsExcept(kFreqLow),
     3},
    {"NonFiniteRatioIsIgnored",
     [](QBSlot& s) { SetBands(s, 3, {kLow, kMid, With(kHigh, &QBBand::ratio, -kInf)}); },
     ThreeBandsExcept(kRatioHigh),
     3},
    {"HpAndLpAreRaisedAndLoweredIntoTheirRanges",
     [](QBSlot& s) { SetHpLp(s, 5, 50000); },
     {{kHP, 20, 20}, {kLP, 20000, 20000}},
     1},
    {"HpAndLpSwappedMeetAtOneKilohertz",
     [](QBSlot& s) { SetHpLp(s, 5000, 10); },
     {{kHP, 1000, 1000}, {kLP, 1000, 1000}},
     1},
    {"NonFiniteHpIsIgnored", [](QBSlot& s) { SetHpLp(s, kNaN, 9000); }, {{kLP, 9000, 9000}}, 1},
    {"ControlsAreClampedIntoTheirRanges",
     [](QBSlot& s) { SetControls(s, 0.01f, 1, 100); },
     {{kAttack, 0.1, 0.1}, {kRelease, 5, 5}, {kMakeup, 24, 24}},
     1},
    {"NonFiniteMakeupIsIgnored",
     [](QBSlot& s) { SetControls(s, 40, 400, -kInf); },
     {{kAttack, 40, 40}, {kRelease, 400, 400}},
     1},
};

// Distinctive host values, so that any parameter a group should leave alone
// visibly keeps its value.
const std::pair<int, double> kBaseline[] = {
    {kFreqLow, 300},  {kFreqHigh, 6000}, {kThreshLow, -31}, {kThreshMid, -32}, {kThreshHigh, -33},
    {kRatioLow, 2.5}, {kRatioMid, 3.5},  {kRatioHigh, 5.5}, {kAttack, 12},     {kRelease, 150},
    {kMakeup, 1.5},   {kHP, 40},         {kLP, 15000}};

class HostileGroups : public GroupAdoption, public ::testing::WithParamInterface<HostileCase> {};

TEST_P(HostileGroups, AreSanitisedAndClampedOnAdoption) {
  const HostileCase& c = GetParam();
  for (const auto& [idx, v] : kBaseline) a.SetParam(idx, v);
  Blocks(a);
  EditOwnSlot(c.edit);
  Blocks(a, 2);
  for (const auto& [param, v] : kBaseline) {
    const int idx = param;
    const auto changed = std::find_if(c.changed.begin(), c.changed.end(), [idx](const Expected& e) { return e.param == idx; });
    if (changed == c.changed.end())
      ExpectParam(idx, v, v);
    else
      ExpectParam(idx, changed->target, changed->value);
  }
  EXPECT_EQ(A().PersistedBandCount(), c.bandCount);
}

INSTANTIATE_TEST_SUITE_P(Cases, HostileGroups, ::testing::ValuesIn(kHostileCases),
                         [](const ::testing::TestParamInfo<HostileCase>& info) { return std::string(info.param.name); });

}  // namespace
