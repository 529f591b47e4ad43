// The segment is a wire format: a segment written by one process through the
// handle is read back here byte by byte at fixed offsets, independent of the
// record declarations.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <ctime>

#include "RegistryTestSupport.h"
#include "registry/QuellbridgeSHM.h"

namespace {

using namespace qb;
using qbtest::SegmentBytes;

template <class T>
T At(const std::vector<uint8_t>& bytes, size_t offset) {
  T v;
  std::memcpy(&v, bytes.data() + offset, sizeof v);
  return v;
}

bool AllZero(const std::vector<uint8_t>& bytes, size_t from, size_t to) {
  for (size_t i = from; i < to; ++i)
    if (bytes[i] != 0) return false;
  return true;
}

class LayoutTest : public ::testing::Test {
 protected:
  void SetUp() override { qbtest::RemoveSegment(); }
};

TEST_F(LayoutTest, SegmentWrittenByAnotherProcessReadsFieldByField) {
  int ids[2];
  ASSERT_EQ(pipe(ids), 0);
  const int64_t before = std::time(nullptr);
  const int rc = qbtest::RunInChild([&] {
    QuellbridgeSHM h;
    QB_CHILD_CHECK(h.Open());
    h.SetDisplayName("Layout probe");
    const QBBand bands[2] = {{30.0f, 250.0f, -18.0f, 3.0f, 1, {}}, {250.0f, 4000.0f, -12.5f, 6.0f, 0, {}}};
    QB_CHILD_CHECK(h.WriteBands(SlotTarget::Own, 2, bands) == 1);
    QB_CHILD_CHECK(h.WriteHpLp(SlotTarget::Own, 45.0f, 15000.0f) == 1);
    QB_CHILD_CHECK(h.WriteControls(12.0f, 150.0f, 1.5f) == 1);
    QB_CHILD_CHECK(h.WriteControls(13.0f, 160.0f, 2.5f) == 2);
    h.WriteFftSize(2048);
    float spectrum[kSpectrumBins];
    for (int i = 0; i < kSpectrumBins; ++i) spectrum[i] = static_cast<float>(i) * 0.5f;
    h.PublishSpectrum(spectrum, kSpectrumBins);
    float curve[kEditorSpectrumPoints];
    for (int i = 0; i < kEditorSpectrumPoints; ++i) curve[i] = -100.0f + static_cast<float>(i);
    h.PublishEditorSpectrum(curve);
    h.PublishBandLevels({0.25f, 0.5f, 0.75f});
    h.PublishGainReduction({-1.0f, -2.0f, -3.0f});
    h.SetRemoteId(0x1122334455667788ull);  // nobody: only the own side is written
    h.SetBypassOf(h.InstanceId(), true);
    const uint64_t id = h.InstanceId();
    QB_CHILD_CHECK(write(ids[1], &id, sizeof id) == sizeof id);
    _exit(0);  // leaves the slot claimed, as a crashed host would
  });
  ASSERT_EQ(rc, 0);
  uint64_t childId = 0;
  ASSERT_EQ(read(ids[0], &childId, sizeof childId), static_cast<ssize_t>(sizeof childId));
  close(ids[0]);
  close(ids[1]);

  const std::vector<uint8_t> b = SegmentBytes();
  ASSERT_EQ(b.size(), 85952u);
  // Header.
  EXPECT_EQ(At<int32_t>(b, 0), 8);
  EXPECT_TRUE(AllZero(b, 4, 8));
  EXPECT_EQ(At<uint32_t>(b, 8), 0u) << "mutex left unlocked";
  EXPECT_EQ(At<uint32_t>(b, 8 + 16), 0x90u) << "glibc mutex kind: robust (0x10) | process-shared (0x80)";
  EXPECT_EQ(At<int32_t>(b, 48), 1);
  EXPECT_TRUE(AllZero(b, 52, 56));
  EXPECT_EQ(At<uint32_t>(b, 85944), 0x51425247u);
  EXPECT_TRUE(AllZero(b, 85948, 85952));

  // Slot 0.
  const size_t s = 56;
  EXPECT_EQ(At<uint64_t>(b, s + 0), childId);
  EXPECT_EQ(At<uint64_t>(b, s + 8), 0x1122334455667788ull);
  EXPECT_STREQ(reinterpret_cast<const char*>(b.data() + s + 16), "Layout probe");
  EXPECT_TRUE(AllZero(b, s + 16 + 12, s + 80));
  EXPECT_EQ(b[s + 80], 1);
  EXPECT_TRUE(AllZero(b, s + 81, s + 84));
  EXPECT_EQ(At<int32_t>(b, s + 84), 2048);
  EXPECT_GE(At<int64_t>(b, s + 88), before);
  EXPECT_LE(At<int64_t>(b, s + 88), static_cast<int64_t>(std::time(nullptr)));
  EXPECT_EQ(At<float>(b, s + 96), 0.25f);
  EXPECT_EQ(At<float>(b, s + 104), 0.75f);
  EXPECT_EQ(At<float>(b, s + 108), -1.0f);
  EXPECT_EQ(At<float>(b, s + 116), -3.0f);
  EXPECT_EQ(At<int32_t>(b, s + 120), 2);
  EXPECT_TRUE(AllZero(b, s + 124, s + 128));
  EXPECT_EQ(At<uint64_t>(b, s + 128), 1u);
  // Bands: 20-byte records at 136.
  EXPECT_EQ(At<float>(b, s + 136 + 0), 30.0f);
  EXPECT_EQ(At<float>(b, s + 136 + 4), 250.0f);
  EXPECT_EQ(At<float>(b, s + 136 + 8), -18.0f);
  EXPECT_EQ(At<float>(b, s + 136 + 12), 3.0f);
  EXPECT_EQ(b[s + 136 + 16], 1);
  EXPECT_TRUE(AllZero(b, s + 136 + 17, s + 136 + 20));
  EXPECT_EQ(At<float>(b, s + 156 + 0), 250.0f);
  EXPECT_EQ(At<float>(b, s + 156 + 8), -12.5f);
  EXPECT_EQ(b[s + 156 + 16], 0);
  EXPECT_TRUE(AllZero(b, s + 176, s + 196)) << "third band untouched";
  EXPECT_EQ(At<float>(b, s + 196), 45.0f);
  EXPECT_EQ(At<float>(b, s + 200), 15000.0f);
  EXPECT_TRUE(AllZero(b, s + 204, s + 208));
  EXPECT_EQ(At<uint64_t>(b, s + 208), 1u);
  EXPECT_EQ(At<float>(b, s + 216), 13.0f);
  EXPECT_EQ(At<float>(b, s + 220), 160.0f);
  EXPECT_EQ(At<float>(b, s + 224), 2.5f);
  EXPECT_TRUE(AllZero(b, s + 228, s + 232));
  EXPECT_EQ(At<uint64_t>(b, s + 232), 2u);
  EXPECT_EQ(b[s + 240], 1);
  EXPECT_TRUE(AllZero(b, s + 241, s + 248));
  EXPECT_EQ(At<float>(b, s + 248), -100.0f);
  EXPECT_EQ(At<float>(b, s + 248 + 4 * 255), 155.0f);
  EXPECT_EQ(At<float>(b, s + 1272), 0.0f);
  EXPECT_EQ(At<float>(b, s + 1272 + 4 * 1023), 511.5f);
  // The other slots were never touched.
  EXPECT_TRUE(AllZero(b, s + 5368, 85944));
}

TEST_F(LayoutTest, IdCarriesTheProcessIdInItsHighHalf) {
  QuellbridgeSHM a, b;
  ASSERT_TRUE(a.Open());
  ASSERT_TRUE(b.Open());
  EXPECT_NE(a.InstanceId(), b.InstanceId());
  EXPECT_EQ((a.InstanceId() ^ reinterpret_cast<uintptr_t>(&a)), static_cast<uint64_t>(getpid()) << 32);
  EXPECT_EQ((b.InstanceId() ^ reinterpret_cast<uintptr_t>(&b)), static_cast<uint64_t>(getpid()) << 32);
}

}  // namespace
