// The engine against a literal, scalar reading of its algorithm: the per-bin
// gain law and band figures in single precision with log10 / pow, and the
// whole analysis-resynthesis path in double precision with a direct DFT.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <random>
#include <vector>

#include "EngineTestSupport.h"
#include "core/engine/SpectralProcessor.h"

namespace {

using qb::FrameArguments;
using qbtest::MagnitudeForDb;

// Steps of one frame that decide the gains, written as plainly as possible.
struct ReferenceLaw {
  int n;
  int bins;
  float sampleRate;
  float attack;
  float release;
  std::vector<float> gain;
  float bandGrDb[3] = {0, 0, 0};

  ReferenceLaw(int length, float rate, float attackCoef, float releaseCoef)
      : n(length), bins(length / 2), sampleRate(rate), attack(attackCoef), release(releaseCoef),
        gain(length / 2, 1.0f) {}

  int band(float f, float fLow, float fHigh) const { return fLow > f ? 0 : (fHigh <= f ? 2 : 1); }

  void frame(const FrameArguments& a) {
    const float ref = static_cast<float>(std::log10(n * 0.25));
    const float binWidth = sampleRate / static_cast<float>(n);
    const int limit = (a.peerSpectrum != nullptr && a.peerValid) ? 1024 : 0;
    const float fLow = static_cast<float>(a.freqLow);
    const float fHigh = static_cast<float>(a.freqHigh);
    for (int k = 1; k <= bins - 2; ++k) {
      const float f = static_cast<float>(k) * binWidth;
      const int b = band(f, fLow, fHigh);
      float target = 1.0f;
      if (a.lpHz >= f && f >= a.hpHz && k < limit) {
        const float p = a.peerSpectrum[k];
        const float level = p < 1e-9 ? -9.0f : static_cast<float>(std::log10(static_cast<double>(p)));
        const float peerDb = (level - ref) * 20.0f;
        const float thr = static_cast<float>(a.thresholdsDb[b]);
        if (peerDb - thr > 0.0f && a.ratios[b] > 1.0) {
          const float r = static_cast<float>(a.ratios[b]);
          target = std::pow(10.0f, (1.0f - 1.0f / r) * (thr - peerDb) / 20.0f);
        }
      }
      const float c = gain[k] > target ? attack : release;
      gain[k] = (1.0f - c) * target + c * gain[k];
    }
    gain[bins - 1] = 1.0f;
    gain[0] = 1.0f;
    double sum[3] = {0, 0, 0};
    int count[3] = {0, 0, 0};
    for (int k = 1; k <= bins - 1; ++k) {
      const int b = band(static_cast<float>(k) * binWidth, fLow, fHigh);
      sum[b] += gain[k];
      ++count[b];
    }
    for (int b = 0; b < 3; ++b) {
      if (count[b] == 0) {
        bandGrDb[b] = 0.0f;
      } else {
        const double mean = sum[b] / count[b];
        bandGrDb[b] = mean < 1e-9 ? -180.0f : static_cast<float>(20.0 * std::log10(mean));
      }
    }
  }
};

TEST(EngineReference, BinGainsAndBandFiguresFollowTheLaw) {
  std::mt19937 rng(2024);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  for (double rate : {22050.0, 44100.0, 48000.0, 96000.0, 192000.0}) {
    auto engine = qbtest::MakeEngine(rate, 1.0 + 50.0 * unit(rng), 5.0 + 500.0 * unit(rng));
    ASSERT_TRUE(engine);
    const int n = engine->transformLength();
    ReferenceLaw law(n, engine->rate(), engine->attackCoefficient(), engine->releaseCoefficient());
    std::vector<float> peer(1024);
    for (int frame = 0; frame < 60; ++frame) {
      FrameArguments a;
      for (int b = 0; b < 3; ++b) {
        a.thresholdsDb[b] = -60.0 + 60.0 * unit(rng);
        const double pick = unit(rng);
        a.ratios[b] = pick < 0.1 ? 1.0 : (pick < 0.15 ? 0.7 : 1.0 + 19.0 * unit(rng));
      }
      a.freqLow = 20.0 + 2000.0 * unit(rng);
      a.freqHigh = unit(rng) < 0.2 ? a.freqLow * 0.5 : 500.0 + 15000.0 * unit(rng);
      a.hpHz = static_cast<float>(20.0 + 980.0 * unit(rng));
      a.lpHz = static_cast<float>(1000.0 + 19000.0 * unit(rng));
      a.peerValid = unit(rng) < 0.85;
      a.peerSpectrum = peer.data();
      for (float& p : peer) {
        const double pick = unit(rng);
        if (pick < 0.05) {
          p = 0.0f;
        } else if (pick < 0.1) {
          p = 1e-12f;  // below the floor
        } else {
          p = MagnitudeForDb(-90.0 + 110.0 * unit(rng), n);
        }
      }
      engine->processBlock(a);
      law.frame(a);
      for (int k = 0; k < engine->binCount(); ++k) {
        ASSERT_NEAR(engine->binGains()[k], law.gain[k], 2e-6f + 2e-6f * law.gain[k])
            << "rate " << rate << " frame " << frame << " bin " << k;
      }
      for (int b = 0; b < 3; ++b) {
        ASSERT_NEAR(engine->bandGainReductionDb()[b], law.bandGrDb[b], 1e-4f)
            << "rate " << rate << " frame " << frame << " band " << b;
      }
    }
  }
}

// The output path in double precision: windowed frames, scaled DFT, gains on
// every pair (pair 0 carrying DC and Nyquist takes bin 0's gain), scaled
// inverse DFT, overlap-add at 0.5 * makeup / N, read 2N samples later.
TEST(EngineReference, OutputMatchesADoublePrecisionStft) {
  for (double rate : {22050.0, 44100.0}) {
    auto engine = qbtest::MakeEngine(rate, 5.0, 50.0);
    ASSERT_TRUE(engine);
    const int n = engine->transformLength();
    const int hop = n / 2;
    const int frames = 14;
    const int total = frames * hop + 2 * n;
    std::mt19937 rng(static_cast<unsigned>(rate));
    std::uniform_real_distribution<float> dist(-0.5f, 0.5f);
    std::vector<float> in[2] = {std::vector<float>(total), std::vector<float>(total)};
    for (int t = 0; t < total; ++t) {
      in[0][t] = dist(rng) + 0.4f * static_cast<float>(std::sin(0.05 * t));
      in[1][t] = dist(rng) + 0.3f * static_cast<float>(std::cos(0.31 * t));
    }
    std::vector<float> peer(1024);
    std::uniform_real_distribution<double> level(-50.0, 20.0);
    for (float& p : peer) p = MagnitudeForDb(level(rng), n);
    FrameArguments args = qbtest::Args(-20.0, 6.0, peer.data());
    args.hpHz = 0.0f;
    args.lpHz = 1e9f;
    args.makeupGain = 1.7f;

    std::vector<float> out[2] = {std::vector<float>(total), std::vector<float>(total)};
    std::vector<std::vector<double>> gains;  // per frame, after it ran
    for (int t = 0; t < total; ++t) {
      engine->processSample(in[0][t], in[1][t], out[0][t], out[1][t], args);
      if ((t + 1) % hop == 0) {
        gains.emplace_back(engine->binGains(), engine->binGains() + engine->binCount());
      }
    }

    const double scale = 1.7f * 0.5 / n;  // makeup as the engine holds it
    for (int ch = 0; ch < 2; ++ch) {
      // Reference output indexed by input time.
      std::vector<double> expected(total, 0.0);
      for (int j = 1; j <= frames; ++j) {
        const int start = j * hop - n;  // frame j holds inputs start .. start + n - 1
        std::vector<double> x(n);
        for (int i = 0; i < n; ++i) {
          const int t = start + i;
          const double w = 0.5 * (1.0 - std::cos(2.0 * std::numbers::pi * i / n));
          x[i] = t >= 0 ? in[ch][t] * w : 0.0;
        }
        auto spectrum = qbtest::ScaledDft(x);
        const std::vector<double>& g = gains[j - 1];
        for (int k = 0; k < n / 2; ++k) spectrum[k] *= g[k];
        spectrum[n / 2] *= g[0];
        const auto y = qbtest::ScaledInverseDft(spectrum, n);
        for (int i = 0; i < n; ++i) {
          if (start + i >= 0) expected[start + i] += scale * y[i];
        }
      }
      // Inputs complete in the reference: covered by two computed frames.
      const int lastComplete = (frames - 1) * hop - 1;
      for (int u = 0; u <= lastComplete && u + 2 * n < total; ++u) {
        ASSERT_NEAR(out[ch][u + 2 * n], expected[u], 1e-5) << "rate " << rate << " ch " << ch << " input " << u;
      }
    }
  }
}

}  // namespace
