// The audio callback: registry exchange, parameter smoothing, the engine,
// publication of the own spectrum and meters, and the analyser feed.
#include <xmmintrin.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "core/Quellbridge.h"

namespace qb {
namespace {

constexpr double kSmoothingTimeMs = 30.0;
// The engine runs on float buffers of this many samples at a time, so host
// blocks of any length need no allocation.
constexpr int kRunLength = 256;

double Clamp(double v, double lo, double hi) { return v < lo ? lo : (v > hi ? hi : v); }

// The first bin k in [first, n) whose frequency k * binWidth (in float) is
// not below hz (a finite crossover target), n when there is none. The bin
// frequencies rise with k, so the answer is found from the quotient and
// settled by the comparison itself.
int FirstBinNotBelow(double hz, float binWidth, int first, int n) {
  auto below = [hz, binWidth](int k) { return hz > static_cast<double>(static_cast<float>(k) * binWidth); };
  if (first >= n) return first;
  const double estimate = hz / binWidth;
  int k = first;
  if (binWidth > 0.0f && std::isfinite(estimate))
    k = static_cast<int>(std::clamp(std::ceil(estimate), static_cast<double>(first), static_cast<double>(n)));
  while (k > first && !below(k - 1)) --k;
  while (k < n && below(k)) ++k;
  return k;
}

// Sum of x[k] * scale over [begin, end) in eight interleaved partial sums:
// independent chains that the compiler can vectorise (a single running sum
// waits for every add, which made the band levels the costliest part of a
// short block).
float ScaledSum(const float* x, int begin, int end, float scale) {
  float part[8] = {};
  int k = begin;
  for (; k + 8 <= end; k += 8)
    for (int j = 0; j < 8; ++j) part[j] += x[k + j] * scale;
  float sum = 0.0f;
  for (; k < end; ++k) sum += x[k] * scale;
  for (const float p : part) sum += p;
  return sum;
}

// Flush-to-zero and denormals-are-zero for the duration of a block; the
// host's own setting is restored afterwards.
class DenormalGuard {
 public:
  DenormalGuard() : mSaved(_mm_getcsr()) { _mm_setcsr(mSaved | 0x8040); }
  ~DenormalGuard() { _mm_setcsr(mSaved); }
  DenormalGuard(const DenormalGuard&) = delete;
  DenormalGuard& operator=(const DenormalGuard&) = delete;

 private:
  unsigned mSaved;
};

}  // namespace

void Quellbridge::ProcessBlock(double** inputs, double** outputs, int nFrames) {
  DenormalGuard denormals;
  if (nFrames < 0) nFrames = 0;

  const int nOut = NOutChansConnected();
  const bool stereo = nOut > 1;
  const int bins = std::min(processor.binCount(), kSpectrumBins);
  // Frames run only at hop boundaries: the peer's spectrum is needed, and the
  // own one changes, only in blocks that reach one.
  const bool frameDue = processor.samplesUntilFrame() <= nFrames;

  // Our own pending attack/release/make-up go out first, so the groups read
  // below are never older than our own last write.
  FlushPendingControls();
  const uint64_t seenBands = lastBandSeq.load(std::memory_order_relaxed);
  const uint64_t seenHpLp = lastHpLpSeq.load(std::memory_order_relaxed);
  const uint64_t seenControls = lastControlsSeq.load(std::memory_order_relaxed);

  // One try of the registry lock: the peer id (the other side may have paired
  // with us from its editor), our bypass flag (another instance's editor may
  // have set it), the groups edited into our slot, and the peer's spectrum.
  QBBlockInputs in;
  if (registry.IsOpen() || registry.RemoteId() != 0) registry.ReadBlockInputs(peerSpectrum, frameDue ? bins : 0, in);

  if (registry.IsOpen() && in.bypassed) {
    RunBypassBlock(inputs, outputs, nFrames, nOut);
    return;
  }

  // A busy lock leaves a group's counter unconsumed: it is taken on a later
  // block. So does a write of our own made meanwhile on another thread (the
  // heartbeat, a state restore): the group read may predate it.
  if (in.ownSlotRead) {
    if (lastBandSeq.load(std::memory_order_relaxed) == seenBands) AdoptOwnBands(in.bandGroup);
    if (lastHpLpSeq.load(std::memory_order_relaxed) == seenHpLp) AdoptOwnHpLp(in.hpLpGroup);
    if (lastControlsSeq.load(std::memory_order_relaxed) == seenControls) AdoptOwnControls(in.controlsGroup);
  }
  const bool peerValid = in.peerFound;

  SmoothParameters(nFrames);

  FrameArguments args;
  args.peerSpectrum = peerSpectrum;
  args.peerValid = peerValid;
  for (int b = 0; b < 3; ++b) {
    args.thresholdsDb[b] = paramSmoothed.thresh[b];
    args.ratios[b] = liveBandEnabled[b].load(std::memory_order_relaxed) ? paramSmoothed.ratio[b] : 1.0;
  }
  args.freqLow = paramSmoothed.freqLow;
  args.freqHigh = paramSmoothed.freqHigh;
  args.makeupGain = MakeupGain(paramSmoothed.makeup);
  args.hpHz = static_cast<float>(paramSmoothed.hp);
  args.lpHz = static_cast<float>(paramSmoothed.lp);

  RunEngine(inputs, outputs, nFrames, stereo, args);

  float gr[3];
  for (int b = 0; b < 3; ++b) {
    gr[b] = processor.bandGainReductionDb()[b];
    gainReductionDb[b].store(gr[b], std::memory_order_relaxed);
  }

  // The own spectrum and its band levels change with a frame (or with the
  // crossovers); in between the slot already holds them.
  const double freqLow = ParamTarget(kFreqLow), freqHigh = ParamTarget(kFreqHigh);
  const bool crossoversMoved = freqLow != levelsFreqLow || freqHigh != levelsFreqHigh;
  const bool stale = ownSpectrumStale.load(std::memory_order_relaxed);
  if (frameDue || crossoversMoved || stale) MeasureBandLevels(processor.spectrumMagnitude(), 1.0f, ownLevels);
  const bool publishSpectrum = frameDue || stale;
  if (registry.IsOpen()) {
    const bool written = registry.PublishBlockOutputs(gr, processor.spectrumMagnitude(), publishSpectrum ? bins : 0,
                                                      ownLevels);
    if (publishSpectrum && written) ownSpectrumStale.store(false, std::memory_order_relaxed);
  }

  if (!peerValid) {
    for (float& v : peerLevels) v = 0.0f;
  } else if (frameDue || crossoversMoved) {
    MeasureBandLevels(peerSpectrum, 1.0f / (static_cast<float>(processor.transformLength()) * 0.25f), peerLevels);
  }
  levelsFreqLow = freqLow;
  levelsFreqHigh = freqHigh;

  for (int b = 0; b < 3; ++b) {
    meterOwnLevels[b].store(ownLevels[b], std::memory_order_relaxed);
    meterPeerLevels[b].store(peerLevels[b], std::memory_order_relaxed);
  }

  FeedAnalyzer(outputs, nFrames, nOut);
}

// 10^(dB / 20), recomputed only when the smoothed make-up moved.
float Quellbridge::MakeupGain(double makeupDb) {
  if (makeupDb != makeupGainDb) {
    makeupGainDb = makeupDb;
    makeupGainLinear = static_cast<float>(std::pow(10.0, makeupDb / 20.0));
  }
  return makeupGainLinear;
}

// The input passes unchanged and undelayed; the engine is not run, so its
// state stays frozen until the bypass is lifted.
void Quellbridge::RunBypassBlock(double** inputs, double** outputs, int nFrames, int nOut) {
  for (int c = 0; c < nOut; ++c)
    if (inputs[c] != outputs[c]) std::memcpy(outputs[c], inputs[c], sizeof(double) * static_cast<size_t>(nFrames));
  registry.PublishBypassed();
  // The slot's spectrum is now zero: the next processed block publishes ours again.
  ownSpectrumStale.store(true, std::memory_order_relaxed);
  for (std::atomic<float>& g : gainReductionDb) g.store(0.0f, std::memory_order_relaxed);
}

// Bands written into the own slot by the peer's editor (or ours). A busy lock
// leaves the counter unconsumed, so the change is taken on a later block.
void Quellbridge::AdoptOwnBands(const QBBandGroup& g) {
  if (g.seq == 0 || g.seq == lastBandSeq.load(std::memory_order_relaxed) || g.count <= 0) return;
  lastBandSeq.store(g.seq, std::memory_order_relaxed);

  const int c = g.count;
  auto ratioOf = [&](int i) -> double {
    return g.bands[i].enabled ? static_cast<double>(g.bands[i].ratio) : 1.0;
  };
  // Which stored band feeds the low, mid and high parameters.
  const int src[3][3] = {{0, 0, 0}, {0, 1, 1}, {0, 1, 2}};
  const int* from = src[c - 1];

  // Values that were not finite in the slot are ignored; the group's other
  // values still apply.
  auto adopt = [&](int idx, double v, bool finite) {
    if (!finite) return;
    paramTargets[idx].store(v, std::memory_order_relaxed);
    GetParam(idx)->Set(v);
  };
  constexpr int kFreqHiField = 1, kThresholdField = 2, kRatioField = 3;
  if (c >= 2) adopt(kFreqLow, Clamp(g.bands[0].freqHi, 20.0, 2000.0), g.Finite(0, kFreqHiField));
  else adopt(kFreqLow, 20.0, true);
  if (c >= 3) adopt(kFreqHigh, Clamp(g.bands[1].freqHi, 500.0, 20000.0), g.Finite(1, kFreqHiField));
  else adopt(kFreqHigh, 20000.0, true);
  for (int b = 0; b < 3; ++b) {
    const int i = from[b];
    adopt(kThreshLow + b, g.bands[i].thresholdDb, g.Finite(i, kThresholdField));
    // A disabled band does not duck, whatever its stored ratio.
    adopt(kRatioLow + b, ratioOf(i), !g.bands[i].enabled || g.Finite(i, kRatioField));
  }
  persistedBandCount.store(c, std::memory_order_relaxed);
}

void Quellbridge::AdoptOwnHpLp(const QBHpLpGroup& g) {
  if (g.seq == 0 || g.seq == lastHpLpSeq.load(std::memory_order_relaxed)) return;
  lastHpLpSeq.store(g.seq, std::memory_order_relaxed);
  if (!(g.nonFinite & 1u)) {
    const double hp = Clamp(g.hpHz, 20.0, 1000.0);
    paramTargets[kHP].store(hp, std::memory_order_relaxed);
    GetParam(kHP)->Set(hp);
  }
  if (!(g.nonFinite & 2u)) {
    const double lp = Clamp(g.lpHz, 1000.0, 20000.0);
    paramTargets[kLP].store(lp, std::memory_order_relaxed);
    GetParam(kLP)->Set(lp);
  }
}

void Quellbridge::AdoptOwnControls(const QBControlsGroup& g) {
  if (g.seq == 0 || g.seq == lastControlsSeq.load(std::memory_order_relaxed)) return;
  lastControlsSeq.store(g.seq, std::memory_order_relaxed);
  if (!(g.nonFinite & 1u)) {
    const double attack = Clamp(g.attackMs, 0.1, 300.0);
    paramTargets[kAttack].store(attack, std::memory_order_relaxed);
    GetParam(kAttack)->Set(attack);
    processor.setAttackTime(attack);
  }
  if (!(g.nonFinite & 2u)) {
    const double release = Clamp(g.releaseMs, 5.0, 2000.0);
    paramTargets[kRelease].store(release, std::memory_order_relaxed);
    GetParam(kRelease)->Set(release);
    processor.setReleaseTime(release);
  }
  if (!(g.nonFinite & 4u)) {
    const double makeup = Clamp(g.makeupDb, -12.0, 24.0);
    paramTargets[kMakeup].store(makeup, std::memory_order_relaxed);
    GetParam(kMakeup)->Set(makeup);
  }
}

// One-pole step with a 30 ms time constant, once per block. The step for a
// block length is kept, as hosts mostly repeat one length.
void Quellbridge::SmoothParameters(int nFrames) {
  if (nFrames != smoothingFrames) {
    smoothingFrames = nFrames;
    smoothingStep = sampleRate > 0.0 ? 1.0 - std::exp(-(nFrames * 1000.0 / sampleRate) / kSmoothingTimeMs) : 0.0;
  }
  const double c = smoothingStep;
  auto follow = [c](double& smoothed, double target) { smoothed += c * (target - smoothed); };
  Smoothed& s = paramSmoothed;
  for (int b = 0; b < 3; ++b) {
    follow(s.thresh[b], ParamTarget(kThreshLow + b));
    follow(s.ratio[b], ParamTarget(kRatioLow + b));
  }
  follow(s.freqLow, ParamTarget(kFreqLow));
  follow(s.freqHigh, ParamTarget(kFreqHigh));
  follow(s.hp, ParamTarget(kHP));
  follow(s.lp, ParamTarget(kLP));
  follow(s.makeup, ParamTarget(kMakeup));
}

// With fewer than two outputs the first input feeds both analysis channels
// and only output 0 is written. The second input bus is never read.
void Quellbridge::RunEngine(double** inputs, double** outputs, int nFrames, bool stereo,
                            const FrameArguments& args) {
  float in0[kRunLength], in1[kRunLength], out0[kRunLength], out1[kRunLength];
  for (int start = 0; start < nFrames; start += kRunLength) {
    const int n = std::min(kRunLength, nFrames - start);
    for (int i = 0; i < n; ++i) in0[i] = static_cast<float>(inputs[0][start + i]);
    if (stereo)
      for (int i = 0; i < n; ++i) in1[i] = static_cast<float>(inputs[1][start + i]);
    processor.run(in0, stereo ? in1 : nullptr, out0, stereo ? out1 : nullptr, n, args);
    for (int i = 0; i < n; ++i) outputs[0][start + i] = out0[i];
    if (stereo)
      for (int i = 0; i < n; ++i) outputs[1][start + i] = out1[i];
  }
}

// Mean of spectrum[k] * scale per band over bins 1 .. min(bins, 1024) - 1,
// split by the crossover targets; 0 for a band without bins. A bin is low
// below FreqLow, else high from FreqHigh on, else mid; as the bin frequencies
// rise with k, each band is one run of bins.
void Quellbridge::MeasureBandLevels(const float* spectrum, float scale, float (&levels)[3]) const {
  const int n = std::min(processor.binCount(), kSpectrumBins);
  const float binWidth = static_cast<float>(sampleRate / processor.transformLength());
  const double freqLow = ParamTarget(kFreqLow);
  const double freqHigh = ParamTarget(kFreqHigh);
  const int lowEnd = FirstBinNotBelow(freqLow, binWidth, 1, n);
  const int midEnd = FirstBinNotBelow(freqHigh, binWidth, lowEnd, n);
  const int begin[3] = {1, lowEnd, midEnd};
  const int end[3] = {lowEnd, midEnd, std::max(n, midEnd)};
  for (int b = 0; b < 3; ++b) {
    const int count = end[b] - begin[b];
    levels[b] = count > 0 ? ScaledSum(spectrum, begin[b], end[b], scale) / static_cast<float>(count) : 0.0f;
  }
}

// Mono mix of the output for the editor's analyser.
void Quellbridge::FeedAnalyzer(double** outputs, int nFrames, int nOut) {
  const bool stereo = nOut > 1;
  const float m = static_cast<float>(std::min(nOut, 2));
  int32_t pos = analyzerWritePos.load(std::memory_order_relaxed);
  for (int i = 0; i < nFrames; ++i) {
    float v = 0.0f;
    if (nOut > 0) v = static_cast<float>(outputs[0][i] + (stereo ? outputs[1][i] : 0.0)) / m;
    analyzerRing[static_cast<uint32_t>(pos) & (kAnalyzerRingSize - 1)].store(v, std::memory_order_relaxed);
    pos = static_cast<int32_t>(static_cast<uint32_t>(pos) + 1u);
  }
  analyzerWritePos.store(pos, std::memory_order_release);
}

}  // namespace qb
