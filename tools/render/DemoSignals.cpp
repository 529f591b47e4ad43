#include "DemoSignals.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace qbrender {
namespace {

constexpr double kTwoPi = 6.283185307179586;

// Deterministic white noise in [-1, 1).
class Noise {
 public:
  explicit Noise(uint64_t seed) : mState(seed) {}
  double Next() {
    mState ^= mState >> 12;
    mState ^= mState << 25;
    mState ^= mState >> 27;
    const uint64_t v = mState * 0x2545F4914F6CDD1DULL;
    return static_cast<double>(v >> 11) * (2.0 / 9007199254740992.0) - 1.0;
  }

 private:
  uint64_t mState;
};

// A second-order filter section (direct form I).
class Biquad {
 public:
  static Biquad HighPass(double hz, double q, double sampleRate) {
    const double w = kTwoPi * hz / sampleRate, alpha = std::sin(w) / (2.0 * q), c = std::cos(w);
    return Biquad((1 + c) / 2, -(1 + c), (1 + c) / 2, 1 + alpha, -2 * c, 1 - alpha);
  }
  static Biquad BandPass(double hz, double q, double sampleRate) {
    const double w = kTwoPi * hz / sampleRate, alpha = std::sin(w) / (2.0 * q), c = std::cos(w);
    return Biquad(alpha, 0.0, -alpha, 1 + alpha, -2 * c, 1 - alpha);
  }
  double Run(double x) {
    const double y = b0 * x + b1 * x1 + b2 * x2 - a1 * y1 - a2 * y2;
    x2 = x1;
    x1 = x;
    y2 = y1;
    y1 = y;
    return y;
  }

 private:
  Biquad(double nb0, double nb1, double nb2, double na0, double na1, double na2)
      : b0(nb0 / na0), b1(nb1 / na0), b2(nb2 / na0), a1(na1 / na0), a2(na2 / na0) {}
  double b0, b1, b2, a1, a2;
  double x1 = 0, x2 = 0, y1 = 0, y2 = 0;
};

// A sine oscillator kept as a rotating phasor: one complex multiply per sample.
struct Phasor {
  double re, im, stepRe, stepIm;
  Phasor(double hz, double phase, double sampleRate)
      : re(std::cos(phase)), im(std::sin(phase)), stepRe(std::cos(kTwoPi * hz / sampleRate)),
        stepIm(std::sin(kTwoPi * hz / sampleRate)) {}
  double Next() {
    const double out = im;
    const double r = re * stepRe - im * stepIm;
    im = re * stepIm + im * stepRe;
    re = r;
    return out;
  }
};

// A minor chord from A1 to A4, each note a band-limited sawtooth played by
// two slightly detuned voices per channel, plus a breath of high noise.
void SynthesizePad(std::vector<float>& left, std::vector<float>& right, double sampleRate) {
  const double notes[] = {55.0, 110.0, 164.814, 261.626, 329.628, 440.0};
  const size_t n = left.size();
  std::vector<double> l(n, 0.0), r(n, 0.0);
  constexpr int kMaxHarmonic = 48;
  constexpr double kTopHz = 16000.0;
  // Scattered start phases keep the voices' beating from lining up across
  // the harmonics.
  Noise noise(0x5EED0001ULL);
  for (double note : notes) {
    for (int side = 0; side < 2; ++side) {
      for (double detune : {0.9985, 1.0015}) {
        const double hz = note * detune * (side ? 1.0007 : 0.9993);
        std::vector<double>& out = side ? r : l;
        for (int h = 1; h <= kMaxHarmonic && hz * h < kTopHz; ++h) {
          Phasor osc(hz * h, kTwoPi * noise.Next(), sampleRate);
          const double amp = 1.0 / h;
          for (size_t i = 0; i < n; ++i) out[i] += amp * osc.Next();
        }
      }
    }
  }
  Biquad airL = Biquad::HighPass(6000.0, 0.7, sampleRate), airR = Biquad::HighPass(6000.0, 0.7, sampleRate);
  const double fade = 0.3 * sampleRate;
  for (size_t i = 0; i < n; ++i) {
    const double env = std::min({1.0, i / fade, (n - i) / fade});
    left[i] = static_cast<float>(env * (0.028 * l[i] + 0.02 * airL.Run(noise.Next())));
    right[i] = static_cast<float>(env * (0.028 * r[i] + 0.02 * airR.Run(noise.Next())));
  }
}

// Kick on every beat, snare on beats two and four, hats on the off-beats.
void SynthesizeBeat(std::vector<float>& left, std::vector<float>& right, double sampleRate) {
  const size_t n = left.size();
  std::vector<double> beat(n, 0.0);
  const double beatSamples = 60.0 / kDemoTempoBpm * sampleRate;
  auto place = [&](double start, size_t length, auto&& voice) {
    const size_t s = static_cast<size_t>(start);
    for (size_t i = 0; i < length && s + i < n; ++i) beat[s + i] += voice(i / sampleRate);
  };

  Noise noise(0x5EED0002ULL);
  for (int b = 0; b * beatSamples < n; ++b) {
    // Kick: a sine falling from about 85 Hz to 45 Hz.
    double phase = 0.0;
    place(b * beatSamples, static_cast<size_t>(0.45 * sampleRate), [&](double t) {
      const double hz = 45.0 + 40.0 * std::exp(-t / 0.03);
      phase += kTwoPi * hz / sampleRate;
      return 0.8 * std::min(1.0, t / 0.004) * std::exp(-t / 0.25) * std::sin(phase);
    });
    if (b % 2 == 1) {
      Biquad body = Biquad::BandPass(2000.0, 0.8, sampleRate);
      place(b * beatSamples, static_cast<size_t>(0.25 * sampleRate),
            [&](double t) { return 0.12 * std::exp(-t / 0.07) * body.Run(noise.Next()); });
    }
    Biquad hat1 = Biquad::HighPass(7000.0, 0.7, sampleRate), hat2 = Biquad::HighPass(7000.0, 0.7, sampleRate);
    place((b + 0.5) * beatSamples, static_cast<size_t>(0.08 * sampleRate),
          [&](double t) { return 0.05 * std::exp(-t / 0.02) * hat2.Run(hat1.Run(noise.Next())); });
  }
  for (size_t i = 0; i < n; ++i) left[i] = right[i] = static_cast<float>(beat[i]);
}

}  // namespace

DemoMaterial SynthesizeDemo(double seconds) {
  DemoMaterial m;
  const size_t frames = static_cast<size_t>(std::llround(seconds * m.sampleRate));
  for (auto* v : {&m.trackLeft, &m.trackRight, &m.keyLeft, &m.keyRight}) v->assign(frames, 0.0f);
  SynthesizePad(m.trackLeft, m.trackRight, m.sampleRate);
  SynthesizeBeat(m.keyLeft, m.keyRight, m.sampleRate);
  return m;
}

std::vector<ParamAssignment> DemoParameterPresets() {
  return {{"ThreshLow", "-36"}, {"RatioLow", "10"}, {"Attack", "5"}, {"Release", "120"}};
}

}  // namespace qbrender
