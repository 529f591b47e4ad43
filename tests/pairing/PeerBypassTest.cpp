// Bypass set in an instance's slot by another instance: the input passes
// undelayed, the slot shows nothing, and lifting it resumes the engine where
// it stopped.
#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <random>
#include <vector>

#include "PairingTestSupport.h"
#include "QuellbridgeFixture.h"

namespace {

using namespace qb;

constexpr int kBlock = 256;
constexpr int kDelay = 2048;  // 2N at 48 kHz

using Signal = std::vector<std::vector<double>>;

Signal Noise(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> u(-0.5, 0.5);
  Signal x(2, std::vector<double>(n));
  for (auto& ch : x)
    for (double& v : ch) v = u(rng);
  return x;
}

Signal Sine(size_t n, double hz, double amplitude) {
  Signal x(2, std::vector<double>(n));
  for (size_t i = 0; i < n; ++i) x[0][i] = x[1][i] = amplitude * std::sin(2.0 * M_PI * hz * static_cast<double>(i) / 48000.0);
  return x;
}

Signal Slice(const Signal& x, size_t from, size_t count) {
  Signal s(2);
  for (int c = 0; c < 2; ++c) s[c].assign(x[c].begin() + static_cast<long>(from), x[c].begin() + static_cast<long>(from + count));
  return s;
}

TEST(PeerBypass, InputPassesUndelayedAndTheSlotReadsZero) {
  qbtest::PluginDriver a(48000, kBlock), b(48000, kBlock);
  qbtest::RegistryView view;
  QuellbridgeSHM& ra = a.plugin->Registry();
  QuellbridgeSHM& rb = b.plugin->Registry();
  rb.SetRemoteId(ra.InstanceId());
  // B is loud at 984 Hz, so A ducks there and publishes gain reduction.
  const Signal inA = Sine(40 * kBlock, 984.375, 0.25), inB = Sine(40 * kBlock, 984.375, 0.5);
  for (int k = 0; k < 40; ++k) {
    b.Run(Slice(inB, static_cast<size_t>(k * kBlock), kBlock), kBlock);
    a.Run(Slice(inA, static_cast<size_t>(k * kBlock), kBlock), kBlock);
  }
  const int slot = ra.SlotIndex();
  ASSERT_TRUE(view.Locked([&](QBRegistry& r) {
    EXPECT_GT(r.slots[slot].spectrum[21], 1.0f);
    EXPECT_GT(r.slots[slot].bandLevels[1], 0.0f);
    EXPECT_LT(r.slots[slot].gainReduction[1], -0.1f);
  }));

  rb.SetBypassOf(ra.InstanceId(), true);
  EXPECT_EQ(rb.ReadBypassOf(ra.InstanceId()), true);
  const Signal x = Noise(5 * kBlock, 3);
  EXPECT_EQ(a.Run(x, kBlock), x) << "the input, undelayed and untouched";
  EXPECT_TRUE(ra.CachedBypass());
  ASSERT_TRUE(view.Locked([&](QBRegistry& r) {
    const QBSlot& s = r.slots[slot];
    for (int k = 0; k < kSpectrumBins; ++k) ASSERT_EQ(s.spectrum[k], 0.0f) << "bin " << k;
    for (int i = 0; i < 3; ++i) {
      EXPECT_EQ(s.bandLevels[i], 0.0f);
      EXPECT_EQ(s.gainReduction[i], 0.0f);
    }
  }));
  float low, mid, high;
  a.plugin->GetGainReduction(low, mid, high);
  EXPECT_EQ(low, 0.0f);
  EXPECT_EQ(mid, 0.0f);
  EXPECT_EQ(high, 0.0f);
  // The peer's key is silent now.
  float key[kSpectrumBins];
  ASSERT_TRUE(rb.CopyPeerSpectrum(key));
  EXPECT_EQ(key[21], 0.0f);
}

TEST(PeerBypass, LiftingItResumesTheEngineWhereItStopped) {
  constexpr int kBefore = 24, kBypassed = 8, kAfter = 24;
  qbtest::PluginDriver a(48000, kBlock), reference(48000, kBlock), other(48000, kBlock);
  const uint64_t id = a.plugin->Registry().InstanceId();
  const Signal x = Noise(static_cast<size_t>((kBefore + kBypassed + kAfter) * kBlock), 17);
  const size_t before = kBefore * kBlock, bypassed = kBypassed * kBlock, after = kAfter * kBlock;

  a.Run(Slice(x, 0, before), kBlock);
  reference.Run(Slice(x, 0, before), kBlock);
  other.plugin->Registry().SetBypassOf(id, true);
  const Signal during = Slice(x, before, bypassed);
  EXPECT_EQ(a.Run(during, kBlock), during);
  other.plugin->Registry().SetBypassOf(id, false);

  // The engine never saw the bypassed stretch: it goes on exactly like one
  // that was fed the same input without it.
  const Signal resumed = a.Run(Slice(x, before + bypassed, after), kBlock);
  EXPECT_EQ(resumed, reference.Run(Slice(x, before + bypassed, after), kBlock));
  // Its first 2N samples are the delayed input from before the bypass.
  for (int c = 0; c < 2; ++c)
    for (int i = 0; i < kDelay; ++i)
      ASSERT_NEAR(resumed[c][i], x[c][before - kDelay + i], 2e-6) << "channel " << c << " sample " << i;
}

TEST(PeerBypass, PeerToggleWithABusyLockDoesNothing) {
  qbtest::PluginDriver a(48000, kBlock), b(48000, kBlock);
  qbtest::RegistryView view;
  QuellbridgeSHM& rb = b.plugin->Registry();
  const uint64_t id = a.plugin->Registry().InstanceId();
  rb.SetRemoteId(id);
  // The editor's toggle of the peer's bypass: read the flag, write its negation.
  auto togglePeer = [&] {
    if (const std::optional<bool> flag = rb.ReadBypassOf(rb.RemoteId())) rb.SetBypassOf(rb.RemoteId(), !*flag);
  };
  {
    qbtest::LockHog hog(view, /*holdMs=*/10000, /*gapMs=*/1);
    ASSERT_TRUE(hog.WaitUntilHeld());
    EXPECT_EQ(rb.ReadBypassOf(id), std::nullopt) << "unknown while the lock is busy";
    togglePeer();
    ASSERT_EQ(hog.Stop(), 1);
  }
  EXPECT_EQ(rb.ReadBypassOf(id), false) << "the busy toggle changed nothing";
  togglePeer();
  EXPECT_EQ(rb.ReadBypassOf(id), true);
}

}  // namespace
