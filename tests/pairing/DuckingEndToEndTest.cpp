// Ducking end to end through the real modules, hosted by qb-peer processes:
// two instances paired through the registry (the writes another instance's
// editor makes), in one process, in two processes, and a VST3 instance with a
// CLAP one.
//
// The stimulus makes the expected values exact. Input sines sit at bin
// centres (48 kHz, N = 1024: bin k at k x 46.875 Hz), so the 50 % overlapped
// Hann frames split each one into three bin-centred cosines that the
// overlap-add puts back together as the sine scaled by the gain of its centre
// bin. The peer's published magnitude for a sine of amplitude b in both
// channels is b x N/2 at the centre bin, i.e. 20 log10(2b) dB on the N/4 = 0 dB
// scale, and the ducking law gives the gain of that bin in closed form.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <memory>
#include <sstream>
#include <string>

#include "PairingTestSupport.h"
#include "PeerProcess.h"

namespace {

using qbtest::PeerProcess;

constexpr double kRate = 48000.0;
constexpr int kBlock = 256;
constexpr double kBinHz = kRate / 1024.0;
constexpr double kDuckedHz = 21 * kBinHz;    // 984.375 Hz, carried by both
constexpr double kUntouchedHz = 90 * kBinHz;  // 4218.75 Hz, only in A
constexpr double kAmpA = 0.25;                // each of A's two sines
constexpr double kAmpB = 0.4;                 // B's sine
constexpr double kThresholdDb = -20.0;        // the defaults
constexpr double kRatio = 4.0;
// Release 100 ms at 93.75 frames per second: 0.8988 per frame.
constexpr int kReleaseTimeConstantSamples = 4800;
constexpr int kLatency = 2048;  // the output is the input delayed by 2N

const std::string kToneA = std::to_string(kDuckedHz) + ":" + std::to_string(kAmpA) + "," +
                           std::to_string(kUntouchedHz) + ":" + std::to_string(kAmpA);
const std::string kToneB = std::to_string(kDuckedHz) + ":" + std::to_string(kAmpB);

double PeerLevelDb(double amplitude) { return 20.0 * std::log10(2.0 * amplitude); }

// Amplitudes "<hz>=<ch0>,<ch1>" of a tones reply, by frequency.
struct Measured {
  bool finite = false;
  std::map<double, std::pair<double, double>> amplitude;
};

Measured Parse(const std::string& reply) {
  Measured m;
  std::istringstream in(reply);
  std::string item;
  while (in >> item) {
    const size_t eq = item.find('=');
    if (eq == std::string::npos) continue;
    const std::string key = item.substr(0, eq), value = item.substr(eq + 1);
    if (key == "nan") m.finite = value == "0";
    const size_t comma = value.find(',');
    if (comma == std::string::npos || key == "frames" || key == "maxabs") continue;
    m.amplitude[std::atof(key.c_str())] = {std::atof(value.substr(0, comma).c_str()),
                                           std::atof(value.substr(comma + 1).c_str())};
  }
  return m;
}

struct Placement {
  const char* name;
  const char* formatA;
  int processA;
  const char* formatB;
  int processB;
};

void PrintTo(const Placement& p, std::ostream* os) { *os << p.name; }

std::string ModulePath(const std::string& format) { return format == "clap" ? QB_CLAP_MODULE_PATH : QB_VST3_BUNDLE_PATH; }

// One hosted instance: its process and its index there.
struct Hosted {
  PeerProcess* process = nullptr;
  std::string index;
  uint64_t id = 0;

  Measured Run(int blocks, const std::string& tones, int window) {
    const std::string reply = process->Ok("tones " + index + " " + std::to_string(blocks) + " " + tones + " " +
                                          std::to_string(window) + " " + std::to_string(kDuckedHz) + " " +
                                          std::to_string(kUntouchedHz));
    Measured m = Parse(reply);
    EXPECT_TRUE(m.finite) << reply;
    return m;
  }
};

class DuckingEndToEnd : public ::testing::TestWithParam<Placement> {
 protected:
  void SetUp() override {
    qbtest::RemoveSegment();
    const Placement& p = GetParam();
    for (int i = 0; i <= std::max(p.processA, p.processB); ++i) {
      processes.push_back(std::make_unique<PeerProcess>(QB_PEER_PATH));
      ASSERT_TRUE(processes.back()->Running());
    }
    a = Create(p.processA, p.formatA);
    b = Create(p.processB, p.formatB);
    ASSERT_NE(a.id, 0u);
    ASSERT_NE(b.id, 0u);
    ASSERT_NE(a.id, b.id);
    for (Hosted* h : {&a, &b}) h->process->Ok("activate " + h->index + " 48000 " + std::to_string(kBlock));
  }

  void TearDown() override {
    for (auto& p : processes) EXPECT_EQ(p->Quit(), 0);
  }

  Hosted Create(int process, const std::string& format) {
    PeerProcess& peer = *processes[static_cast<size_t>(process)];
    const std::string key = std::to_string(process) + format;
    if (!modules.count(key)) modules[key] = peer.Ok("load " + format + " " + ModulePath(format));
    view.Map();
    const std::set<uint64_t> before = view.AliveIds();
    Hosted h;
    h.process = &peer;
    h.index = peer.Ok("create " + modules[key]);
    view.Map();
    h.id = view.NewId(before);
    return h;
  }

  std::vector<std::unique_ptr<PeerProcess>> processes;
  std::map<std::string, std::string> modules;
  qbtest::RegistryView view;
  Hosted a, b;
};

void ExpectAmplitudeDb(double measured, double expected, double toleranceDb, const char* what) {
  EXPECT_NEAR(qbtest::ToDb(measured), qbtest::ToDb(expected), toleranceDb)
      << what << ": measured " << measured << ", expected " << expected;
}

TEST_P(DuckingEndToEnd, PairedBinIsDuckedByTheGainLawAndRecoversWithTheRelease) {
  EXPECT_EQ(a.process->Ok("latency " + a.index), std::to_string(kLatency));

  // Unpaired: both of A's sines come through at unity; B publishes its spectrum.
  b.Run(40, kToneB, 2048);
  Measured m = a.Run(40, kToneA, 2048);
  ExpectAmplitudeDb(m.amplitude[kDuckedHz].first, kAmpA, 0.01, "unpaired, ducked frequency");
  ExpectAmplitudeDb(m.amplitude[kUntouchedHz].second, kAmpA, 0.01, "unpaired, other frequency");

  // Paired: A's bin 21 converges (attack 10 ms) to the gain the law predicts
  // from B's level there; bin 90, where B is silent, keeps unity.
  ASSERT_TRUE(view.Pair(a.id, b.id));
  const double gainA = qbtest::DuckingGain(PeerLevelDb(kAmpB), kThresholdDb, kRatio);
  m = a.Run(100, kToneA, 2048);
  ExpectAmplitudeDb(m.amplitude[kDuckedHz].first, kAmpA * gainA, 0.05, "paired, ducked frequency, channel 0");
  ExpectAmplitudeDb(m.amplitude[kDuckedHz].second, kAmpA * gainA, 0.05, "paired, ducked frequency, channel 1");
  ExpectAmplitudeDb(m.amplitude[kUntouchedHz].first, kAmpA, 0.1, "paired, other frequency, channel 0");
  ExpectAmplitudeDb(m.amplitude[kUntouchedHz].second, kAmpA, 0.1, "paired, other frequency, channel 1");

  // The pairing is mutual: B is ducked by A's level in the same bin.
  const double gainB = qbtest::DuckingGain(PeerLevelDb(kAmpA), kThresholdDb, kRatio);
  m = b.Run(100, kToneB, 2048);
  ExpectAmplitudeDb(m.amplitude[kDuckedHz].first, kAmpB * gainB, 0.05, "B, ducked frequency");
  EXPECT_LT(m.amplitude[kUntouchedHz].first, 1e-4) << "B has nothing at the other frequency";

  // Unpaired again: the bin recovers with the release time. Measured over
  // the last 1024 samples of a stretch ending 2N + half a release time
  // constant after the unpairing, the gains at work are 2.5 to 6.5 frames
  // into the release (4.6 to 8.6 dB down): well short of unity, but rising.
  ASSERT_TRUE(view.Unpair(a.id, b.id));
  const int early = (kLatency + kReleaseTimeConstantSamples / 2) / kBlock;
  m = a.Run(early, kToneA, 1024);
  const double attenuationDb = qbtest::ToDb(kAmpA) - qbtest::ToDb(m.amplitude[kDuckedHz].first);
  EXPECT_GT(attenuationDb, 3.0) << "recovered before one release time constant";
  EXPECT_LT(attenuationDb, qbtest::ToDb(kAmpA) - qbtest::ToDb(kAmpA * gainA) - 3.0) << "not recovering";
  // Five more time constants: back at unity.
  m = a.Run(5 * kReleaseTimeConstantSamples / kBlock + 8, kToneA, 2048);
  ExpectAmplitudeDb(m.amplitude[kDuckedHz].first, kAmpA, 0.1, "recovered, ducked frequency");
  ExpectAmplitudeDb(m.amplitude[kUntouchedHz].first, kAmpA, 0.1, "recovered, other frequency");
}

INSTANTIATE_TEST_SUITE_P(Placements, DuckingEndToEnd,
                         ::testing::Values(Placement{"ClapPairInOneProcess", "clap", 0, "clap", 0},
                                           Placement{"ClapPairInTwoProcesses", "clap", 0, "clap", 1},
                                           Placement{"Vst3WithClapInOneProcess", "vst3", 0, "clap", 0},
                                           Placement{"ClapWithVst3InTwoProcesses", "clap", 0, "vst3", 1}),
                         [](const ::testing::TestParamInfo<Placement>& info) { return std::string(info.param.name); });

}  // namespace
