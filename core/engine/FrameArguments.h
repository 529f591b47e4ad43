#pragma once
// What the engine needs for every frame besides the audio: the peer's spectrum
// and the band settings. The caller fills one record per host block; every
// frame completed within the block uses it.

namespace qb {

struct FrameArguments {
  // The paired instance's magnitude spectrum, at least 1024 values, on the
  // same scale as the engine's own (N/4 is 0 dB). Ignored unless peerValid.
  // Non-finite values count as silence (below the 1e-9 floor).
  const float* peerSpectrum = nullptr;
  bool peerValid = false;
  // Low, mid, high band (defaults: the parameters' defaults).
  double thresholdsDb[3] = {-20.0, -20.0, -20.0};
  double ratios[3] = {4.0, 4.0, 4.0};
  // Crossovers in Hz: low band below freqLow, high band from freqHigh up.
  double freqLow = 200.0;
  double freqHigh = 5000.0;
  // Linear output gain.
  float makeupGain = 1.0f;
  // Only bins with hpHz <= f <= lpHz can be ducked.
  float hpHz = 20.0f;
  float lpHz = 20000.0f;
};

}  // namespace qb
