// The tool's pieces that need no module: the state edit that carries the
// pairing, the registry view against hostile contents, the band mapping,
// the pending outputs and the demo material.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "BandLayout.h"
#include "DemoSignals.h"
#include "OutputFiles.h"
#include "PairingCheck.h"
#include "ParameterSettings.h"
#include "RegistryView.h"
#include "RenderTestSupport.h"
#include "StateChunkEdit.h"
#include "registry/RegistryLayout.h"

namespace {

using namespace qbrender;

// The module's parameter list as a host sees it (VST3 adds its bypass).
std::vector<qbhost::ParamInfo> ModuleParams(bool withBypass) {
  struct P {
    const char* name;
    double lo, hi, def;
    int steps;
  };
  const P table[] = {{"FreqLow", 20, 2000, 200, 0},    {"FreqHigh", 500, 20000, 5000, 0}, {"ThreshLow", -60, 0, -20, 0},
                     {"ThreshMid", -60, 0, -20, 0},    {"ThreshHigh", -60, 0, -20, 0},   {"RatioLow", 1, 20, 4, 0},
                     {"RatioMid", 1, 20, 4, 0},        {"RatioHigh", 1, 20, 4, 0},       {"Attack", 0.1, 300, 10, 0},
                     {"Release", 5, 2000, 100, 0},     {"Makeup", -12, 24, 0, 0},        {"LinkSlot", 0, 4, 0, 4},
                     {"HP", 20, 1000, 20, 0},          {"LP", 1000, 20000, 20000, 0}};
  std::vector<qbhost::ParamInfo> out;
  for (uint32_t i = 0; i < 14; ++i) {
    qbhost::ParamInfo p;
    p.id = i;
    p.name = table[i].name;
    p.minValue = table[i].lo;
    p.maxValue = table[i].hi;
    p.defaultValue = table[i].def;
    p.stepCount = table[i].steps;
    out.push_back(p);
  }
  if (withBypass) {
    qbhost::ParamInfo bypass;
    bypass.id = 65536;
    bypass.name = "Bypass";
    bypass.maxValue = 1;
    bypass.stepCount = 1;
    bypass.isBypass = true;
    out.push_back(bypass);
  }
  return out;
}

// ---- State edit -------------------------------------------------------------

std::vector<uint8_t> SavedState(qbhost::Format format) {
  qb::QBStateChunk chunk{};
  std::snprintf(chunk.instanceName, sizeof chunk.instanceName, "Quellbridge #1");
  chunk.bandCount = 1;
  chunk.bandFreqs[0] = 20;
  chunk.bandFreqs[1] = 20000;
  chunk.shadowBandCount = 2;  // a shadow of some earlier peer
  chunk.editorWidth = 1234;
  chunk.editorHeight = 567;
  for (int i = 0; i < 14; ++i) chunk.params[i] = -1.0 - i;
  std::vector<uint8_t> state(SavedStateSize(format), 0);
  std::memcpy(state.data(), &chunk, sizeof chunk);
  if (format == qbhost::Format::Vst3) state[sizeof chunk] = 1;  // bypassed
  return state;
}

TEST(StateChunkEdit, WritesNamesBandsAndParametersAndKeepsTheRest) {
  for (qbhost::Format format : {qbhost::Format::Clap, qbhost::Format::Vst3}) {
    std::vector<uint8_t> state = SavedState(format);
    ChunkEdit edit;
    edit.ownName = "Track-42";
    edit.peerName = std::string(80, 'k');  // longer than a name field holds
    edit.bands.count = 3;
    const float freqs[6] = {20, 150, 150, 4000, 4000, 20000};
    std::memcpy(edit.bands.chunkFreqs, freqs, sizeof freqs);
    for (int i = 0; i < 14; ++i) edit.params[static_cast<size_t>(i)] = 100.0 + i;
    std::string error;
    ASSERT_TRUE(EditSavedState(state, format, edit, error)) << error;
    ASSERT_EQ(state.size(), SavedStateSize(format));

    // Read back at the byte offsets the plug-in reads.
    const uint8_t* b = state.data();
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(b)), "Track-42");
    for (int i = 8; i < 64; ++i) EXPECT_EQ(b[i], 0) << "own name padding byte " << i;
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(b + 95)), std::string(63, 'k'));
    EXPECT_EQ(b[95 + 63], 0);
    int32_t bandCount = 0;
    std::memcpy(&bandCount, b + 64, 4);
    EXPECT_EQ(bandCount, 3);
    float stored[6];
    std::memcpy(stored, b + 68, sizeof stored);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(stored[i], freqs[i]);
    EXPECT_EQ(b[92], 1);
    EXPECT_EQ(b[93], 1);
    EXPECT_EQ(b[94], 1);
    int32_t shadowCount = -1;
    std::memcpy(&shadowCount, b + 159, 4);
    EXPECT_EQ(shadowCount, 0);
    for (int i = 0; i < 14; ++i) {
      double v = 0;
      std::memcpy(&v, b + 234 + 8 * i, 8);
      EXPECT_EQ(v, 100.0 + i);
    }
    int32_t width = 0, height = 0;
    std::memcpy(&width, b + 346, 4);
    std::memcpy(&height, b + 350, 4);
    EXPECT_EQ(width, 1234);
    EXPECT_EQ(height, 567);
    if (format == qbhost::Format::Vst3) {
      EXPECT_EQ(std::vector<uint8_t>(b + 354, b + 358), (std::vector<uint8_t>{1, 0, 0, 0}));
    }
  }
}

TEST(StateChunkEdit, RefusesStatesOfAnotherShapeAndLeavesThemAlone) {
  ChunkEdit edit;
  edit.ownName = "Track";
  edit.peerName = "Key";
  struct Case {
    qbhost::Format format;
    size_t size;
  };
  for (const Case c : {Case{qbhost::Format::Clap, 112}, Case{qbhost::Format::Clap, 358}, Case{qbhost::Format::Vst3, 354},
                       Case{qbhost::Format::Vst3, 0}, Case{qbhost::Format::Clap, 353}}) {
    std::vector<uint8_t> state(c.size, 0xAB);
    const std::vector<uint8_t> original = state;
    std::string error;
    EXPECT_FALSE(EditSavedState(state, c.format, edit, error)) << c.size;
    EXPECT_NE(error.find(std::to_string(c.size) + "-byte state"), std::string::npos) << error;
    EXPECT_EQ(state, original);
  }
}

// ---- Registry view ----------------------------------------------------------

class FakeRegistry : public ::testing::Test {
 protected:
  static constexpr const char* kName = "/qb_render_test_registry";
  void SetUp() override {
    shm_unlink(kName);
    const int fd = shm_open(kName, O_RDWR | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, qb::kRegistrySize), 0);
    void* base = mmap(nullptr, qb::kRegistrySize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    ASSERT_NE(base, MAP_FAILED);
    mRegistry = static_cast<qb::QBRegistry*>(base);
    mRegistry->version = qb::kRegistryVersion;
    mRegistry->magic = qb::kRegistryMagic;
  }
  void TearDown() override {
    if (mRegistry) munmap(mRegistry, qb::kRegistrySize);
    shm_unlink(kName);
  }
  qb::QBSlot& Live(int index, uint64_t id, const char* name, uint64_t peer) {
    qb::QBSlot& s = mRegistry->slots[index];
    s.alive = 1;
    s.instanceId = id;
    s.peerId = peer;
    std::snprintf(s.displayName, sizeof s.displayName, "%s", name);
    return s;
  }
  std::unique_ptr<RegistryView> View() {
    std::string reason;
    auto view = RegistryView::OpenNamed(kName, reason);
    EXPECT_TRUE(view) << reason;
    return view;
  }
  qb::QBRegistry* mRegistry = nullptr;
};

TEST_F(FakeRegistry, SeesMutualPairingOnly) {
  Live(0, 11, "Somebody", 0);
  Live(3, 21, "Track-1", 22);
  Live(5, 22, "Key-1", 21);
  auto view = View();
  ASSERT_TRUE(view);
  PairingState s = CheckPairing(*view, "Track-1", "Key-1");
  EXPECT_TRUE(s.paired) << s.problem;
  ASSERT_TRUE(s.track && s.key);
  EXPECT_EQ(s.track->index, 3);
  EXPECT_EQ(s.key->instanceId, 22u);

  mRegistry->slots[5].peerId = 11;  // the key went elsewhere
  s = CheckPairing(*view, "Track-1", "Key-1");
  EXPECT_FALSE(s.paired);
  EXPECT_NE(s.problem.find("\"Key-1\" is paired with \"Somebody\""), std::string::npos) << s.problem;

  mRegistry->slots[3].peerId = 0;
  s = CheckPairing(*view, "Track-1", "Key-1");
  EXPECT_NE(s.problem.find("\"Track-1\" is paired with nothing"), std::string::npos) << s.problem;

  mRegistry->slots[5].alive = 0;  // a free slot does not count, whatever it holds
  s = CheckPairing(*view, "Track-1", "Key-1");
  EXPECT_NE(s.problem.find("no live instance named \"Key-1\""), std::string::npos) << s.problem;

  mRegistry->magic = 0;
  EXPECT_FALSE(CheckPairing(*view, "Track-1", "Key-1").paired);
}

TEST_F(FakeRegistry, BoundsWhatItReads) {
  qb::QBSlot& s = Live(2, 5, "", 0);
  std::memset(s.displayName, 'x', sizeof s.displayName);  // no terminator
  const float hostile[3] = {std::numeric_limits<float>::quiet_NaN(), 7.5f, -1e30f};
  std::memcpy(s.gainReduction, hostile, sizeof hostile);
  Live(4, 6, "Dead", 0).alive = 2;  // only 1 means alive

  auto view = View();
  ASSERT_TRUE(view);
  const auto slot = view->Slot(2);
  ASSERT_TRUE(slot);
  EXPECT_EQ(slot->name, std::string(63, 'x'));
  EXPECT_FALSE(view->Slot(4));
  EXPECT_FALSE(view->Slot(-1));
  EXPECT_FALSE(view->Slot(qb::kSlotCount));
  EXPECT_EQ(view->LiveSlots().size(), 1u);
  float gr[3];
  view->GainReduction(2, gr);
  EXPECT_EQ(gr[0], 0.0f);
  EXPECT_EQ(gr[1], 0.0f);
  EXPECT_EQ(gr[2], kGainReductionFloorDb);
  view->GainReduction(99, gr);
  EXPECT_EQ(gr[0], 0.0f);
  EXPECT_EQ(PrintableName("a\nb\"c"), "\"a\\x0ab\\x22c\"");
}

TEST(RegistryViewOpen, RefusesMissingAndShortSegments) {
  std::string reason;
  shm_unlink("/qb_render_test_short");
  EXPECT_FALSE(RegistryView::OpenNamed("/qb_render_test_short", reason));
  EXPECT_NE(reason.find("there is no instance registry"), std::string::npos) << reason;
  const int fd = shm_open("/qb_render_test_short", O_RDWR | O_CREAT, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, 4096), 0);
  close(fd);
  EXPECT_FALSE(RegistryView::OpenNamed("/qb_render_test_short", reason));
  EXPECT_NE(reason.find("smaller than"), std::string::npos) << reason;
  shm_unlink("/qb_render_test_short");
}

// ---- Band layout ------------------------------------------------------------

struct BandCase {
  int count;
  std::vector<double> edges;
  std::vector<ParamAssignment> settings;
  double freqLow, freqHigh;
  std::vector<float> chunkFreqs;
  // Expected thresholds low, mid, high after the mapping.
  double thresh[3];
  size_t warnings;
};

TEST(BandLayout, MapsCountAndEdgesOntoParametersAndChunk) {
  const ParameterTable table(ModuleParams(true));
  const BandCase cases[] = {
      {3, {}, {}, 200, 5000, {20, 200, 200, 5000, 5000, 20000}, {-20, -20, -20}, 0},
      {3, {150, 3000}, {{"ThreshMid", "-30"}}, 150, 3000, {20, 150, 150, 3000, 3000, 20000}, {-20, -30, -20}, 0},
      {3, {}, {{"freqlow", "300"}, {"FREQHIGH", "6000"}}, 300, 6000, {20, 300, 300, 6000, 6000, 20000}, {-20, -20, -20}, 0},
      {2, {400}, {{"ThreshMid", "-25"}, {"ThreshHigh", "-5"}}, 400, 20000, {20, 400, 400, 20000, 0, 0}, {-20, -25, -25}, 1},
      {1, {}, {{"ThreshLow", "-33"}, {"ThreshMid", "-10"}, {"FreqLow", "100"}}, 20, 20000, {20, 20000, 0, 0, 0, 0}, {-33, -33, -33}, 2},
  };
  for (const BandCase& c : cases) {
    std::vector<double> values = table.Defaults();
    std::vector<bool> set;
    std::string error;
    ASSERT_TRUE(ApplyAssignments(table, c.settings, values, set, error)) << error;
    BandLayout layout;
    std::vector<std::string> warnings;
    ASSERT_TRUE(ResolveBandLayout(c.count, c.edges, table, set, values, layout, warnings, error)) << error;
    EXPECT_EQ(values[0], c.freqLow) << c.count;
    EXPECT_EQ(values[1], c.freqHigh) << c.count;
    for (int b = 0; b < 3; ++b) EXPECT_EQ(values[2 + b], c.thresh[b]) << c.count << " band " << b;
    EXPECT_EQ(layout.count, c.count);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(layout.chunkFreqs[i], c.chunkFreqs[static_cast<size_t>(i)]) << c.count << " edge " << i;
    EXPECT_EQ(warnings.size(), c.warnings) << c.count;
    // The reported bands tile 20..20000 Hz and name the plug-in's split.
    const std::vector<ReportedBand> rows = ReportedBands(layout);
    ASSERT_EQ(rows.size(), static_cast<size_t>(c.count));
    EXPECT_EQ(rows.front().lo, 20.0);
    EXPECT_EQ(rows.back().hi, 20000.0);
    for (size_t i = 1; i < rows.size(); ++i) EXPECT_EQ(rows[i].lo, rows[i - 1].hi);
  }
}

TEST(ParameterTable, LeavesOutTheHostBypassAndMatchesNamesLoosely) {
  const ParameterTable table(ModuleParams(true));
  EXPECT_EQ(table.Params().size(), 14u);
  EXPECT_EQ(table.IndexOf("Bypass"), -1);
  EXPECT_EQ(table.IndexOf("threshmid"), 3);
  EXPECT_EQ(table.IndexOf("ThreshMi"), -1);
}

// ---- Outputs ----------------------------------------------------------------

TEST(PendingOutputs, OnlyCommittedFilesAppearAndFailedRunsLeaveNothing) {
  qbtest::ScratchDir dir;
  std::string error;
  {
    PendingOutputs pending;
    const int fd = pending.Create(dir / "new/deeper/a.wav", error);
    ASSERT_GE(fd, 0) << error;
    ASSERT_EQ(write(fd, "x", 1), 1);
    close(fd);
    EXPECT_LT(pending.Create(dir / "new/deeper/a.wav", error), 0);
    EXPECT_NE(error.find("two outputs"), std::string::npos);
    EXPECT_FALSE(qbtest::Exists(dir / "new/deeper/a.wav"));
  }
  EXPECT_FALSE(qbtest::Exists(dir / "new")) << "folders created for a failed run stay behind";

  PendingOutputs pending;
  for (const char* name : {"a.wav", "b.png"}) {
    const int fd = pending.Create(dir / (std::string("out/") + name), error);
    ASSERT_GE(fd, 0) << error;
    close(fd);
  }
  pending.Discard(dir / "out/b.png");
  ASSERT_TRUE(pending.CommitAll(error)) << error;
  EXPECT_EQ(qbtest::FilesBelow(dir / "out"), std::vector<std::string>{"a.wav"});
  EXPECT_EQ(OutputPath("folder", "name.wav"), "folder/name.wav");
  EXPECT_EQ(OutputPath("folder", "../elsewhere/name.wav"), "../elsewhere/name.wav");
}

// ---- Demo material ----------------------------------------------------------

TEST(DemoSignals, AreTheSameOnEveryRunAndFillTheirBands) {
  const DemoMaterial a = SynthesizeDemo(1.0), b = SynthesizeDemo(1.0);
  ASSERT_EQ(a.trackLeft.size(), static_cast<size_t>(kDemoSampleRate));
  EXPECT_EQ(a.trackLeft, b.trackLeft);
  EXPECT_EQ(a.trackRight, b.trackRight);
  EXPECT_EQ(a.keyLeft, b.keyLeft);
  EXPECT_NE(a.trackLeft, a.trackRight) << "the pad should be stereo";
  float peak = 0.0f;
  for (const auto* v : {&a.trackLeft, &a.trackRight, &a.keyLeft, &a.keyRight})
    for (float x : *v) peak = std::max(peak, std::fabs(x));
  EXPECT_LT(peak, 1.0f);
  EXPECT_GT(peak, 0.25f);
}

}  // namespace
