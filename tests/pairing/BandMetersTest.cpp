// The band levels an instance measures of its own spectrum and of its peer's
// (meters, and the own slot's bandLevels) split the bins at the crossover
// targets: low below FreqLow, else high from FreqHigh on, else mid.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "PairingTestSupport.h"
#include "QuellbridgeFixture.h"

namespace {

using namespace qb;

constexpr int kBlock = 256;
constexpr int kBins = 512;  // N = 1024 at 48 kHz

struct Crossovers {
  const char* name;
  double freqLow, freqHigh;
};

void PrintTo(const Crossovers& c, std::ostream* os) { *os << c.name; }

// The plain definition, bin by bin.
void ReferenceLevels(const float* spectrum, double scale, const Crossovers& c, double (&levels)[3]) {
  const float binWidth = static_cast<float>(48000.0 / 1024);
  double sum[3] = {0, 0, 0};
  int count[3] = {0, 0, 0};
  for (int k = 1; k < kBins; ++k) {
    const float f = static_cast<float>(k) * binWidth;
    const int band = c.freqLow > f ? 0 : (c.freqHigh <= f ? 2 : 1);
    sum[band] += spectrum[k] * scale;
    ++count[band];
  }
  for (int b = 0; b < 3; ++b) levels[b] = count[b] ? sum[b] / count[b] : 0.0;
}

class BandMeters : public ::testing::TestWithParam<Crossovers> {};

TEST_P(BandMeters, SplitTheBinsAtTheCrossoverTargets) {
  const Crossovers& c = GetParam();
  qbtest::PluginDriver a(48000, kBlock), b(48000, kBlock);
  b.plugin->Registry().SetRemoteId(a.plugin->Registry().InstanceId());
  a.SetParam(kFreqLow, c.freqLow);
  a.SetParam(kFreqHigh, c.freqHigh);
  std::mt19937 rng(3);
  std::normal_distribution<double> g(0.0, 0.2);
  std::vector<std::vector<double>> noise(2, std::vector<double>(8 * kBlock));
  for (auto& ch : noise)
    for (double& v : ch) v = g(rng);
  b.Run(noise, kBlock);
  for (auto& ch : noise) std::reverse(ch.begin(), ch.end());
  a.Run(noise, kBlock);

  qbtest::RegistryView view;
  std::vector<float> own(kSpectrumBins), peer(kSpectrumBins), published(3);
  ASSERT_TRUE(view.Locked([&](QBRegistry& r) {
    const QBSlot& sa = r.slots[a.plugin->Registry().SlotIndex()];
    const QBSlot& sb = r.slots[b.plugin->Registry().SlotIndex()];
    std::copy(sa.spectrum, sa.spectrum + kSpectrumBins, own.begin());
    std::copy(sb.spectrum, sb.spectrum + kSpectrumBins, peer.begin());
    std::copy(sa.bandLevels, sa.bandLevels + 3, published.begin());
  }));
  double expectOwn[3], expectPeer[3];
  ReferenceLevels(own.data(), 1.0, c, expectOwn);
  ReferenceLevels(peer.data(), 1.0 / (1024 * 0.25), c, expectPeer);
  float meterOwn[3], meterPeer[3], gr[3];
  a.plugin->GetMeters(meterOwn, meterPeer, gr);
  for (int band = 0; band < 3; ++band) {
    EXPECT_NEAR(meterOwn[band], expectOwn[band], 1e-5 * expectOwn[band]) << "own, band " << band;
    EXPECT_EQ(published[band], meterOwn[band]) << "published, band " << band;
    EXPECT_NEAR(meterPeer[band], expectPeer[band], 1e-5 * expectPeer[band]) << "peer, band " << band;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Crossovers, BandMeters,
    ::testing::Values(Crossovers{"Defaults", 200, 5000}, Crossovers{"FullRange", 20, 20000},
                      Crossovers{"OnBinFrequencies", 187.5, 4687.5},  // bins 4 and 100 exactly
                      Crossovers{"JustAboveBinFrequencies", 187.5001, 4687.5001},
                      Crossovers{"LowAboveHighLeavesMidEmpty", 1500, 800},
                      Crossovers{"EqualCrossovers", 1000, 1000}),
    [](const ::testing::TestParamInfo<Crossovers>& info) { return std::string(info.param.name); });

}  // namespace
