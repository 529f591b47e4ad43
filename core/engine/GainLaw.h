#pragma once
// The ducking law as pure functions: how loud a peer bin is, when it counts as
// above a band threshold, and the decision boundary that lets the per-bin loop
// compare magnitudes instead of taking a logarithm per bin.
//
// Levels: a peer bin's magnitude p is read on a scale where N/4 is 0 dB,
//   peerDb = (L - ref) * 20,  L = -9 if p < 1e-9 else log10(p),  ref = log10(N / 4),
// in single precision. A bin is above a threshold thr when peerDb - thr > 0
// (strictly); its target gain is then 10^((1 - 1/r) (thr - peerDb) / 20),
// i.e. (pThr / p)^(1 - 1/r) with pThr = 10^(ref + thr / 20).

namespace qb {

// Magnitudes below this read as the floor level L = -9.
inline constexpr double kPeerFloor = 1e-9;
// log2 of the floor: -9 * log2(10).
inline constexpr float kPeerFloorLog2 = -29.897352853986263f;
inline constexpr double kLog2Of10 = 3.321928094887362;

// Peer level in dB for a bin magnitude. Pure.
float peerLevelDb(float magnitude, float referenceLog10) noexcept;

// The strict threshold decision on the dB level. Pure.
bool peerAboveThreshold(float magnitude, float referenceLog10, float thresholdDb) noexcept;

// Where the decision flips for one threshold, for magnitudes p:
//   floorAbove:  every p below the floor (and so every p) is above;
//   otherwise:   p is above exactly when p >= firstAbove (+inf: never).
// thresholdLog2 = log2(pThr), for the target gain.
struct ThresholdCrossing {
  bool floorAbove = false;
  float firstAbove = 0.0f;
  float thresholdLog2 = 0.0f;
};

// Pure. Finds the smallest magnitude that peerAboveThreshold() calls above, so
// that comparing against it makes the same decision for every finite magnitude.
// Usually a few evaluations of the decision next to the analytic boundary,
// never more than about 60. Not for the audio thread's inner loops: the
// engine caches the result per band until the threshold changes.
ThresholdCrossing findThresholdCrossing(float referenceLog10, float thresholdDb) noexcept;

}  // namespace qb
