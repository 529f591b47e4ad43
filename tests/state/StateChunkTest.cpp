// The state chunk of one instance: the default chunk byte for byte, reading
// truncated, mutated and hostile chunks, the push of a restore into the own
// slot, and what saving takes over from the own slot.
#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cmath>
#include <functional>
#include <limits>
#include <thread>

#include "StateTestSupport.h"
#include "core/Parameters.h"

namespace {

using qb::QBStateChunk;
using qbstate::Bytes;
using qbstate::Decode;
using qbstate::Encode;
using qbstate::Load;
using qbstate::Save;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

// ---- Fields of the chunk, in order --------------------------------------------

struct Field {
  std::string name;
  size_t offset;
  size_t size;
};

std::vector<Field> ChunkFields() {
  std::vector<Field> f = {
      {"instanceName", offsetof(QBStateChunk, instanceName), 64},
      {"bandCount", offsetof(QBStateChunk, bandCount), 4},
      {"bandFreqs", offsetof(QBStateChunk, bandFreqs), 24},
      {"bandEnabled", offsetof(QBStateChunk, bandEnabled), 3},
      {"peerName", offsetof(QBStateChunk, peerName), 64},
      {"shadowBandCount", offsetof(QBStateChunk, shadowBandCount), 4},
      {"shadowFreqs", offsetof(QBStateChunk, shadowFreqs), 24},
      {"shadowThresholds", offsetof(QBStateChunk, shadowThresholds), 12},
      {"shadowRatios", offsetof(QBStateChunk, shadowRatios), 12},
      {"shadowEnabled", offsetof(QBStateChunk, shadowEnabled), 3},
      {"shadowHp", offsetof(QBStateChunk, shadowHp), 4},
      {"shadowLp", offsetof(QBStateChunk, shadowLp), 4},
      {"shadowAttack", offsetof(QBStateChunk, shadowAttack), 4},
      {"shadowRelease", offsetof(QBStateChunk, shadowRelease), 4},
      {"shadowMakeup", offsetof(QBStateChunk, shadowMakeup), 4},
  };
  for (int i = 0; i < qb::kNumParams; ++i)
    f.push_back({"param" + std::to_string(i), offsetof(QBStateChunk, params) + 8 * static_cast<size_t>(i), 8});
  f.push_back({"editorWidth", offsetof(QBStateChunk, editorWidth), 4});
  f.push_back({"editorHeight", offsetof(QBStateChunk, editorHeight), 4});
  return f;
}

// Field-by-field comparison, naming every field that differs.
void ExpectSameChunk(const QBStateChunk& actual, const QBStateChunk& expected) {
  const auto* a = reinterpret_cast<const uint8_t*>(&actual);
  const auto* e = reinterpret_cast<const uint8_t*>(&expected);
  for (const Field& f : ChunkFields())
    EXPECT_EQ(std::memcmp(a + f.offset, e + f.offset, f.size), 0) << "field " << f.name;
}

// ---- Two distinct states: what a chunk stores, and what an instance holds --

QBStateChunk StoredChunk() {
  QBStateChunk c{};
  qbstate::SetName(c.instanceName, "Stored");
  c.bandCount = 2;
  const float freqs[6] = {20, 300, 300, 20000, 0, 0};
  std::memcpy(c.bandFreqs, freqs, sizeof freqs);
  c.bandEnabled[0] = 1, c.bandEnabled[1] = 0, c.bandEnabled[2] = 1;
  qbstate::SetName(c.peerName, "Partner");
  c.shadowBandCount = 2;
  const float shadowFreqs[6] = {20, 400, 400, 20000, 0, 0};
  std::memcpy(c.shadowFreqs, shadowFreqs, sizeof shadowFreqs);
  const float thresholds[3] = {-30, -31, -32}, ratios[3] = {5, 6, 7};
  std::memcpy(c.shadowThresholds, thresholds, sizeof thresholds);
  std::memcpy(c.shadowRatios, ratios, sizeof ratios);
  c.shadowEnabled[0] = 1, c.shadowEnabled[1] = 1, c.shadowEnabled[2] = 0;
  c.shadowHp = 40, c.shadowLp = 15000, c.shadowAttack = 20, c.shadowRelease = 200, c.shadowMakeup = 2;
  const double params[14] = {300, 6000, -10, -11, -12, 2, 3, 5, 30, 300, 3, 2, 50, 16000};
  std::memcpy(c.params, params, sizeof params);
  c.editorWidth = 1000, c.editorHeight = 700;
  return c;
}

QBStateChunk CurrentChunk() {
  QBStateChunk c{};
  qbstate::SetName(c.instanceName, "Current");
  c.bandCount = 3;
  const float freqs[6] = {20, 250, 250, 4000, 4000, 20000};
  std::memcpy(c.bandFreqs, freqs, sizeof freqs);
  c.bandEnabled[0] = 0, c.bandEnabled[1] = 1, c.bandEnabled[2] = 1;
  qbstate::SetName(c.peerName, "OldPeer");
  c.shadowBandCount = 3;
  const float shadowFreqs[6] = {20, 100, 100, 1000, 1000, 20000};
  std::memcpy(c.shadowFreqs, shadowFreqs, sizeof shadowFreqs);
  const float thresholds[3] = {-40, -41, -42}, ratios[3] = {8, 9, 10};
  std::memcpy(c.shadowThresholds, thresholds, sizeof thresholds);
  std::memcpy(c.shadowRatios, ratios, sizeof ratios);
  c.shadowEnabled[0] = 0, c.shadowEnabled[1] = 1, c.shadowEnabled[2] = 1;
  c.shadowHp = 60, c.shadowLp = 12000, c.shadowAttack = 40, c.shadowRelease = 400, c.shadowMakeup = -3;
  const double params[14] = {250, 4000, -30, -33, -36, 6, 7, 8, 50, 500, -2, 1, 80, 14000};
  std::memcpy(c.params, params, sizeof params);
  c.editorWidth = 800, c.editorHeight = 500;
  return c;
}

// An instance holding CurrentChunk().
std::unique_ptr<qbtest::PluginDriver> CurrentInstance() {
  auto d = std::make_unique<qbtest::PluginDriver>();
  EXPECT_EQ(Load(*d->plugin, Encode(CurrentChunk())), 354);
  return d;
}

bool OutputFinite(qbtest::PluginDriver& d) {
  std::vector<std::vector<double>> in(2, std::vector<double>(4096));
  for (size_t i = 0; i < in[0].size(); ++i) in[0][i] = in[1][i] = 0.5 * std::sin(0.05 * static_cast<double>(i));
  for (const auto& ch : d.Run(in, 512))
    for (double v : ch)
      if (!std::isfinite(v)) return false;
  return true;
}

// ---- The default chunk ----------------------------------------------------------

TEST(StateChunk, DefaultInstanceSavesTheDefaultChunkByteForByte) {
  qbtest::PluginDriver d;
  const Bytes saved = Save(*d.plugin);
  ASSERT_EQ(saved.size(), 354u);
  const QBStateChunk c = Decode(saved);

  const std::string name = qbstate::Text(c.instanceName);
  ASSERT_EQ(name.rfind("Quellbridge #", 0), 0u) << name;
  EXPECT_GT(std::stoi(name.substr(13)), 0);
  for (size_t i = name.size(); i < 64; ++i) EXPECT_EQ(c.instanceName[i], 0) << "name byte " << i;

  QBStateChunk expected{};
  std::memcpy(expected.instanceName, c.instanceName, 64);
  expected.bandCount = 1;
  expected.bandFreqs[0] = 20, expected.bandFreqs[1] = 20000;
  expected.bandEnabled[0] = expected.bandEnabled[1] = expected.bandEnabled[2] = 1;
  expected.shadowEnabled[0] = expected.shadowEnabled[1] = expected.shadowEnabled[2] = 1;
  expected.shadowHp = 20, expected.shadowLp = 20000;
  expected.shadowAttack = 10, expected.shadowRelease = 100, expected.shadowMakeup = 0;
  const double params[14] = {200, 5000, -20, -20, -20, 4, 4, 4, 10, 100, 0, 0, 20, 20000};
  std::memcpy(expected.params, params, sizeof params);
  expected.editorWidth = 960, expected.editorHeight = 600;
  ExpectSameChunk(c, expected);

  // Read back by another instance: every byte consumed, the same bytes saved.
  qbtest::PluginDriver other;
  EXPECT_EQ(Load(*other.plugin, saved), 354);
  EXPECT_EQ(Save(*other.plugin), saved);
}

TEST(StateChunk, SaveLoadSaveKeepsEveryField) {
  auto d = CurrentInstance();
  EXPECT_EQ(Save(*d->plugin), Encode(CurrentChunk()));
  qbtest::PluginDriver other;
  ASSERT_EQ(Load(*other.plugin, Encode(StoredChunk())), 354);
  EXPECT_EQ(Save(*other.plugin), Encode(StoredChunk()));
  // The restored name is the slot's display name too.
  qbstate::Registry registry;
  EXPECT_EQ(qbstate::Text(registry.SlotOf(*other.plugin).displayName), "Stored");
}

// ---- Truncated chunks -------------------------------------------------------------

struct CutCase {
  int length;
  int returns;
  const char* lastTaken;  // last field taken from the chunk; null: none
  bool bandCountReset;    // the band count falls back to 1
};

class TruncatedChunk : public ::testing::TestWithParam<CutCase> {};

TEST_P(TruncatedChunk, TakesTheFieldsBeforeTheEndAndKeepsTheRest) {
  const CutCase c = GetParam();
  auto d = CurrentInstance();
  const Bytes stored = Encode(StoredChunk());
  EXPECT_EQ(Load(*d->plugin, Bytes(stored.begin(), stored.begin() + c.length)), c.returns);

  QBStateChunk expected = CurrentChunk();
  const QBStateChunk from = StoredChunk();
  bool taking = c.lastTaken != nullptr;
  for (const Field& f : ChunkFields()) {
    if (!taking) break;
    std::memcpy(reinterpret_cast<uint8_t*>(&expected) + f.offset, reinterpret_cast<const uint8_t*>(&from) + f.offset,
                f.size);
    taking = f.name != c.lastTaken;
  }
  if (c.bandCountReset) expected.bandCount = 1;
  ExpectSameChunk(Decode(Save(*d->plugin)), expected);
  EXPECT_TRUE(OutputFinite(*d));
}

INSTANTIATE_TEST_SUITE_P(Lengths, TruncatedChunk,
                         ::testing::Values(CutCase{354, 354, "editorHeight", false},
                                           CutCase{353, 346, "param13", false},  // all but the editor size
                                           CutCase{346, 346, "param13", false},
                                           CutCase{345, -1, "param12", false},  // inside the parameter block
                                           CutCase{277, -1, "param4", false},
                                           CutCase{234, -1, "shadowMakeup", false},  // parameters untouched
                                           CutCase{200, -1, "shadowThresholds", false},  // inside the shadow
                                           CutCase{163, -1, "shadowBandCount", false},
                                           CutCase{159, -1, "peerName", false},
                                           CutCase{120, -1, "bandEnabled", false},  // inside the peer name
                                           CutCase{94, -1, "bandFreqs", false},
                                           CutCase{80, -1, "bandCount", false},
                                           CutCase{66, -1, "instanceName", true},
                                           CutCase{63, -1, nullptr, true},
                                           CutCase{0, -1, nullptr, true}),
                         [](const auto& info) { return "Bytes" + std::to_string(info.param.length); });

// ---- Mutated and hostile chunks ---------------------------------------------------

struct MutationCase {
  const char* name;
  std::function<void(QBStateChunk&)> mutate;
  int returns;
  // Adjusts the expectation (the mutated chunk) to what the instance keeps.
  std::function<void(QBStateChunk& expected, const QBStateChunk& current)> keep;
};

void KeepShadow(QBStateChunk& e, const QBStateChunk& cur) {
  const size_t from = offsetof(QBStateChunk, shadowBandCount), to = offsetof(QBStateChunk, params);
  std::memcpy(reinterpret_cast<uint8_t*>(&e) + from, reinterpret_cast<const uint8_t*>(&cur) + from, to - from);
}

const MutationCase kMutations[] = {
    {"EmptyNameKeepsTheName", [](QBStateChunk& c) { qbstate::SetName(c.instanceName, ""); }, 354,
     [](QBStateChunk& e, const QBStateChunk& cur) { std::memcpy(e.instanceName, cur.instanceName, 64); }},
    {"BandCountZeroKeepsTheCount", [](QBStateChunk& c) { c.bandCount = 0; }, 354,
     [](QBStateChunk& e, const QBStateChunk& cur) { e.bandCount = cur.bandCount; }},
    {"BandCountFourKeepsTheCount", [](QBStateChunk& c) { c.bandCount = 4; }, 354,
     [](QBStateChunk& e, const QBStateChunk& cur) { e.bandCount = cur.bandCount; }},
    // The parameters come from their own place, not from right after the count.
    {"ShadowCountFourKeepsTheShadow", [](QBStateChunk& c) { c.shadowBandCount = 4; }, 354, KeepShadow},
    {"ShadowCountNegativeKeepsTheShadow", [](QBStateChunk& c) { c.shadowBandCount = -1; }, 354, KeepShadow},
    {"ShadowCountHugeKeepsTheShadow", [](QBStateChunk& c) { c.shadowBandCount = INT_MIN; }, 354, KeepShadow},
    {"NonFiniteEdgeInvalidatesItsBand", [](QBStateChunk& c) { c.bandFreqs[3] = kNaN, c.bandFreqs[4] = kInf; }, 354,
     [](QBStateChunk& e, const QBStateChunk&) { e.bandFreqs[2] = e.bandFreqs[3] = e.bandFreqs[4] = e.bandFreqs[5] = 0; }},
    {"NonFiniteShadowValuesKeepTheCurrentOnes",
     [](QBStateChunk& c) { c.shadowFreqs[0] = -kInf, c.shadowRatios[1] = kNaN, c.shadowHp = kInf, c.shadowMakeup = kNaN; },
     354,
     [](QBStateChunk& e, const QBStateChunk& cur) {
       e.shadowFreqs[0] = cur.shadowFreqs[0], e.shadowRatios[1] = cur.shadowRatios[1];
       e.shadowHp = cur.shadowHp, e.shadowMakeup = cur.shadowMakeup;
     }},
    {"NonFiniteParametersKeepTheCurrentValues",
     [](QBStateChunk& c) {
       c.params[3] = std::numeric_limits<double>::quiet_NaN();
       c.params[12] = -std::numeric_limits<double>::infinity();
     },
     354, [](QBStateChunk& e, const QBStateChunk& cur) { e.params[3] = cur.params[3], e.params[12] = cur.params[12]; }},
    // Doubles are continuous (no rounding to their display step); LinkSlot is an integer.
    {"ParametersAreConstrainedToTheirRanges",
     [](QBStateChunk& c) { c.params[0] = 1e9, c.params[2] = -10.123456789, c.params[5] = -3, c.params[11] = 2.6; },
     354, [](QBStateChunk& e, const QBStateChunk&) { e.params[0] = 2000, e.params[5] = 1, e.params[11] = 3; }},
    {"UnterminatedNamesAreCutTo63Characters",
     [](QBStateChunk& c) {
       std::memset(c.instanceName, 'N', 64);
       std::memset(c.peerName, 'P', 64);
     },
     354,
     [](QBStateChunk& e, const QBStateChunk&) {
       e.instanceName[63] = 0;
       e.peerName[63] = 0;
     }},
    {"EditorSizeNotPositiveIsNotTaken", [](QBStateChunk& c) { c.editorWidth = 0; }, 346,
     [](QBStateChunk& e, const QBStateChunk& cur) { e.editorWidth = cur.editorWidth, e.editorHeight = cur.editorHeight; }},
    {"NegativeEditorHeightIsNotTaken", [](QBStateChunk& c) { c.editorHeight = -600; }, 346,
     [](QBStateChunk& e, const QBStateChunk& cur) { e.editorWidth = cur.editorWidth, e.editorHeight = cur.editorHeight; }},
};

class MutatedChunk : public ::testing::TestWithParam<MutationCase> {};

TEST_P(MutatedChunk, IsReadSoundly) {
  const MutationCase& m = GetParam();
  auto d = CurrentInstance();
  QBStateChunk chunk = StoredChunk();
  m.mutate(chunk);
  EXPECT_EQ(Load(*d->plugin, Encode(chunk)), m.returns);
  QBStateChunk expected = chunk;
  m.keep(expected, CurrentChunk());
  ExpectSameChunk(Decode(Save(*d->plugin)), expected);
  for (int i = 0; i < qb::kNumParams; ++i) EXPECT_TRUE(std::isfinite(d->plugin->ParamTarget(i))) << i;
  EXPECT_TRUE(OutputFinite(*d));
}

INSTANTIATE_TEST_SUITE_P(Cases, MutatedChunk, ::testing::ValuesIn(kMutations),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(StateChunk, ReadsFromTheStartPositionAndNeverOutsideTheChunk) {
  auto d = CurrentInstance();
  Bytes prefixed(10, 0xEE);
  const Bytes stored = Encode(StoredChunk());
  prefixed.insert(prefixed.end(), stored.begin(), stored.end());
  EXPECT_EQ(Load(*d->plugin, prefixed, 10), 364);
  EXPECT_EQ(Save(*d->plugin), stored);

  for (int start : {-1, -354, 365, INT_MAX - 100, INT_MAX, INT_MIN}) {
    SCOPED_TRACE(start);
    auto e = CurrentInstance();
    EXPECT_EQ(Load(*e->plugin, prefixed, start), -1);
    QBStateChunk expected = CurrentChunk();
    expected.bandCount = 1;  // nothing readable: one band
    ExpectSameChunk(Decode(Save(*e->plugin)), expected);
  }
}

// ---- The restore's push into the own slot -------------------------------------------

struct PushCase {
  const char* name;
  int32_t count;
  std::vector<float> edges;            // six edges stored in the chunk
  std::vector<float> expectedEdges;    // lo, hi per band in the slot
};

class RestorePush : public ::testing::TestWithParam<PushCase> {};

TEST_P(RestorePush, WritesValidEdgesOrRebuildsThemFromTheCrossovers) {
  const PushCase& c = GetParam();
  qbtest::PluginDriver d;
  QBStateChunk chunk = StoredChunk();  // FreqLow 300, FreqHigh 6000
  chunk.bandCount = c.count;
  std::memcpy(chunk.bandFreqs, c.edges.data(), sizeof chunk.bandFreqs);
  ASSERT_EQ(Load(*d.plugin, Encode(chunk)), 354);

  qbstate::Registry registry;
  const qb::QBSlot slot = registry.SlotOf(*d.plugin);
  ASSERT_EQ(slot.bandCount * 2, static_cast<int>(c.expectedEdges.size()));
  for (int i = 0; i < slot.bandCount; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(slot.bands[i].freqLo, c.expectedEdges[2 * i]);
    EXPECT_EQ(slot.bands[i].freqHi, c.expectedEdges[2 * i + 1]);
    EXPECT_EQ(slot.bands[i].thresholdDb, static_cast<float>(chunk.params[qb::kThreshLow + i]));
    EXPECT_EQ(slot.bands[i].ratio, static_cast<float>(chunk.params[qb::kRatioLow + i]));
    EXPECT_EQ(slot.bands[i].enabled, chunk.bandEnabled[i]);
  }
  EXPECT_EQ(slot.hpHz, 50.0f);
  EXPECT_EQ(slot.lpHz, 16000.0f);
  EXPECT_EQ(slot.attackMs, 30.0f);
  EXPECT_EQ(slot.releaseMs, 300.0f);
  EXPECT_EQ(slot.makeupDb, 3.0f);
  // What was written is what the instance already holds: the audio path does
  // not take it back.
  d.Run(std::vector<std::vector<double>>(2, std::vector<double>(512, 0.1)), 512);
  EXPECT_DOUBLE_EQ(d.plugin->GetParam(qb::kThreshMid)->Value(), chunk.params[qb::kThreshMid]);
}

INSTANTIATE_TEST_SUITE_P(
    Edges, RestorePush,
    ::testing::Values(PushCase{"InvertedSingleBand", 1, {1000, 500, 0, 0, 0, 0}, {20, 20000}},
                      PushCase{"NonFiniteSecondBand", 2, {20, 300, 300, kNaN, 0, 0}, {20, 300, 300, 20000}},
                      PushCase{"ValidThreeBands", 3, {20, 100, 100, 900, 900, 20000}, {20, 100, 100, 900, 900, 20000}},
                      PushCase{"InvertedThirdBand", 3, {20, 100, 100, 900, 20000, 900},
                               {20, 300, 300, 6000, 6000, 20000}},
                      PushCase{"CountZeroKeepsTheSingleBand", 0, {20, 300, 300, 20000, 0, 0}, {20, 300}}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- What saving takes over from the own slot -----------------------------------------

// Two instances paired; `editor` writes `peer`'s slot as an editor does.
struct EditedPair {
  EditedPair() { editor.plugin->Registry().SetRemoteId(peer.plugin->Registry().InstanceId()); }
  qbtest::PluginDriver editor;
  qbtest::PluginDriver peer;
  qb::QuellbridgeSHM& Editor() { return editor.plugin->Registry(); }
};

TEST(SavingTakesOverTheSlot, AGroupNotYetAppliedSetsBandsRangeAndControls) {
  EditedPair pair;
  const qb::QBBand band = qbstate::Band(20, 20000, -25, 3, false);
  ASSERT_NE(pair.Editor().WriteBands(qb::SlotTarget::Peer, 1, &band), 0u);
  pair.Editor().WriteHpLp(qb::SlotTarget::Peer, 55, 9000);
  pair.Editor().WriteRemoteControls(22, 220, 4);

  const QBStateChunk c = Decode(Save(*pair.peer.plugin));
  EXPECT_EQ(c.bandCount, 1);
  const float edges[6] = {20, 20000, 0, 0, 0, 0};
  EXPECT_EQ(std::memcmp(c.bandFreqs, edges, sizeof edges), 0);
  EXPECT_EQ(c.bandEnabled[0], 0);
  const double params[14] = {20, 20000, -25, -20, -20, 3, 4, 4, 22, 220, 4, 0, 55, 9000};
  for (int i = 0; i < 14; ++i) EXPECT_DOUBLE_EQ(c.params[i], params[i]) << "parameter " << i;
}

TEST(SavingTakesOverTheSlot, AnAppliedGroupKeepsHostChangesButItsBandLayoutIsSaved) {
  EditedPair pair;
  const qb::QBBand bands[3] = {qbstate::Band(20, 150, -35, 6, true), qbstate::Band(150, 3000, -30, 5, false),
                               qbstate::Band(3000, 20000, -25, 2, true)};
  ASSERT_NE(pair.Editor().WriteBands(qb::SlotTarget::Peer, 3, bands), 0u);
  pair.Editor().WriteRemoteControls(22, 220, 4);
  // The peer's audio path adopts the edits; then the host automates.
  pair.peer.Run(std::vector<std::vector<double>>(2, std::vector<double>(512, 0.1)), 512);
  EXPECT_DOUBLE_EQ(pair.peer.plugin->GetParam(qb::kThreshLow)->Value(), -35);
  pair.peer.SetParam(qb::kThreshLow, -12);
  pair.peer.SetParam(qb::kAttack, 77);

  const Bytes saved = Save(*pair.peer.plugin);
  const QBStateChunk c = Decode(saved);
  EXPECT_DOUBLE_EQ(c.params[qb::kThreshLow], -12);
  EXPECT_DOUBLE_EQ(c.params[qb::kAttack], 77);
  EXPECT_DOUBLE_EQ(c.params[qb::kFreqHigh], 3000);
  EXPECT_EQ(c.bandCount, 3);
  const float edges[6] = {20, 150, 150, 3000, 3000, 20000};
  EXPECT_EQ(std::memcmp(c.bandFreqs, edges, sizeof edges), 0);
  EXPECT_EQ(c.bandEnabled[0], 1);
  EXPECT_EQ(c.bandEnabled[1], 0);
  EXPECT_EQ(c.bandEnabled[2], 1);
  EXPECT_EQ(Save(*pair.peer.plugin), saved);
}

TEST(SavingTakesOverTheSlot, ARestoreWhoseSlotIsLockedKeepsItsValuesAndIsPushedLater) {
  qbtest::PluginDriver d;
  d.Run(std::vector<std::vector<double>>(2, std::vector<double>(512, 0.1)), 512);
  QBStateChunk chunk = StoredChunk();
  qbstate::SetName(chunk.peerName, "");
  {
    qbtest::LockHeldElsewhere holder;
    ASSERT_TRUE(holder.Holding());
    EXPECT_EQ(Load(*d.plugin, Encode(chunk)), 354);
  }
  // The slot still holds the defaults; they are not taken over the restored values.
  d.Run(std::vector<std::vector<double>>(2, std::vector<double>(512, 0.1)), 512);
  EXPECT_EQ(Save(*d.plugin), Encode(chunk));

  // The heartbeat pushes the restored state.
  qbstate::Registry registry;
  qb::QBSlot slot{};
  for (int i = 0; i < 100; ++i) {
    slot = registry.SlotOf(*d.plugin);
    if (slot.bandCount == 2 && slot.hpHz == 50.0f) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  ASSERT_EQ(slot.bandCount, 2);
  EXPECT_EQ(slot.bands[1].freqLo, 300.0f);
  EXPECT_EQ(slot.bands[0].thresholdDb, -10.0f);
  EXPECT_EQ(slot.hpHz, 50.0f);
  EXPECT_EQ(slot.attackMs, 30.0f);
  EXPECT_EQ(qbstate::Text(slot.displayName), "Stored");
  d.Run(std::vector<std::vector<double>>(2, std::vector<double>(512, 0.1)), 512);
  EXPECT_EQ(Save(*d.plugin), Encode(chunk));
}

}  // namespace
