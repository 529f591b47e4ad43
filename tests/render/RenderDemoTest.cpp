// The built-in demo end to end: the built tool loads the build tree's module,
// pairs its two instances through their states and ducks the pad only where
// the beat is loud.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "RenderTestSupport.h"

namespace {

using qbtest::ToolRun;

std::vector<std::string> DemoArgs(const std::string& format, const std::string& outDir,
                                  std::vector<std::string> extra = {}) {
  std::vector<std::string> args = qbtest::ModuleArgs(format);
  args.insert(args.end(), {"--demo-seconds", "2", "--out-dir", outDir});
  args.insert(args.end(), extra.begin(), extra.end());
  return args;
}

double Db(double ratio) { return 10.0 * std::log10(ratio); }

TEST(RenderDemo, PairsTheInstancesAndDucksThePadOnlyInTheBeatsBand) {
  qbtest::ScratchDir dir;
  const std::string out = dir / "demo";
  const ToolRun run = qbtest::RunTool(DemoArgs("clap", out, {"--no-plot"}));
  ASSERT_EQ(run.status, 0) << run.err;

  // The summary names both instances and says they are paired.
  EXPECT_NE(run.out.find("paired"), std::string::npos) << run.out;
  EXPECT_EQ(run.out.find("not paired"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("\"Track-"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("\"Key-"), std::string::npos) << run.out;
  EXPECT_EQ(qbtest::FilesBelow(out), (std::vector<std::string>{"demo-ducked.wav", "demo-key.wav", "demo-track.wav"}));

  qbtest::Audio pad, beat, ducked;
  ASSERT_TRUE(qbtest::ReadAudio(out + "/demo-track.wav", pad));
  ASSERT_TRUE(qbtest::ReadAudio(out + "/demo-key.wav", beat));
  ASSERT_TRUE(qbtest::ReadAudio(out + "/demo-ducked.wav", ducked));
  ASSERT_EQ(ducked.Frames(), pad.Frames());
  ASSERT_EQ(ducked.channels.size(), 2u);

  // The demo is built so that this test means something: the beat's energy
  // sits below 200 Hz, the pad's is spread over all three bands.
  const std::vector<double> beatBands = qbtest::BandEnergies(beat, 200.0, 5000.0);
  const std::vector<double> padBands = qbtest::BandEnergies(pad, 200.0, 5000.0);
  const double beatTotal = beatBands[0] + beatBands[1] + beatBands[2];
  const double padTotal = padBands[0] + padBands[1] + padBands[2];
  EXPECT_GT(beatBands[0] / beatTotal, 0.9);
  for (double e : padBands) EXPECT_GT(e / padTotal, 1e-3);

  const std::vector<double> after = qbtest::BandEnergies(ducked, 200.0, 5000.0);
  EXPECT_LT(Db(after[0] / padBands[0]), -2.0) << "the pad's low band is not ducked by the kick";
  EXPECT_NEAR(Db(after[1] / padBands[1]), 0.0, 0.5) << "the mid band changed";
  EXPECT_NEAR(Db(after[2] / padBands[2]), 0.0, 0.5) << "the high band changed";
}

TEST(RenderDemo, QuietPrintsNothing) {
  qbtest::ScratchDir dir;
  const ToolRun run = qbtest::RunTool(DemoArgs("clap", dir / "demo", {"--no-plot", "--quiet"}));
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "");
}

TEST(RenderDemo, WithoutMatplotlibTheDemoSkipsOnlyItsFigure) {
  qbtest::ScratchDir dir;
  const std::string out = dir / "demo";
  const ToolRun run =
      qbtest::RunTool(DemoArgs("clap", out), {{"QUELLBRIDGE_RENDER_PYTHON", dir / "no-such-python"}});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.err.find("no figure"), std::string::npos) << run.err;
  EXPECT_EQ(qbtest::FilesBelow(out), (std::vector<std::string>{"demo-ducked.wav", "demo-key.wav", "demo-track.wav"}));
}

TEST(RenderDemo, DrawsItsFigureAsPng) {
  qbtest::ScratchDir dir;
  const std::string out = dir / "demo";
  if (std::system("/usr/bin/python3 -c 'import matplotlib, numpy' 2>/dev/null") != 0)
    GTEST_SKIP() << "matplotlib is not available to /usr/bin/python3";
  const ToolRun run = qbtest::RunTool(DemoArgs("clap", out));
  ASSERT_EQ(run.status, 0) << run.err;
  ASSERT_TRUE(qbtest::Exists(out + "/demo-plot.png"));
  FILE* f = std::fopen((out + "/demo-plot.png").c_str(), "rb");
  ASSERT_TRUE(f);
  unsigned char signature[8] = {};
  EXPECT_EQ(std::fread(signature, 1, 8, f), 8u);
  std::fclose(f);
  const unsigned char png[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
  EXPECT_EQ(std::memcmp(signature, png, 8), 0);
  EXPECT_NE(run.out.find("demo-plot.png"), std::string::npos) << run.out;
}

TEST(RenderDemo, AnInterruptedRenderLeavesNothingBehind) {
  qbtest::ScratchDir dir;
  const std::string out = dir / "out";
  // A minute at a low rate: long enough to be caught while writing.
  qbtest::WriteWav(dir / "track.wav", qbtest::TestMaterial(8000.0, 60.0, 2, 1));
  qbtest::WriteWav(dir / "key.wav", qbtest::TestMaterial(8000.0, 60.0, 2, 2));
  std::vector<std::string> argv = {QB_RENDER_TOOL_PATH};
  for (const std::string& a : qbtest::ModuleArgs("clap")) argv.push_back(a);
  argv.insert(argv.end(), {dir / "track.wav", dir / "key.wav", "--out-dir", out, "--block-size", "64"});
  std::vector<char*> cargv;
  for (std::string& a : argv) cargv.push_back(a.data());
  cargv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    if (!std::freopen("/dev/null", "w", stdout) || !std::freopen("/dev/null", "w", stderr)) _exit(126);
    execv(cargv[0], cargv.data());
    _exit(127);
  }
  ASSERT_GT(pid, 0);
  // Wait until the render writes its temporary files, then interrupt it.
  bool writing = false;
  bool exited = false;
  int status = 0;
  while (!writing && !exited) {
    for (const std::string& f : qbtest::FilesBelow(out))
      if (f.find(".partial-") != std::string::npos) writing = true;
    exited = waitpid(pid, &status, WNOHANG) == pid;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (!exited) {
    kill(pid, SIGINT);
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
  }
  ASSERT_TRUE(writing) << "the render ended before it wrote anything";
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_NE(WEXITSTATUS(status), 0);
  EXPECT_FALSE(qbtest::Exists(out)) << "left behind: " << ::testing::PrintToString(qbtest::FilesBelow(out));
}

TEST(RenderTool, HelpDescribesTheChannelHandling) {
  const ToolRun run = qbtest::RunTool({"--help"});
  EXPECT_EQ(run.status, 0);
  EXPECT_NE(run.out.find("Usage: quellbridge-render"), std::string::npos);
  EXPECT_NE(run.out.find("mono input plays on both channels"), std::string::npos);
  EXPECT_NE(run.out.find("only the first two are used"), std::string::npos);
}

TEST(RenderTool, FindsTheBuildTreesModuleWhenNoneIsInstalled) {
  for (const char* installed : {"/usr/lib/clap/Quellbridge.clap", "/usr/lib/vst3/Quellbridge.vst3",
                                "/usr/local/lib/vst3/Quellbridge.vst3"})
    if (qbtest::Exists(installed)) GTEST_SKIP() << installed << " is installed system-wide";
  qbtest::ScratchDir home;
  for (const std::string format : {"clap", "vst3"}) {
    const ToolRun run =
        qbtest::RunTool({"--list-params", "--format", format}, {{"HOME", home.Path()}, {"CLAP_PATH", ""}});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find(format == "clap" ? QB_CLAP_MODULE_PATH : QB_VST3_BUNDLE_PATH), std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("ThreshMid"), std::string::npos);
  }
}

}  // namespace
