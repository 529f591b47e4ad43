// Several threads on one handle at once, as in a host: the audio thread's
// single tries, the heartbeat, and the editor / main thread pairing and
// writing. Meant for the ThreadSanitizer build; in the others it checks that
// the registry ends up consistent.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "RegistryTestSupport.h"
#include "registry/Heartbeat.h"
#include "registry/QuellbridgeSHM.h"

namespace {

using namespace qb;

void AudioBlocks(QuellbridgeSHM& h, int blocks) {
  float key[kSpectrumBins];
  float magnitudes[512];
  for (int i = 0; i < 512; ++i) magnitudes[i] = static_cast<float>(i);
  uint64_t lastBandSeq = 0;
  for (int block = 0; block < blocks; ++block) {
    h.RefreshRemoteId();
    if (h.ReadOwnBypass()) {
      h.PublishBypassed();
      continue;
    }
    QBBandGroup bands;
    if (h.ReadBands(SlotTarget::Own, LockMode::SingleTry, bands) == GroupRead::Read && bands.seq != lastBandSeq)
      lastBandSeq = bands.seq;
    QBHpLpGroup hpLp;
    h.ReadHpLp(SlotTarget::Own, LockMode::SingleTry, hpLp);
    QBControlsGroup controls;
    h.ReadControls(SlotTarget::Own, LockMode::SingleTry, controls);
    h.CopyPeerSpectrum(key);
    h.PublishGainReduction({-1, -2, -3});
    h.PublishSpectrum(magnitudes, 512);
    h.PublishBandLevels({0.1f, 0.2f, 0.3f});
  }
}

TEST(ConcurrencyTest, AudioHeartbeatAndEditorThreadsShareAHandle) {
  qbtest::RemoveSegment();
  QuellbridgeSHM a, b;
  ASSERT_TRUE(a.Open());
  ASSERT_TRUE(b.Open());
  a.WriteDefaultGroups();
  b.WriteDefaultGroups();

  std::atomic<int> rejoins{0};
  std::atomic<int> beats{0};
  Heartbeat heartbeatA, heartbeatB;
  ASSERT_TRUE(heartbeatA.Start(a, {[&] { ++rejoins; }, [&] {
                                     ++beats;
                                     a.ListInstances();
                                   }}));
  ASSERT_TRUE(heartbeatB.Start(b, {}));

  std::atomic<bool> editing{true};
  std::thread audioA([&] { AudioBlocks(a, 3000); });
  std::thread audioB([&] { AudioBlocks(b, 3000); });
  // The heartbeat's beat itself, much more often than every 3 s.
  std::thread beating([&] {
    while (editing.load()) {
      a.Beat();
      std::this_thread::yield();
    }
  });

  const QBBand bands[2] = {{20, 400, -12, 2, 1, {}}, {400, 20000, -24, 6, 1, {}}};
  for (int i = 0; i < 300; ++i) {
    a.SetRemoteId(i % 3 == 2 ? 0 : b.InstanceId());
    a.WriteBands(SlotTarget::Peer, 2, bands);
    a.WriteHpLp(SlotTarget::Own, 30, 15000);
    a.WriteRemoteControls(10, 100, static_cast<float>(i % 10));
    a.WriteControls(10, 100, 1);
    if (i % 50 == 0) a.ToggleOwnBypass();
    if (const auto flag = a.ReadBypassOf(a.RemoteId()); flag.has_value()) a.SetBypassOf(a.RemoteId(), false);
    a.SetDisplayName(i % 2 ? "editing" : "editing again");
    float at, rel, mk;
    a.ReadRemoteControls(at, rel, mk);
    a.ListInstances();
    a.ReapStaleSlots();
    b.SetRemoteId(a.InstanceId());
  }
  editing = false;
  audioA.join();
  audioB.join();
  beating.join();
  heartbeatA.Stop();
  heartbeatB.Stop();

  EXPECT_EQ(rejoins.load(), 0) << "nobody lost a slot";
  EXPECT_GE(beats.load(), 1);
  a.SetRemoteId(b.InstanceId());
  ASSERT_TRUE(b.RefreshRemoteId());
  EXPECT_EQ(b.RemoteId(), a.InstanceId());
  EXPECT_EQ(a.ListInstances().size(), 1);
}

// Two handles map the segment at different addresses, so a race between
// them is invisible to ThreadSanitizer. Here one handle is paired with
// itself: every peer read and write of the editor thread meets the audio
// thread's accesses in the same mapping.
TEST(ConcurrencyTest, EveryFieldSharedWithinOneMapping) {
  qbtest::RemoveSegment();
  QuellbridgeSHM a;
  ASSERT_TRUE(a.Open());
  a.WriteDefaultGroups();
  a.SetRemoteId(a.InstanceId());

  std::atomic<bool> running{true};
  std::thread heartbeat([&] {
    while (running.load()) {
      a.Beat();
      std::this_thread::yield();
    }
  });
  std::thread editor([&] {
    float key[kSpectrumBins];
    float curve[kEditorSpectrumPoints] = {};
    const QBBand band{50, 5000, -18, 3, 1, {}};
    for (int tick = 0; running.load(); ++tick) {
      a.CopyPeerSpectrum(key);
      float gr[3];
      a.ReadGainReduction(SlotTarget::Peer, LockMode::SingleTry, gr);
      QBBandGroup bands;
      a.ReadBands(SlotTarget::Peer, LockMode::SingleTry, bands);
      a.RefreshRemoteId();
      a.PublishBandLevels({0, 0, 0});
      if (tick % 16 == 0) {
        QBHpLpGroup hpLp;
        a.ReadHpLp(SlotTarget::Peer, LockMode::WithRetry, hpLp);
        a.WriteBands(SlotTarget::Peer, 1, &band);
        a.WriteHpLp(SlotTarget::Peer, 25, 18000);
        a.WriteRemoteControls(12, 120, 1);
        a.PublishEditorSpectrum(curve);
        a.ListInstances();
        a.ReapStaleSlots();
      }
    }
  });
  std::thread host([&] {
    for (int i = 0; running.load(); ++i) {
      a.SetDisplayName(i % 2 ? "self" : "self again");
      a.WriteControls(10, 100, static_cast<float>(i % 5));
      if (i % 60 == 0) a.ToggleOwnBypass();
      if (const auto flag = a.ReadBypassOf(a.InstanceId()); flag.value_or(false)) a.SetBypassOf(a.InstanceId(), false);
      a.WriteFftSize(1024);
      a.SetRemoteId(a.InstanceId());
      a.FindSlot(a.InstanceId());
    }
  });
  AudioBlocks(a, 20000);
  running = false;
  editor.join();
  host.join();
  heartbeat.join();
  a.SetBypassOf(a.InstanceId(), false);
  float key[kSpectrumBins];
  EXPECT_TRUE(a.CopyPeerSpectrum(key));
  EXPECT_EQ(a.ListInstances().size(), 0);
}

}  // namespace
