// An instance that stalled long enough to be swept: it never writes into the
// slot of the newcomer that took its place, and its heartbeat rejoins.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "RegistryTestSupport.h"
#include "registry/Heartbeat.h"
#include "registry/QuellbridgeSHM.h"

namespace {

using namespace qb;

std::vector<uint8_t> Bytes(const QBSlot& s) {
  const auto* p = reinterpret_cast<const uint8_t*>(&s);
  return std::vector<uint8_t>(p, p + sizeof s);
}

class SlotLossTest : public ::testing::Test {
 protected:
  void SetUp() override {
    qbtest::RemoveSegment();
    ASSERT_TRUE(stalled.Open());
    ASSERT_TRUE(editor.Open());
    ASSERT_TRUE(raw.Remap());
    stalled.SetDisplayName("stalled one");
    stalled.SetRemoteId(editor.InstanceId());
    ASSERT_EQ(stalled.SlotIndex(), 0);
  }
  // The stalled instance misses its beats; another editor sweeps it.
  void Sweep() {
    raw.Slot(0).heartbeat = static_cast<int64_t>(std::time(nullptr)) - 11;
    editor.ReapStaleSlots();
    ASSERT_EQ(raw.Slot(0).alive, 0);
  }

  QuellbridgeSHM stalled, editor;
  qbtest::RawRegistry raw;
};

TEST_F(SlotLossTest, SweptSlotThatNobodyClaimedIsRevivedByTheNextBeat) {
  Sweep();
  EXPECT_EQ(stalled.WriteControls(1, 2, 3), 0u) << "own-slot steps wait for the revival";
  EXPECT_EQ(stalled.Beat(), BeatResult::Refreshed);
  EXPECT_EQ(stalled.SlotIndex(), 0);
  EXPECT_EQ(raw.Slot(0).alive, 1);
  EXPECT_STREQ(raw.Slot(0).displayName, "stalled one");
  EXPECT_EQ(raw.Slot(0).peerId, editor.InstanceId());
  EXPECT_NE(stalled.WriteControls(1, 2, 3), 0u);
}

TEST_F(SlotLossTest, NewcomersSlotIsNeverWrittenAndTheOldOwnerRejoinsElsewhere) {
  Sweep();
  QuellbridgeSHM newcomer;
  ASSERT_TRUE(newcomer.Open());
  ASSERT_EQ(newcomer.SlotIndex(), 0) << "the freed slot is the lowest free one";
  newcomer.SetDisplayName("newcomer");
  const std::vector<uint8_t> before = Bytes(raw.Slot(0));

  float spectrum[kSpectrumBins];
  for (float& v : spectrum) v = 9.0f;
  const QBBand band{1, 2, 3, 4, 1, {}};
  const std::vector<std::pair<std::string, std::function<void()>>> ownSlotSteps = {
      {"SetDisplayName", [&] { stalled.SetDisplayName("renamed while lost"); }},
      {"WriteControls", [&] { EXPECT_EQ(stalled.WriteControls(1, 2, 3), 0u); }},
      {"WriteBands", [&] { EXPECT_EQ(stalled.WriteBands(SlotTarget::Own, 1, &band), 0u); }},
      {"WriteHpLp", [&] { EXPECT_EQ(stalled.WriteHpLp(SlotTarget::Own, 30, 3000), 0u); }},
      {"WriteDefaultGroups", [&] { EXPECT_EQ(stalled.WriteDefaultGroups().controlsSeq, 0u); }},
      {"WriteFftSize", [&] { stalled.WriteFftSize(512); }},
      {"PublishSpectrum", [&] { stalled.PublishSpectrum(spectrum, kSpectrumBins); }},
      {"PublishBandLevels", [&] { stalled.PublishBandLevels({1, 1, 1}); }},
      {"PublishGainReduction", [&] { stalled.PublishGainReduction({1, 1, 1}); }},
      {"PublishBypassed", [&] { stalled.PublishBypassed(); }},
      {"PublishEditorSpectrum",
       [&] {
         float curve[kEditorSpectrumPoints] = {};
         stalled.PublishEditorSpectrum(curve);
       }},
      {"ToggleOwnBypass", [&] { EXPECT_FALSE(stalled.ToggleOwnBypass().has_value()); }},
      {"SetRemoteId", [&] { stalled.SetRemoteId(0x1234); }},
      {"RefreshRemoteId", [&] { EXPECT_FALSE(stalled.RefreshRemoteId()); }},
      {"ReadOwnBands",
       [&] {
         QBBandGroup g;
         EXPECT_EQ(stalled.ReadBands(SlotTarget::Own, LockMode::SingleTry, g), GroupRead::Absent);
       }},
  };
  for (const auto& [name, step] : ownSlotSteps) {
    step();
    EXPECT_EQ(Bytes(raw.Slot(0)), before) << name << " wrote into the newcomer's slot";
  }
  stalled.SetRemoteId(editor.InstanceId());

  EXPECT_EQ(stalled.Beat(), BeatResult::Rejoined);
  EXPECT_EQ(stalled.SlotIndex(), 2);
  const QBSlot& rejoined = raw.Slot(2);
  EXPECT_EQ(rejoined.alive, 1);
  EXPECT_EQ(rejoined.instanceId, stalled.InstanceId());
  EXPECT_STREQ(rejoined.displayName, "renamed while lost") << "the last name it was given";
  EXPECT_EQ(rejoined.peerId, editor.InstanceId()) << "keeps the pairing it works with";
  EXPECT_EQ(rejoined.controlsSeq, 0u) << "a claimed slot starts zeroed";
  EXPECT_EQ(Bytes(raw.Slot(0)), before);
  EXPECT_EQ(stalled.Beat(), BeatResult::Refreshed);
  EXPECT_EQ(stalled.WriteControls(5, 50, 0), 1u);
  EXPECT_EQ(raw.Slot(2).attackMs, 5.0f);

  // The partner still finds it by id.
  editor.SetRemoteId(stalled.InstanceId());
  float key[kSpectrumBins];
  EXPECT_TRUE(editor.CopyPeerSpectrum(key));
}

TEST_F(SlotLossTest, LostInstanceWithoutAFreeSlotRunsUnpairedUntilOneFrees) {
  Sweep();
  std::vector<std::unique_ptr<QuellbridgeSHM>> others;
  for (int i = 0; i < kSlotCount - 1; ++i) {
    others.push_back(std::make_unique<QuellbridgeSHM>());
    ASSERT_TRUE(others.back()->Open());
  }
  EXPECT_EQ(stalled.Beat(), BeatResult::NoSlot);
  EXPECT_EQ(stalled.SlotIndex(), -1);
  EXPECT_EQ(stalled.WriteControls(1, 2, 3), 0u);
  others[3]->Close();
  EXPECT_EQ(stalled.Beat(), BeatResult::Rejoined);
  EXPECT_GE(stalled.SlotIndex(), 0);
}

TEST_F(SlotLossTest, HeartbeatTellsItsOwnerAfterRejoining) {
  Sweep();
  QuellbridgeSHM newcomer;
  ASSERT_TRUE(newcomer.Open());
  std::atomic<int> rejoined{0};
  std::atomic<uint64_t> rewrittenSeq{0};
  std::atomic<int> beats{0};
  Heartbeat heartbeat;
  ASSERT_TRUE(heartbeat.Start(stalled, {[&] {
                                          rewrittenSeq = stalled.WriteDefaultGroups().bandSeq;
                                          ++rejoined;
                                        },
                                        [&] { ++beats; }}));
  while (beats.load() == 0) SleepResumingNs(1'000'000);
  heartbeat.Stop();
  EXPECT_FALSE(heartbeat.Running());
  EXPECT_EQ(rejoined.load(), 1);
  EXPECT_EQ(rewrittenSeq.load(), 1u) << "the owner could rewrite its groups";
  EXPECT_EQ(raw.Slot(stalled.SlotIndex()).bandCount, 1);
}

}  // namespace
