#pragma once
// Test signals qb-peer feeds into an instance, and the statistics it keeps of
// what comes out.

#include <cstdint>
#include <string>
#include <vector>

namespace qbpeer {

// "silence", "sine:<hz>:<amp>", "noise:<amp>" (fixed seed, so every run and
// every process produces the same noise). Phase continues across blocks.
class SignalGenerator {
 public:
  // Returns false (and keeps the previous signal) when the text is not understood.
  bool Configure(const std::string& text);
  void Fill(double* out, int frames, double sampleRate);
  const std::string& Text() const { return mText; }

 private:
  enum class Kind { Silence, Sine, Noise };
  Kind mKind = Kind::Silence;
  std::string mText = "silence";
  double mHz = 0.0;
  double mAmp = 0.0;
  double mPhase = 0.0;
  uint32_t mNoiseState = 0x9E3779B9u;
};

class OutputStats {
 public:
  void Reset();
  void Add(const double* const* channels, int nChannels, int frames);
  // "frames=N rms0=... rms1=... maxabs=... nan=0|1"
  std::string Describe() const;
  double Rms(int channel) const;
  double MaxAbs() const { return mMaxAbs; }
  bool AnyNaN() const { return mAnyNaN; }
  int64_t Frames() const { return mFrames; }

 private:
  std::vector<double> mSumSquares;
  int64_t mFrames = 0;
  double mMaxAbs = 0.0;
  bool mAnyNaN = false;
};

}  // namespace qbpeer
