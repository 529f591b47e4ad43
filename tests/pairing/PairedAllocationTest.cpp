// The audio path allocates nothing while paired and exchanging: copying the
// peer's spectrum, publishing its own, adopting groups the peer wrote,
// bypassed blocks and host automation on the audio thread.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "AllocationCounter.h"
#include "QuellbridgeFixture.h"

namespace {

using namespace qb;

constexpr int kBlock = 256;

TEST(PairedAllocation, ProcessBlockAllocatesNothingWhilePairedAndExchanging) {
  if (!qbtest::AllocationCountingAvailable()) GTEST_SKIP() << "allocation counting unavailable in this build";
  qbtest::PluginDriver a(48000, kBlock), b(48000, kBlock);
  QuellbridgeSHM& ra = a.plugin->Registry();
  QuellbridgeSHM& rb = b.plugin->Registry();
  rb.SetRemoteId(ra.InstanceId());
  std::vector<double> x(kBlock), y0(kBlock), y1(kBlock);
  double* ins[4] = {x.data(), x.data(), x.data(), x.data()};
  double* outs[2] = {y0.data(), y1.data()};
  auto both = [&] {
    b.plugin->ProcessBlock(ins, outs, kBlock);
    a.plugin->ProcessBlock(ins, outs, kBlock);
  };
  for (int i = 0; i < kBlock; ++i) x[i] = 0.5 * std::sin(0.129 * i);
  for (int k = 0; k < 20; ++k) both();  // warm up: first frames, first adoptions

  size_t allocations = 0;
  for (int k = 0; k < 60; ++k) {
    // Between blocks, as the peer's editor would.
    const QBBand bands[2] = {{20, 300.0f + k, -30, 3, 1, {}}, {300.0f + k, 20000, -20, 2, k % 2 == 0, {}}};
    rb.WriteBands(SlotTarget::Peer, 2, bands);
    rb.WriteHpLp(SlotTarget::Peer, 25.0f + k, 18000.0f - k);
    rb.WriteRemoteControls(5.0f + k, 80.0f + k, 0.1f * k);
    if (k % 10 == 5) rb.SetBypassOf(ra.InstanceId(), true);
    if (k % 10 == 8) rb.SetBypassOf(ra.InstanceId(), false);
    qbtest::AllocationScope scope;
    both();
    a.SetParam(kThreshHigh, -10.0 - k * 0.1);  // host automation
    a.SetParam(kAttack, 1.0 + k);              // writes the own slot's controls
    allocations += scope.Count();
  }
  EXPECT_EQ(allocations, 0u);
  EXPECT_DOUBLE_EQ(a.plugin->ParamTarget(kFreqLow), 359.0) << "the peer's last bands were taken up";
  float key[kSpectrumBins];
  ASSERT_TRUE(ra.CopyPeerSpectrum(key));
  EXPECT_GT(key[21], 1.0f) << "B's spectrum reaches A";
}

}  // namespace
