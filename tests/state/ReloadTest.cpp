// The state as hosts see it: the chunk through the CLAP module (alone) and the
// VST3 module (followed by the bypass flag), across formats, and a whole
// reload of a pair of instances in host processes: states saved, processes
// gone, fresh instances in a new process restored, no editor anywhere.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <fstream>
#include <iterator>
#include <thread>

#include "HostedPlugin.h"
#include "PeerProcess.h"
#include "StateTestSupport.h"

namespace {

using qbstate::Bytes;

// ---- Through the modules -----------------------------------------------------------

struct Modules {
  Modules() {
    std::string error;
    clap = qbhost::LoadModule(QB_CLAP_MODULE_PATH, qbhost::Format::Clap, error);
    EXPECT_TRUE(clap) << error;
    vst3 = qbhost::LoadModule(QB_VST3_BUNDLE_PATH, qbhost::Format::Vst3, error);
    EXPECT_TRUE(vst3) << error;
  }
  std::unique_ptr<qbhost::HostedModule> clap, vst3;
};

uint32_t BypassId(qbhost::HostedInstance& instance) {
  for (const qbhost::ParamInfo& p : instance.Params())
    if (p.isBypass) return p.id;
  ADD_FAILURE() << "no bypass parameter";
  return 0;
}

Bytes Bypass(int32_t flag) {
  Bytes b(4);
  std::memcpy(b.data(), &flag, 4);
  return b;
}

Bytes Cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST(StateThroughTheModules, ClapSavesTheChunkAloneAndVst3AppendsTheBypassFlag) {
  Modules m;
  ASSERT_TRUE(m.clap && m.vst3);
  auto clap = m.clap->CreateInstance();
  auto vst3 = m.vst3->CreateInstance();
  ASSERT_TRUE(clap && vst3);

  Bytes chunk, stream;
  ASSERT_TRUE(clap->SaveState(chunk));
  ASSERT_TRUE(vst3->SaveState(stream));
  ASSERT_EQ(chunk.size(), 354u);
  ASSERT_EQ(stream.size(), 358u);
  // The same default chunk from both (the names carry each module's own count).
  EXPECT_EQ(qbstate::Text(qbstate::Decode(chunk).instanceName).rfind("Quellbridge #", 0), 0u);
  EXPECT_EQ(qbstate::Text(qbstate::Decode(stream).instanceName).rfind("Quellbridge #", 0), 0u);
  EXPECT_TRUE(std::equal(chunk.begin() + 64, chunk.end(), stream.begin() + 64));
  EXPECT_EQ(Bytes(stream.end() - 4, stream.end()), Bypass(0));

  vst3->SetParam(BypassId(*vst3), 1.0);
  Bytes bypassed;
  ASSERT_TRUE(vst3->SaveState(bypassed));
  EXPECT_EQ(bypassed, Cat(Bytes(stream.begin(), stream.end() - 4), Bypass(1)));
}

TEST(StateThroughTheModules, EitherFormatRestoresTheOthersChunk) {
  Modules m;
  ASSERT_TRUE(m.clap && m.vst3);
  auto source = m.clap->CreateInstance();
  ASSERT_TRUE(source);
  source->SetParam(qb::kThreshMid, -41.5);
  source->SetParam(qb::kLP, 9876);
  Bytes chunk;
  ASSERT_TRUE(source->SaveState(chunk));
  qb::QBStateChunk named = qbstate::Decode(chunk);
  qbstate::SetName(named.instanceName, "Vocals");
  qbstate::SetName(named.peerName, "Drums");
  chunk = qbstate::Encode(named);

  // A CLAP chunk into VST3, with the bypass flag a VST3 stream carries.
  auto vst3 = m.vst3->CreateInstance();
  ASSERT_TRUE(vst3);
  ASSERT_TRUE(vst3->LoadState(Cat(chunk, Bypass(1))));
  EXPECT_EQ(vst3->GetParam(BypassId(*vst3)), 1.0);
  EXPECT_NEAR(vst3->GetParam(qb::kThreshMid), -41.5, 1e-9);
  Bytes stream;
  ASSERT_TRUE(vst3->SaveState(stream));
  EXPECT_EQ(stream, Cat(chunk, Bypass(1)));

  // And that VST3 stream's chunk back into CLAP.
  auto clap = m.clap->CreateInstance();
  ASSERT_TRUE(clap);
  ASSERT_TRUE(clap->LoadState(Bytes(stream.begin(), stream.end() - 4)));
  Bytes again;
  ASSERT_TRUE(clap->SaveState(again));
  EXPECT_EQ(again, chunk);
}

// ---- A reload of a pair of host processes ----------------------------------------------

Bytes ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const Bytes& bytes) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

double Rms(const std::string& stats) {
  const size_t at = stats.find("rms0=");
  return at == std::string::npos ? -1.0 : std::stod(stats.substr(at + 5));
}

double Db(double ratio) { return 20.0 * std::log10(ratio); }

// One hosted instance: a process and the instance's index in it.
struct Hosted {
  qbtest::PeerProcess* process;
  int index;
  std::string Ok(const std::string& command, const std::string& args = "") {
    return process->Ok(command + " " + std::to_string(index) + (args.empty() ? "" : " " + args));
  }
};

// The edits A's editor makes to B: three bands, range and controls.
const qb::QBBand kEditedBands[3] = {qbstate::Band(20, 400, -40, 10, true), qbstate::Band(400, 4000, -45, 12, true),
                                    qbstate::Band(4000, 20000, -20, 2, false)};
constexpr float kEditedHp = 100, kEditedLp = 12000;
constexpr float kEditedAttack = 5, kEditedRelease = 80, kEditedMakeup = 4;

void ExpectEditsIn(const qb::QBSlot& s) {
  ASSERT_EQ(s.bandCount, 3);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(s.bands[i].freqLo, kEditedBands[i].freqLo) << i;
    EXPECT_EQ(s.bands[i].freqHi, kEditedBands[i].freqHi) << i;
    EXPECT_EQ(s.bands[i].thresholdDb, kEditedBands[i].thresholdDb) << i;
    EXPECT_EQ(s.bands[i].ratio, kEditedBands[i].ratio) << i;
    EXPECT_EQ(s.bands[i].enabled, kEditedBands[i].enabled) << i;
  }
  EXPECT_EQ(s.hpHz, kEditedHp);
  EXPECT_EQ(s.lpHz, kEditedLp);
  EXPECT_EQ(s.attackMs, kEditedAttack);
  EXPECT_EQ(s.releaseMs, kEditedRelease);
  EXPECT_EQ(s.makeupDb, kEditedMakeup);
}

class ReloadRoundTrip : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/qb-reload-test-XXXXXX";
    ASSERT_TRUE(mkdtemp(pattern));
    dir = pattern;
  }
  void TearDown() override {
    for (const char* f : {"/a.state", "/b.state"}) unlink((dir + f).c_str());
    rmdir(dir.c_str());
  }

  // Names an instance as a host's project does: through its state.
  void Name(Hosted h, const std::string& name, const std::string& peer) {
    const std::string file = dir + "/a.state";
    h.Ok("save", file);
    Bytes state = ReadFile(file);
    ASSERT_GE(state.size(), 354u);
    std::memset(state.data() + offsetof(qb::QBStateChunk, instanceName), 0, 64);
    std::memset(state.data() + offsetof(qb::QBStateChunk, peerName), 0, 64);
    std::memcpy(state.data() + offsetof(qb::QBStateChunk, instanceName), name.data(), name.size());
    std::memcpy(state.data() + offsetof(qb::QBStateChunk, peerName), peer.data(), peer.size());
    WriteFile(file, state);
    h.Ok("restore", file);
  }

  // B's output level (dB relative to its own input) while keyed by A.
  double KeyedGainDb(Hosted a, Hosted b) {
    a.Ok("process", "20 sine:1000:0.5");
    b.Ok("process", "40 sine:1000:0.5");
    return Db(Rms(b.Ok("process", "20")) / (0.5 / std::sqrt(2.0)));
  }

  // The pair's slots: paired with each other, named as restored.
  void ExpectPaired(qbstate::Registry& registry, int& a, int& b) {
    a = registry.Find("Vocals");
    b = registry.Find("Drums");
    ASSERT_GE(a, 0);
    ASSERT_GE(b, 0);
    EXPECT_EQ(registry.Slot(a).peerId, registry.Slot(b).instanceId);
    EXPECT_EQ(registry.Slot(b).peerId, registry.Slot(a).instanceId);
  }

  std::string dir;
};

TEST_F(ReloadRoundTrip, APairComesBackPairedWithThePeerEditsReplayedOnce) {
  const std::string aFile = dir + "/a.state", bFile = dir + "/b.state";
  double editedDb = 0;
  {
    // A in one host process (VST3), B in another (CLAP).
    qbtest::PeerProcess p1(QB_PEER_PATH), p2(QB_PEER_PATH);
    ASSERT_TRUE(p1.Running() && p2.Running());
    p1.Ok(std::string("load vst3 ") + QB_VST3_BUNDLE_PATH);
    p2.Ok(std::string("load clap ") + QB_CLAP_MODULE_PATH);
    Hosted a{&p1, std::stoi(p1.Ok("create"))}, b{&p2, std::stoi(p2.Ok("create"))};
    a.Ok("activate", "48000 512");
    b.Ok("activate", "48000 512");
    Name(a, "Vocals", "Drums");
    Name(b, "Drums", "Vocals");  // finds Vocals at once

    qbstate::Registry registry;
    ASSERT_TRUE(registry.Mapped());
    int ia = -1, ib = -1;
    ExpectPaired(registry, ia, ib);
    if (HasFatalFailure()) return;
    const double defaultDb = KeyedGainDb(a, b);
    b.Ok("save", bFile);  // B's project was saved before the edits

    // A's editor edits B: it writes B's slot groups...
    registry.Edit(ib, [](qb::QBSlot& s) {
      s.bandCount = 3;
      std::memcpy(s.bands, kEditedBands, sizeof kEditedBands);
      ++s.bandSeq;
      s.hpHz = kEditedHp, s.lpHz = kEditedLp;
      ++s.hpLpSeq;
      s.attackMs = kEditedAttack, s.releaseMs = kEditedRelease, s.makeupDb = kEditedMakeup;
      ++s.controlsSeq;
    });
    editedDb = KeyedGainDb(a, b);
    EXPECT_GT(std::fabs(editedDb - defaultDb), 6.0) << "default " << defaultDb << " dB, edited " << editedDb << " dB";

    // ...and records the same in A's shadow of its peer.
    a.Ok("save", aFile);
    Bytes state = ReadFile(aFile);
    ASSERT_EQ(state.size(), 358u);
    qb::QBStateChunk c = qbstate::Decode(state);
    c.shadowBandCount = 3;
    for (int i = 0; i < 3; ++i) {
      c.shadowFreqs[2 * i] = kEditedBands[i].freqLo;
      c.shadowFreqs[2 * i + 1] = kEditedBands[i].freqHi;
      c.shadowThresholds[i] = kEditedBands[i].thresholdDb;
      c.shadowRatios[i] = kEditedBands[i].ratio;
      c.shadowEnabled[i] = kEditedBands[i].enabled;
    }
    c.shadowHp = kEditedHp, c.shadowLp = kEditedLp;
    c.shadowAttack = kEditedAttack, c.shadowRelease = kEditedRelease, c.shadowMakeup = kEditedMakeup;
    const Bytes chunk = qbstate::Encode(c);
    std::copy(chunk.begin(), chunk.end(), state.begin());
    WriteFile(aFile, state);

    a.Ok("destroy");
    b.Ok("destroy");
    EXPECT_EQ(p1.Quit(), 0);
    EXPECT_EQ(p2.Quit(), 0);
  }

  // The project is opened again: one host process, fresh instances.
  qbtest::PeerProcess p3(QB_PEER_PATH);
  ASSERT_TRUE(p3.Running());
  p3.Ok(std::string("load vst3 ") + QB_VST3_BUNDLE_PATH);
  p3.Ok(std::string("load clap ") + QB_CLAP_MODULE_PATH);
  Hosted a{&p3, std::stoi(p3.Ok("create 0"))}, b{&p3, std::stoi(p3.Ok("create 1"))};
  a.Ok("activate", "48000 512");
  b.Ok("activate", "48000 512");
  b.Ok("restore", bFile);
  qbstate::Registry registry;
  ASSERT_TRUE(registry.Mapped());
  const int ib = registry.Find("Drums");
  ASSERT_GE(ib, 0);
  const qbstate::Counters restored = qbstate::CountersOf(registry.Slot(ib));
  a.Ok("restore", aFile);

  int ia = -1, ib2 = -1;
  ExpectPaired(registry, ia, ib2);
  if (HasFatalFailure()) return;
  ASSERT_EQ(ib2, ib);
  const qbstate::Counters replayed{restored.bands + 1, restored.hpLp + 1, restored.controls + 1};
  EXPECT_EQ(qbstate::CountersOf(registry.Slot(ib)), replayed);
  ExpectEditsIn(registry.Slot(ib));

  // The ducking is what it was before the save.
  EXPECT_NEAR(KeyedGainDb(a, b), editedDb, 0.5);

  // Later beats of either instance change nothing.
  std::this_thread::sleep_for(std::chrono::milliseconds(3500));
  EXPECT_EQ(qbstate::CountersOf(registry.Slot(ib)), replayed);
  ExpectPaired(registry, ia, ib2);
  EXPECT_EQ(p3.Quit(), 0);
}

}  // namespace
