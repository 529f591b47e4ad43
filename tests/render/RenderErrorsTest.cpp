// Every failure of the tool: a clear message, a non-zero exit status, and no
// output file left behind.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <fstream>
#include <limits>
#include <thread>

#include "RenderTestSupport.h"
#include "registry/RegistryLayout.h"

namespace {

using qbtest::ToolRun;

// Placeholders in a case's arguments, replaced per run.
constexpr const char* kTrack = "@track";        // a readable 44.1 kHz track
constexpr const char* kKey = "@key";            // a readable 44.1 kHz key
constexpr const char* kKey48 = "@key48";        // a key at 48 kHz
constexpr const char* kText = "@text";          // a file that is not audio
constexpr const char* kMissing = "@missing";    // no such file
constexpr const char* kOutDir = "@out";         // the output folder (must stay absent)
constexpr const char* kTrackCopy = "@trackout"; // the track's path, as an output name
constexpr const char* kNan = "@nan";            // a float WAV with a NaN inside

struct ErrorCase {
  const char* name;
  std::vector<std::string> args;
  std::string message;  // expected in stderr
  bool withModule = true;
  std::vector<std::pair<std::string, std::string>> env = {};
};

class RenderErrors : public ::testing::TestWithParam<ErrorCase> {
 protected:
  static void SetUpTestSuite() {
    sDir = new qbtest::ScratchDir;
    qbtest::WriteWav(*sDir / "track.wav", qbtest::TestMaterial(44100.0, 0.5, 2, 1));
    qbtest::WriteWav(*sDir / "key.wav", qbtest::TestMaterial(44100.0, 0.5, 2, 2));
    qbtest::WriteWav(*sDir / "key48.wav", qbtest::TestMaterial(48000.0, 0.5, 2, 2));
    std::ofstream(*sDir / "notes.txt") << "these are not samples\n";
    qbtest::Audio broken = qbtest::TestMaterial(44100.0, 0.5, 2, 1);
    broken.channels[1][10000] = std::numeric_limits<float>::quiet_NaN();
    qbtest::WriteWav(*sDir / "nan.wav", broken);
  }
  static void TearDownTestSuite() {
    delete sDir;
    sDir = nullptr;
  }
  static std::string Expand(const std::string& arg) {
    const std::pair<const char*, const char*> names[] = {{kTrack, "track.wav"}, {kKey, "key.wav"},
                                                         {kKey48, "key48.wav"}, {kText, "notes.txt"},
                                                         {kMissing, "missing.wav"}, {kOutDir, "out"},
                                                         {kTrackCopy, "track.wav"}, {kNan, "nan.wav"}};
    for (const auto& [token, file] : names)
      if (arg == token) return *sDir / file;
    return arg;
  }
  static qbtest::ScratchDir* sDir;
};
qbtest::ScratchDir* RenderErrors::sDir = nullptr;

TEST_P(RenderErrors, FailsWithItsMessageAndWritesNothing) {
  const ErrorCase& c = GetParam();
  std::vector<std::string> args;
  if (c.withModule) args = qbtest::ModuleArgs("clap");
  args.insert(args.end(), {"--out-dir", Expand(kOutDir), "--pair-timeout", "2"});
  for (const std::string& a : c.args) args.push_back(Expand(a));
  std::vector<std::pair<std::string, std::string>> env;
  for (const auto& [name, value] : c.env) env.emplace_back(name, Expand(value));
  const std::vector<std::string> before = qbtest::FilesBelow(sDir->Path());

  const ToolRun run = qbtest::RunTool(args, env);
  EXPECT_NE(run.status, 0);
  EXPECT_NE(run.status, -1) << "the tool crashed";
  EXPECT_NE(run.err.find(c.message), std::string::npos) << "stderr: " << run.err;
  EXPECT_FALSE(qbtest::Exists(Expand(kOutDir))) << "output left behind";
  EXPECT_EQ(qbtest::FilesBelow(sDir->Path()), before) << "files changed next to the inputs";
}

INSTANTIATE_TEST_SUITE_P(
    Table, RenderErrors,
    ::testing::Values(
        ErrorCase{"MissingTrack", {kMissing, kKey}, "cannot read '"},
        ErrorCase{"MissingKey", {kTrack, kMissing}, "cannot read '"},
        ErrorCase{"TrackIsNotAudio", {kText, kKey}, "cannot read '"},
        ErrorCase{"InputHoldsNotANumber", {kNan, kKey}, "nan.wav' holds a sample that is not a number, at 0.227 s"},
        ErrorCase{"SampleRatesDiffer", {kTrack, kKey48}, "different sample rates"},
        ErrorCase{"OnlyOneInput", {kTrack}, "a key file is needed"},
        ErrorCase{"UnknownParameter", {"Thresh=-30"}, "unknown parameter 'Thresh'; the parameters are FreqLow"},
        ErrorCase{"ParameterBelowItsRange", {"ThreshMid=-70"}, "ThreshMid=-70 is out of range: ThreshMid takes -60 .. 0"},
        ErrorCase{"ParameterAboveItsRange", {"-p", "RatioLow=25"}, "RatioLow takes 1 .. 20"},
        ErrorCase{"KeyParameterOutOfRange", {"--key-param", "Attack=1000"}, "Attack takes 0.1 .. 300"},
        ErrorCase{"ParameterNotANumber", {"Release=slow"}, "'slow' is not a number: Release takes 5 .. 2000"},
        ErrorCase{"SteppedParameterBetweenSteps", {"LinkSlot=2.5"}, "LinkSlot takes 0 .. 4 in steps of 1"},
        ErrorCase{"BandCount", {"--bands", "4"}, "--bands: expected 1, 2 or 3"},
        ErrorCase{"EdgeBelowFreqLowRange", {"--edges", "10,5000"}, "band edge 10 Hz is out of range: as FreqLow it takes 20 .. 2000"},
        ErrorCase{"EdgeAboveFreqHighRange", {"--edges", "200,30000"}, "as FreqHigh it takes 500 .. 20000"},
        ErrorCase{"EdgesNotRising", {"--edges", "1500,800"}, "band edges must rise"},
        ErrorCase{"EdgeCountForTwoBands", {"--bands", "2", "--edges", "100,4000"}, "--bands 2 takes one edge"},
        ErrorCase{"EdgesGivenTwice", {"--edges", "300,4000", "FreqLow=250"}, "the band edges are given twice"},
        ErrorCase{"BlockSize", {"--block-size", "0"}, "--block-size: expected a whole number from 1 to 8192"},
        ErrorCase{"Format", {"--format", "au"}, "--format: expected clap or vst3", false},
        ErrorCase{"ModuleMissing", {"--module", "@missing"}, "cannot load the CLAP module", false},
        ErrorCase{"ModuleIsNotAModule", {"--module", "@text"}, "cannot load the CLAP module", false},
        ErrorCase{"UnknownOption", {"--frobnicate"}, "unknown option --frobnicate"},
        ErrorCase{"PlotNotPng", {"--plot", "figure.jpg"}, "--plot: expected a file name ending in .png"},
        ErrorCase{"OutputType", {"-o", "ducked.mp3"}, "the name must end in .wav, .flac, .aif or .aiff"},
        ErrorCase{"OutputOverwritesInput", {kTrack, kKey, "-o", kTrackCopy}, "refusing to overwrite the input"},
        ErrorCase{"PlotWithoutMatplotlib",
                  {"--plot", "figure.png"},
                  "cannot draw '",
                  true,
                  {{"QUELLBRIDGE_RENDER_PYTHON", "@missing"}}}),
    [](const ::testing::TestParamInfo<ErrorCase>& info) { return std::string(info.param.name); });

// A registry whose sixteen slots are all held by live instances: the tool's
// instances cannot join it, so they can never pair.
class FullRegistry {
 public:
  FullRegistry() {
    shm_unlink("/qb_spectral_registry");
    const int fd = shm_open("/qb_spectral_registry", O_RDWR | O_CREAT | O_EXCL, 0644);
    if (fd < 0 || ftruncate(fd, qb::kRegistrySize) != 0) return;
    void* base = mmap(nullptr, qb::kRegistrySize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (base == MAP_FAILED) return;  // Ready() stays false
    auto* r = static_cast<qb::QBRegistry*>(base);
    std::memset(r, 0, sizeof *r);
    r->version = qb::kRegistryVersion;
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
    pthread_mutex_init(&r->mutex, &attr);
    pthread_mutexattr_destroy(&attr);
    for (int i = 0; i < qb::kSlotCount; ++i) {
      qb::QBSlot& s = r->slots[i];
      s.alive = 1;
      s.instanceId = 0x7e57000000000000ULL + static_cast<uint64_t>(i) + 1;
      std::snprintf(s.displayName, sizeof s.displayName, "Somebody else #%d", i + 1);
      s.heartbeat = std::time(nullptr);
    }
    r->slotHighWater = qb::kSlotCount;
    r->magic = qb::kRegistryMagic;
    mRegistry = r;
    // The slots' owners stay alive: their heartbeats keep coming.
    mKeeper = std::thread([this] {
      while (!mStop.load()) {
        const int locked = pthread_mutex_lock(&mRegistry->mutex);
        if (locked == EOWNERDEAD) pthread_mutex_consistent(&mRegistry->mutex);
        if (locked == 0 || locked == EOWNERDEAD) {
          for (qb::QBSlot& s : mRegistry->slots) s.heartbeat = std::time(nullptr);
          pthread_mutex_unlock(&mRegistry->mutex);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
      }
    });
  }
  ~FullRegistry() {
    mStop.store(true);
    if (mKeeper.joinable()) mKeeper.join();
    if (mRegistry) munmap(mRegistry, qb::kRegistrySize);
    shm_unlink("/qb_spectral_registry");
  }
  bool Ready() const { return mRegistry != nullptr; }

 private:
  qb::QBRegistry* mRegistry = nullptr;
  std::thread mKeeper;
  std::atomic<bool> mStop{false};
};

TEST(RenderPairing, InstancesThatCannotPairFailTheRenderAndWriteNothing) {
  FullRegistry registry;
  ASSERT_TRUE(registry.Ready());
  qbtest::ScratchDir dir;
  for (const std::string format : {"clap", "vst3"}) {
    std::vector<std::string> args = qbtest::ModuleArgs(format);
    args.insert(args.end(), {"--demo-seconds", "1", "--out-dir", dir / "out", "--pair-timeout", "1"});
    const ToolRun run = qbtest::RunTool(args);
    EXPECT_EQ(run.status, 1) << format << ": " << run.err;
    EXPECT_NE(run.err.find("did not pair within 1 s"), std::string::npos) << format << ": " << run.err;
    EXPECT_FALSE(qbtest::Exists(dir / "out")) << format;
  }
}

}  // namespace
