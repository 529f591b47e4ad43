// Two instances in one process, each on its own audio thread, while an editor
// thread pairs, unpairs, edits and bypasses them at random (run under TSan).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <random>
#include <thread>
#include <vector>

#include "PairingTestSupport.h"
#include "QuellbridgeFixture.h"

namespace {

using namespace qb;

constexpr int kBlock = 128;

TEST(ConcurrentPairing, AudioThreadsAndAnEditorThreadShareTwoInstances) {
  qbtest::PluginDriver a(48000, kBlock), b(48000, kBlock);
  Quellbridge* plugins[2] = {a.plugin.get(), b.plugin.get()};
  std::atomic<bool> stop{false};
  std::atomic<bool> finite[2] = {true, true};
  std::atomic<long> blocks[2] = {0, 0};

  auto audio = [&](int which) {
    std::vector<double> x(kBlock), y0(kBlock), y1(kBlock);
    double* ins[4] = {x.data(), x.data(), x.data(), x.data()};
    double* outs[2] = {y0.data(), y1.data()};
    long n = 0;
    while (!stop.load(std::memory_order_relaxed)) {
      for (int i = 0; i < kBlock; ++i) x[i] = 0.4 * std::sin(0.13 * static_cast<double>(n * kBlock + i) * (1 + which));
      plugins[which]->ProcessBlock(ins, outs, kBlock);
      for (int i = 0; i < kBlock; ++i)
        if (!std::isfinite(y0[i]) || !std::isfinite(y1[i])) finite[which] = false;
      ++n;
    }
    blocks[which] = n;
  };

  auto editor = [&] {
    std::mt19937 rng(7);
    const uint64_t ids[2] = {plugins[0]->Registry().InstanceId(), plugins[1]->Registry().InstanceId()};
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(800);
    while (std::chrono::steady_clock::now() < end) {
      const int who = static_cast<int>(rng() % 2);
      Quellbridge& p = *plugins[who];
      QuellbridgeSHM& r = p.Registry();
      const uint64_t other = ids[1 - who];
      const float f = static_cast<float>(rng() % 1000);
      switch (rng() % 9) {
        case 0: r.SetRemoteId(rng() % 3 == 0 ? 0 : other); break;
        case 1: {
          const QBBand bands[3] = {{20, 100 + f, -40 + f / 50, 2, 1, {}}, {100 + f, 4000, -20, 3, 0, {}}, {4000, 20000, -10, 8, 1, {}}};
          r.WriteBands(rng() % 2 ? SlotTarget::Peer : SlotTarget::Own, static_cast<int>(rng() % 5), bands);
          break;
        }
        case 2: r.WriteHpLp(SlotTarget::Peer, 10 + f, 500 + 20 * f); break;
        case 3: r.WriteRemoteControls(f / 10, f, f / 100 - 5); break;
        case 4:
          if (const auto flag = r.ReadBypassOf(other)) r.SetBypassOf(other, !*flag);
          break;
        case 5: r.ToggleOwnBypass(); break;
        case 6: r.ListInstances(); break;
        case 7: {
          float attack, release, makeup;
          r.ReadRemoteControls(attack, release, makeup);
          break;
        }
        case 8: p.SetParameterFromHost(kRelease, 5 + f); break;
      }
    }
  };

  std::thread t0(audio, 0), t1(audio, 1), ed(editor);
  ed.join();
  stop = true;
  t0.join();
  t1.join();
  EXPECT_TRUE(finite[0]);
  EXPECT_TRUE(finite[1]);
  EXPECT_GT(blocks[0], 10);
  EXPECT_GT(blocks[1], 10);

  qbtest::RegistryView view;
  std::string why;
  EXPECT_TRUE(view.PairingsAreMutual(&why)) << why;
  // Settled: pair them, clear the bypasses, restore the defaults, and A
  // ducks against B again.
  plugins[0]->Registry().SetRemoteId(plugins[1]->Registry().InstanceId());
  std::vector<std::vector<double>> loud(2, std::vector<double>(60 * kBlock));
  for (size_t i = 0; i < loud[0].size(); ++i) loud[0][i] = loud[1][i] = 0.5 * std::sin(0.13 * static_cast<double>(i));
  for (int i = 0; i < 2; ++i) {
    plugins[i]->Registry().SetBypassOf(plugins[i]->Registry().InstanceId(), false);
    // A bypassed instance left the last groups written into its slot for
    // its first block after the bypass.
    (i == 0 ? a : b).Run(loud, kBlock);
    for (int idx = 0; idx < kNumParams; ++idx) plugins[i]->SetParameterFromHost(idx, kParamSpecs[idx].defaultValue);
  }
  b.Run(loud, kBlock);
  a.Run(loud, kBlock);
  EXPECT_EQ(plugins[1]->Registry().RemoteId(), plugins[0]->Registry().InstanceId());
  float low, mid, high;
  plugins[0]->GetGainReduction(low, mid, high);
  EXPECT_LT(low + mid + high, 0.0f) << "A ducks against B";
}

}  // namespace
