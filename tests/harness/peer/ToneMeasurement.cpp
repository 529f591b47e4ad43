#include "ToneMeasurement.h"

#include <cstdlib>
#include <sstream>

namespace qbpeer {
namespace {

constexpr double kTwoPi = 6.283185307179586;

// Phase of hz at sample t, reduced to one cycle before it is scaled, so long
// runs keep full precision.
double Phase(double hz, int64_t t, double sampleRate) {
  const double cycles = std::fmod(hz * static_cast<double>(t), sampleRate) / sampleRate;
  return kTwoPi * cycles;
}

}  // namespace

bool ParseTones(const std::string& text, std::vector<Tone>& tones) {
  std::vector<Tone> parsed;
  if (text != "silence") {
    std::istringstream in(text);
    std::string item;
    while (std::getline(in, item, ',')) {
      const size_t colon = item.find(':');
      if (colon == std::string::npos) return false;
      char* end = nullptr;
      Tone t;
      t.hz = std::strtod(item.c_str(), &end);
      if (end != item.c_str() + colon) return false;
      t.amplitude = std::strtod(item.c_str() + colon + 1, &end);
      if (*end != '\0' || !std::isfinite(t.hz) || !std::isfinite(t.amplitude) || t.hz < 0.0) return false;
      parsed.push_back(t);
    }
    if (parsed.empty()) return false;
  }
  tones = std::move(parsed);
  return true;
}

double ToneSample(const std::vector<Tone>& tones, int64_t t, double sampleRate) {
  double v = 0.0;
  for (const Tone& tone : tones) v += tone.amplitude * std::sin(Phase(tone.hz, t, sampleRate));
  return v;
}

double ToneAmplitude(const double* x, int n, double hz, double sampleRate) {
  if (n <= 0) return 0.0;
  double re = 0.0, im = 0.0;
  for (int i = 0; i < n; ++i) {
    const double phase = Phase(hz, i, sampleRate);
    re += x[i] * std::cos(phase);
    im -= x[i] * std::sin(phase);
  }
  return 2.0 * std::sqrt(re * re + im * im) / n;
}

}  // namespace qbpeer
