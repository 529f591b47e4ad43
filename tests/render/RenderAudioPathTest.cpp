// The audio path of the tool: outputs line up with their inputs sample for
// sample (latency compensated, any block size, uneven lengths, mono and
// multichannel inputs), and the CLAP and VST3 modules render alike.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "RenderTestSupport.h"

namespace {

using qbtest::Audio;
using qbtest::ToolRun;

// The largest difference between the first two channels of got and the
// expected channels (mono expected material plays on both sides).
double MaxDifference(const Audio& got, const Audio& expected) {
  double worst = 0.0;
  for (size_t c = 0; c < 2; ++c) {
    const std::vector<float>& e = expected.channels[std::min(c, expected.channels.size() - 1)];
    for (size_t i = 0; i < got.Frames(); ++i)
      worst = std::max(worst, std::fabs(static_cast<double>(got.channels[c][i]) - e[i]));
  }
  return worst;
}

struct AlignmentCase {
  const char* name;
  const char* format;
  int blockSize;
  int trackChannels;
  int keyChannels;
  double trackSeconds;
  double keySeconds;
};

class RenderAlignment : public ::testing::TestWithParam<AlignmentCase> {};

// With every ratio at 1 nothing is ducked, so once the module's latency is
// compensated each output must be its input.
TEST_P(RenderAlignment, UnduckedOutputEqualsTheInput) {
  const AlignmentCase& c = GetParam();
  qbtest::ScratchDir dir;
  const Audio track = qbtest::TestMaterial(44100.0, c.trackSeconds, c.trackChannels, 3);
  const Audio key = qbtest::TestMaterial(44100.0, c.keySeconds, c.keyChannels, 4);
  qbtest::WriteWav(dir / "track.wav", track);
  qbtest::WriteWav(dir / "key.wav", key);

  std::vector<std::string> args = qbtest::ModuleArgs(c.format);
  args.insert(args.end(), {dir / "track.wav", dir / "key.wav", "--out-dir", dir / "out", "--key-output", "key-out.wav",
                           "--block-size", std::to_string(c.blockSize), "RatioLow=1", "RatioMid=1", "RatioHigh=1",
                           "ThreshLow=-60", "ThreshMid=-60", "ThreshHigh=-60"});
  const ToolRun run = qbtest::RunTool(args);
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find(": paired"), std::string::npos) << run.out;

  Audio trackOut, keyOut;
  ASSERT_TRUE(qbtest::ReadAudio(dir / "out/track-ducked.wav", trackOut));
  ASSERT_TRUE(qbtest::ReadAudio(dir / "out/key-out.wav", keyOut));
  ASSERT_EQ(trackOut.channels.size(), 2u);
  ASSERT_EQ(keyOut.channels.size(), 2u);
  ASSERT_EQ(trackOut.Frames(), track.Frames());
  ASSERT_EQ(keyOut.Frames(), key.Frames());
  EXPECT_LT(MaxDifference(trackOut, track), 1e-5);
  EXPECT_LT(MaxDifference(keyOut, key), 1e-5);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RenderAlignment,
    ::testing::Values(AlignmentCase{"ClapStereo", "clap", 512, 2, 2, 1.0, 1.0},
                      AlignmentCase{"ClapOddBlocksKeyLonger", "clap", 333, 2, 2, 0.8, 1.3},
                      AlignmentCase{"ClapOneSampleBlocks", "clap", 1, 2, 2, 0.2, 0.2},
                      AlignmentCase{"Vst3MonoTrackShorterKey", "vst3", 64, 1, 2, 1.0, 0.4},
                      AlignmentCase{"Vst3ThreeChannelsBigBlocks", "vst3", 8192, 3, 1, 1.0, 1.0}),
    [](const ::testing::TestParamInfo<AlignmentCase>& info) { return std::string(info.param.name); });

// Both modules carry the same engine and meet in the same registry; a render
// of the demo through either must give the same files.
TEST(RenderFormats, ClapAndVst3RenderTheSameOutput) {
  qbtest::ScratchDir dir;
  for (const std::string format : {"clap", "vst3"}) {
    std::vector<std::string> args = qbtest::ModuleArgs(format);
    args.insert(args.end(), {"--demo-seconds", "2", "--no-plot", "--out-dir", dir / format, "--key-output",
                             "demo-key-ducked.wav"});
    const ToolRun run = qbtest::RunTool(args);
    ASSERT_EQ(run.status, 0) << format << ": " << run.err;
    EXPECT_NE(run.out.find(": paired"), std::string::npos) << run.out;
  }
  for (const std::string file : {"demo-ducked.wav", "demo-key-ducked.wav"}) {
    Audio clap, vst3;
    ASSERT_TRUE(qbtest::ReadAudio(dir / ("clap/" + file), clap));
    ASSERT_TRUE(qbtest::ReadAudio(dir / ("vst3/" + file), vst3));
    ASSERT_EQ(clap.Frames(), vst3.Frames());
    EXPECT_LT(MaxDifference(clap, vst3), 1e-6) << file;
  }
  // And the demo did duck something, so the comparison covers the ducking.
  Audio pad, ducked;
  ASSERT_TRUE(qbtest::ReadAudio(dir / "clap/demo-track.wav", pad));
  ASSERT_TRUE(qbtest::ReadAudio(dir / "clap/demo-ducked.wav", ducked));
  EXPECT_GT(MaxDifference(ducked, pad), 1e-3);
}

}  // namespace
