#include "PeerSignals.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace qbpeer {
namespace {

bool ParseNumber(const std::string& text, double& out) {
  if (text.empty()) return false;
  char* end = nullptr;
  out = std::strtod(text.c_str(), &end);
  return end && *end == '\0' && std::isfinite(out);
}

std::vector<std::string> Split(const std::string& s, char sep) {
  std::vector<std::string> parts;
  size_t pos = 0;
  for (;;) {
    const size_t next = s.find(sep, pos);
    parts.push_back(s.substr(pos, next == std::string::npos ? std::string::npos : next - pos));
    if (next == std::string::npos) return parts;
    pos = next + 1;
  }
}

}  // namespace

bool SignalGenerator::Configure(const std::string& text) {
  const std::vector<std::string> parts = Split(text, ':');
  double a = 0.0, b = 0.0;
  if (parts.size() == 1 && parts[0] == "silence") {
    mKind = Kind::Silence;
  } else if (parts.size() == 3 && parts[0] == "sine" && ParseNumber(parts[1], a) && ParseNumber(parts[2], b) &&
             a >= 0.0) {
    if (mKind != Kind::Sine) mPhase = 0.0;
    mKind = Kind::Sine;
    mHz = a;
    mAmp = b;
  } else if (parts.size() == 2 && parts[0] == "noise" && ParseNumber(parts[1], a)) {
    if (mKind != Kind::Noise) mNoiseState = 0x9E3779B9u;
    mKind = Kind::Noise;
    mAmp = a;
  } else {
    return false;
  }
  mText = text;
  return true;
}

void SignalGenerator::Fill(double* out, int frames, double sampleRate) {
  switch (mKind) {
    case Kind::Silence:
      for (int i = 0; i < frames; ++i) out[i] = 0.0;
      break;
    case Kind::Sine: {
      const double step = 2.0 * M_PI * mHz / sampleRate;
      for (int i = 0; i < frames; ++i) {
        out[i] = mAmp * std::sin(mPhase);
        mPhase += step;
        if (mPhase > 2.0 * M_PI) mPhase -= 2.0 * M_PI;
      }
      break;
    }
    case Kind::Noise:
      for (int i = 0; i < frames; ++i) {
        uint32_t s = mNoiseState;  // xorshift32
        s ^= s << 13;
        s ^= s >> 17;
        s ^= s << 5;
        mNoiseState = s;
        out[i] = mAmp * (static_cast<double>(s) / 4294967295.0 * 2.0 - 1.0);
      }
      break;
  }
}

void OutputStats::Reset() { *this = OutputStats{}; }

void OutputStats::Add(const double* const* channels, int nChannels, int frames) {
  if (static_cast<int>(mSumSquares.size()) < nChannels) mSumSquares.resize(static_cast<size_t>(nChannels), 0.0);
  for (int c = 0; c < nChannels; ++c) {
    for (int i = 0; i < frames; ++i) {
      const double x = channels[c][i];
      if (std::isnan(x)) {
        mAnyNaN = true;
        continue;
      }
      mSumSquares[c] += x * x;
      mMaxAbs = std::fmax(mMaxAbs, std::fabs(x));
    }
  }
  mFrames += frames;
}

double OutputStats::Rms(int channel) const {
  if (channel < 0 || channel >= static_cast<int>(mSumSquares.size()) || mFrames == 0) return 0.0;
  return std::sqrt(mSumSquares[channel] / static_cast<double>(mFrames));
}

std::string OutputStats::Describe() const {
  std::string s = "frames=" + std::to_string(mFrames);
  char buf[64];
  for (size_t c = 0; c < mSumSquares.size(); ++c) {
    std::snprintf(buf, sizeof buf, " rms%zu=%.9g", c, Rms(static_cast<int>(c)));
    s += buf;
  }
  std::snprintf(buf, sizeof buf, " maxabs=%.9g nan=%d", mMaxAbs, mAnyNaN ? 1 : 0);
  return s + buf;
}

}  // namespace qbpeer
