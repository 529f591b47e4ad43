#include "core/engine/SpectralProcessor.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <utility>

#include "core/engine/FastMath.h"
#include "core/engine/Smoothing.h"
#include "core/engine/TransformLength.h"

// The frame loops get an AVX2 copy next to the baseline one, chosen once at
// load time for the CPU at hand. Both copies compute bit-identical results
// (no FMA contraction: the build is ISO C++). Sanitizer builds keep one copy,
// as ifunc resolvers run before the sanitizer runtime is up.
#if defined(__x86_64__) && !defined(QB_SANITIZED)
#define QB_FRAME_LOOP __attribute__((target_clones("avx2", "default")))
#else
#define QB_FRAME_LOOP
#endif

namespace qb {

// The frame loops address bin k directly at pair k.
static_assert(RealFft::kNaturalOrder, "the engine's loops assume bins in natural order");

namespace {

constexpr float kTwoPi = 6.2831855f;
// Magnitudes from here up are measured; below it they read as the floor.
constexpr float kMeasurableFloor = 1e-9f;
// Exponent of 2 below which a target gain is 0 anyway (2^-50 < kGainFloor).
constexpr float kMinGainExponent = -50.0f;
constexpr float kMaxMakeupGain = 1e6f;
constexpr float kMaxInput = SpectralProcessor::kMaxInput;
constexpr float kGainFloor = SpectralProcessor::kGainFloor;

// First index in [lo, hi) where a predicate that is false, then true, holds;
// hi if none. Bin frequencies grow with the bin index, so every band and range
// test below is such a predicate.
template <typename Predicate>
int firstBinWhere(int lo, int hi, Predicate holds) noexcept {
  while (lo < hi) {
    const int mid = lo + (hi - lo) / 2;
    if (holds(mid)) {
      hi = mid;
    } else {
      lo = mid + 1;
    }
  }
  return lo;
}

// work = [older, newer] * window, h values each. Returns whether `newer`
// holds a non-finite or out-of-range sample.
QB_FRAME_LOOP
bool windowFrame(float* __restrict work, const float* __restrict older,
                 const float* __restrict newer, const float* __restrict window, int h) noexcept {
  for (int i = 0; i < h; ++i) work[i] = older[i] * window[i];
  int outOfRange = 0;
  for (int i = 0; i < h; ++i) {
    work[h + i] = newer[i] * window[h + i];
    outOfRange |= !(std::fabs(newer[i]) <= kMaxInput);  // also NaN
  }
  return outOfRange != 0;
}

// Non-finite samples become 0 and huge ones are limited.
void limitSamples(float* samples, int count) noexcept {
  for (int i = 0; i < count; ++i) {
    const float x = samples[i];
    samples[i] = x != x ? 0.0f : std::clamp(x, -kMaxInput, kMaxInput);
  }
}

// Mean magnitude of two packed spectra, bin by bin (pair 0 as packed).
QB_FRAME_LOOP
void meanMagnitude(float* __restrict magnitude, const float* __restrict x0,
                   const float* __restrict x1, int bins) noexcept {
  for (int k = 0; k < bins; ++k) {
    const float m0 = std::sqrt(x0[2 * k] * x0[2 * k] + x0[2 * k + 1] * x0[2 * k + 1]);
    const float m1 = std::sqrt(x1[2 * k] * x1[2 * k] + x1[2 * k + 1] * x1[2 * k + 1]);
    magnitude[k] = 0.5f * (m0 + m1);
  }
}

// Finished output of a hop: the second half of the previous frame's output
// plus the first half of this one.
QB_FRAME_LOOP
void overlapHop(float* __restrict finished, const float* __restrict previousTail,
                const float* __restrict current, int h) noexcept {
  for (int i = 0; i < h; ++i) finished[i] = previousTail[i] + current[i];
}

// One smoothing step of the bins [begin, end) towards unity gain: attack
// while a gain falls, release while it rises.
QB_FRAME_LOOP
void smoothTowardUnity(float* __restrict gain, int begin, int end, float attack,
                       float release) noexcept {
  for (int k = begin; k < end; ++k) {
    const float g = gain[k];
    const float c = g > 1.0f ? attack : release;
    gain[k] = 1.0f + c * (g - 1.0f);
  }
}

// Whether any of the bins [begin, end) of the peer is at or above firstAbove.
QB_FRAME_LOOP
bool anyAtOrAbove(const float* __restrict peer, int begin, int end, float firstAbove) noexcept {
  int any = 0;
  for (int k = begin; k < end; ++k) any |= (peer[k] >= firstAbove) & (peer[k] <= FLT_MAX);
  return any != 0;
}

// One smoothing step of the bins [begin, end) of one band towards their
// targets against the peer: 1 where the peer is not above the threshold, else
// (pThr / p)^exponent with exponent = 1 - 1/ratio, computed as
// 2^(exponent * (log2 pThr - log2 p)). Non-finite peer values read as the
// floor.
QB_FRAME_LOOP
void smoothTowardPeerTargets(float* __restrict gain, const float* __restrict peer, int begin,
                             int end, bool floorAbove, float firstAbove, float thresholdLog2,
                             float exponent, float attack, float release) noexcept {
  for (int k = begin; k < end; ++k) {
    const float p = peer[k];
    const bool measurable = (p >= kMeasurableFloor) & (p <= FLT_MAX);
    const bool above = floorAbove | ((p >= firstAbove) & (p <= FLT_MAX));
    const float level = measurable ? fastLog2(measurable ? p : 1.0f) : kPeerFloorLog2;
    float x = exponent * (thresholdLog2 - level);
    x = x < 0.0f ? x : 0.0f;  // never above unity
    x = x > kMinGainExponent ? x : kMinGainExponent;
    float target = fastExp2(x);
    target = target >= kGainFloor ? target : 0.0f;
    target = above ? target : 1.0f;

    const float g = gain[k];
    const float c = g > target ? attack : release;
    const float next = target + c * (g - target);
    gain[k] = next >= kGainFloor ? next : 0.0f;
  }
}

void smoothBand(float* gain, const float* peer, int begin, int end,
                const ThresholdCrossing& crossing, float exponent, float attack,
                float release) noexcept {
  // Cheap test first: often no bin of the band is above its threshold.
  if (!crossing.floorAbove &&
      (!(crossing.firstAbove <= FLT_MAX) || !anyAtOrAbove(peer, begin, end, crossing.firstAbove))) {
    smoothTowardUnity(gain, begin, end, attack, release);
    return;
  }
  smoothTowardPeerTargets(gain, peer, begin, end, crossing.floorAbove, crossing.firstAbove,
                          crossing.thresholdLog2, exponent, attack, release);
}

// Sum of v[begin..end) with eight running partial sums (short dependency chains).
float sumRange(const float* __restrict v, int begin, int end) noexcept {
  float partial[8] = {};
  int k = begin;
  for (; k + 8 <= end; k += 8) {
    for (int j = 0; j < 8; ++j) partial[j] += v[k + j];
  }
  float total = 0.0f;
  for (int j = 0; j < 8; ++j) total += partial[j];
  for (; k < end; ++k) total += v[k];
  return total;
}

}  // namespace

SpectralProcessor::SpectralProcessor() {
  std::fill(std::begin(binGain), std::end(binGain), 1.0f);
}

bool SpectralProcessor::configure(double rate) noexcept {
  ready = false;
  const float asFloat = static_cast<float>(rate);
  sampleRate = (std::isfinite(asFloat) && asFloat > 0.0f) ? asFloat : 0.0f;

  fftSize = transformLengthForSampleRate(rate);
  hopSize = fftSize / 2;
  numBins = fftSize / 2;
  if (!fft.prepare(fftSize)) return false;
  permute = fft.permutation();

  const float n = static_cast<float>(fftSize);
  for (int k = 0; k < fftSize; ++k) {
    window[k] = 0.5f * (1.0f - std::cos(kTwoPi * static_cast<float>(k) / n));
  }
  std::fill(window + fftSize, window + kMaxFftSize, 0.0f);
  referenceLog10 = static_cast<float>(std::log10(fftSize * 0.25));

  frameRate.store(hopSize > 0 ? sampleRate / static_cast<float>(hopSize) : 1.0f);
  refreshCoefficient(attackCoef, attackTimeMs);
  refreshCoefficient(releaseCoef, releaseTimeMs);

  hopFill = 0;
  samplesSeen = 0;
  newestHalf = 1;
  for (int ch = 0; ch < 2; ++ch) {
    hopInput[ch] = frameInput[ch];
    frameWork[ch] = fftWork[ch];
    previousOutput[ch] = overlapAdd[ch];
    // The FIFO starts with one hop of silence: the output of the frame
    // before the first one.
    ringWritePos[ch] = static_cast<uint32_t>(hopSize);
    ringReadPos[ch] = 0;
    std::fill(std::begin(frameInput[ch]), std::end(frameInput[ch]), 0.0f);
    std::fill(std::begin(fftWork[ch]), std::end(fftWork[ch]), 0.0f);
    std::fill(std::begin(overlapAdd[ch]), std::end(overlapAdd[ch]), 0.0f);
    std::fill(std::begin(outputRing[ch]), std::end(outputRing[ch]), 0.0f);
  }
  std::fill(std::begin(magnitude), std::end(magnitude), 0.0f);
  std::fill(std::begin(binGain), std::end(binGain), 1.0f);
  for (CachedCrossing& c : crossings) c.valid = false;
  ready = true;
  return true;
}

void SpectralProcessor::setAttackTime(double ms) noexcept {
  attackTimeMs.store(effectiveAttackMs(ms));
  refreshCoefficient(attackCoef, attackTimeMs);
}

void SpectralProcessor::setReleaseTime(double ms) noexcept {
  releaseTimeMs.store(effectiveReleaseMs(ms));
  refreshCoefficient(releaseCoef, releaseTimeMs);
}

void SpectralProcessor::refreshCoefficient(std::atomic<float>& coef,
                                           const std::atomic<double>& timeMs) noexcept {
  // A setter and configure() may race (editor thread vs. reset): whoever
  // stores last checks afterwards that its inputs are still current and
  // otherwise stores again, so the coefficient ends up matching the latest
  // time and frame rate. Bounded, as nothing here may spin forever.
  double time = timeMs.load();
  float rate = frameRate.load();
  for (int attempt = 0; attempt < 8; ++attempt) {
    coef.store(smoothingCoefficient(time, rate));
    const double timeNow = timeMs.load();
    const float rateNow = frameRate.load();
    if (timeNow == time && rateNow == rate) return;
    time = timeNow;
    rate = rateNow;
  }
}

void SpectralProcessor::processSample(float x0, float x1, float& y0, float& y1,
                                      const FrameArguments& args) noexcept {
  y0 = 0.0f;
  y1 = 0.0f;
  if (!ready) return;
  hopInput[0][hopFill] = x0;
  hopInput[1][hopFill] = x1;
  ++hopFill;
  if (samplesSeen <= 2 * fftSize) ++samplesSeen;
  if (hopFill >= hopSize) completeHop(args);
  if (samplesSeen > fftSize) {
    if (ringReadPos[0] != ringWritePos[0]) y0 = outputRing[0][ringReadPos[0]++ & kRingMask];
    if (ringReadPos[1] != ringWritePos[1]) y1 = outputRing[1][ringReadPos[1]++ & kRingMask];
    if (samplesSeen <= 2 * fftSize) {
      // Output of inputs from before the stream started: exactly 0, not the
      // transforms' rounding noise.
      y0 = 0.0f;
      y1 = 0.0f;
    }
  }
}

void SpectralProcessor::run(const float* in0, const float* in1, float* out0, float* out1,
                            int count, const FrameArguments& args) noexcept {
  if (count <= 0 || !in0 || !out0) return;
  if (!in1) in1 = in0;
  if (!ready) {
    std::fill(out0, out0 + count, 0.0f);
    if (out1) std::fill(out1, out1 + count, 0.0f);
    return;
  }
  int done = 0;
  while (done < count) {
    // Up to the next hop boundary: plain copies, then (maybe) the frame.
    // All inputs of a piece are taken before its outputs are written, so
    // outputs may alias inputs.
    const int chunk = std::min(count - done, hopSize - hopFill);
    std::memcpy(hopInput[0] + hopFill, in0 + done, sizeof(float) * chunk);
    std::memcpy(hopInput[1] + hopFill, in1 + done, sizeof(float) * chunk);
    hopFill += chunk;
    const int seenBefore = samplesSeen;
    samplesSeen = std::min(seenBefore + chunk, 2 * fftSize + 1);

    float* o0 = out0 + done;
    float* o1 = out1 ? out1 + done : nullptr;
    if (hopFill >= hopSize) {
      // The last sample of the piece completes the hop: its output is read
      // after the frame, the others before it.
      readOutputs(o0, o1, 0, chunk - 1, seenBefore);
      completeHop(args);
      readOutputs(o0, o1, chunk - 1, chunk, seenBefore);
    } else {
      readOutputs(o0, o1, 0, chunk, seenBefore);
    }
    done += chunk;
  }
}

void SpectralProcessor::readOutputs(float* out0, float* out1, int begin, int end,
                                    int seenBefore) noexcept {
  if (begin >= end) return;
  // Piece sample j reads the FIFO once seenBefore + j + 1 > N, and outputs
  // what it read once seenBefore + j + 1 > 2N (see processSample).
  const int firstRead = std::clamp(fftSize - seenBefore, begin, end);
  const int firstOutput = std::clamp(2 * fftSize - seenBefore, begin, end);
  for (int ch = 0; ch < 2; ++ch) {
    float* out = ch == 0 ? out0 : out1;
    const uint32_t available = ringWritePos[ch] - ringReadPos[ch];
    const int wanted = end - firstRead;
    const int taken =
        available < static_cast<uint32_t>(wanted) ? static_cast<int>(available) : wanted;
    if (out) {
      // At most two contiguous pieces of the ring.
      const int pos = static_cast<int>(ringReadPos[ch] & kRingMask);
      const int first = std::min(taken, kRingSize - pos);
      std::fill(out + begin, out + firstRead, 0.0f);
      std::memcpy(out + firstRead, outputRing[ch] + pos, sizeof(float) * first);
      std::memcpy(out + firstRead + first, outputRing[ch], sizeof(float) * (taken - first));
      std::fill(out + firstRead + taken, out + end, 0.0f);
      std::fill(out + firstRead, out + firstOutput, 0.0f);
    }
    ringReadPos[ch] += static_cast<uint32_t>(taken);
  }
}

void SpectralProcessor::completeHop(const FrameArguments& args) noexcept {
  // The hop just filled is the newest half; the next one overwrites the other.
  newestHalf = 1 - newestHalf;
  for (int ch = 0; ch < 2; ++ch) hopInput[ch] = frameInput[ch] + (1 - newestHalf) * hopSize;
  hopFill = 0;
  processBlock(args);
}

void SpectralProcessor::processBlock(const FrameArguments& args) noexcept {
  processBlock(args.peerSpectrum, args.peerValid, args.thresholdsDb, args.ratios, args.freqLow,
               args.freqHigh, args.makeupGain, args.hpHz, args.lpHz);
}

void SpectralProcessor::processBlock(const float* peerSpectrum, bool peerValid,
                                     const double* thresholdsDb, const double* ratios,
                                     double freqLow, double freqHigh, float makeupGain,
                                     float hpHz, float lpHz) noexcept {
  if (!ready) return;
  const int n = fftSize;
  const int h = hopSize;

  // Analysis: the frame is the older half of the history followed by the
  // newest, windowed, then transformed. The newest hop is checked for
  // non-finite or huge samples on the way (the older one was checked in the
  // previous frame) and limited in the rare case it needs it.
  for (int ch = 0; ch < 2; ++ch) {
    float* older = frameInput[ch] + (1 - newestHalf) * h;
    float* newer = frameInput[ch] + newestHalf * h;
    if (windowFrame(frameWork[ch], older, newer, window, h)) {
      limitSamples(newer, h);
      windowFrame(frameWork[ch], older, newer, window, h);
    }
    fft.forward(frameWork[ch]);
  }

  // Per-bin gains from the peer (they do not depend on the own spectrum).
  computeBinGains(peerSpectrum, peerValid, thresholdsDb, ratios, freqLow, freqHigh, hpHz, lpHz);

  // Own spectrum.
  meanMagnitude(magnitude, frameWork[0], frameWork[1], numBins);

  // Resynthesis: the gains and the output scale s = makeup * 0.5 / N on both
  // parts of every pair (pair 0, DC and Nyquist, takes bin 0's unity gain),
  // inverse transform, no synthesis window. Frames overlap by half: the
  // previous frame's second half plus this frame's first half is finished
  // output and goes into the FIFO; this frame's output then becomes the
  // previous one.
  if (!(makeupGain == makeupGain)) makeupGain = 1.0f;
  makeupGain = std::clamp(makeupGain, -kMaxMakeupGain, kMaxMakeupGain);
  const float scale = makeupGain * 0.5f / static_cast<float>(n);
  for (int ch = 0; ch < 2; ++ch) {
    fft.inverse(frameWork[ch], binGain, scale);
    // Write positions are multiples of the hop, which divides the ring size,
    // so a hop never wraps.
    overlapHop(outputRing[ch] + (ringWritePos[ch] & kRingMask), previousOutput[ch] + h,
               frameWork[ch], h);
    ringWritePos[ch] += static_cast<uint32_t>(h);
    std::swap(frameWork[ch], previousOutput[ch]);
  }

  computeBandFigures(freqLow, freqHigh);
}

const ThresholdCrossing& SpectralProcessor::crossingFor(int band, float thresholdDb) noexcept {
  CachedCrossing& cached = crossings[band];
  if (!cached.valid || std::memcmp(&cached.thresholdDb, &thresholdDb, sizeof(float)) != 0) {
    cached.crossing = findThresholdCrossing(referenceLog10, thresholdDb);
    cached.thresholdDb = thresholdDb;
    cached.valid = true;
  }
  return cached.crossing;
}

void SpectralProcessor::computeBinGains(const float* peerSpectrum, bool peerValid,
                                        const double* thresholdsDb, const double* ratios,
                                        double freqLow, double freqHigh, float hpHz,
                                        float lpHz) noexcept {
  const int bins = numBins;
  const int last = bins - 1;  // bins 0 and bins-1 keep unity gain
  const float binWidth = sampleRate / static_cast<float>(fftSize);
  const int limit = (peerSpectrum != nullptr && peerValid) ? kPeerBins : 0;
  const float fLow = static_cast<float>(freqLow);
  const float fHigh = static_cast<float>(freqHigh);
  auto freq = [binWidth](int k) { return static_cast<float>(k) * binWidth; };

  // Bands: low while fLow > f, else high from fHigh <= f, else mid.
  const int lowEnd = firstBinWhere(1, last, [&](int k) { return !(fLow > freq(k)); });
  const int highBegin = firstBinWhere(lowEnd, last, [&](int k) { return fHigh <= freq(k); });
  // Duckable range: hpHz <= f <= lpHz, within the peer's bins.
  const int duckBegin = firstBinWhere(1, last, [&](int k) { return freq(k) >= hpHz; });
  const int duckEnd = std::min(
      firstBinWhere(duckBegin, last, [&](int k) { return !(lpHz >= freq(k)); }), limit);

  // Bins that cannot duck move towards unity; the duckable range splits
  // along the bands. Attack and release may change meanwhile on another
  // thread; this frame uses the values read here.
  const float attack = attackCoef.load(std::memory_order_relaxed);
  const float release = releaseCoef.load(std::memory_order_relaxed);
  float* gain = binGain;
  if (duckBegin < duckEnd) {
    smoothTowardUnity(gain, 1, duckBegin, attack, release);
    const int bandBegin[kBands] = {1, lowEnd, highBegin};
    const int bandEnd[kBands] = {lowEnd, highBegin, last};
    for (int band = 0; band < kBands; ++band) {
      const int begin = std::max(bandBegin[band], duckBegin);
      const int end = std::min(bandEnd[band], duckEnd);
      if (begin >= end) continue;
      const float ratio = static_cast<float>(ratios[band]);
      const float exponent = 1.0f - 1.0f / ratio;
      if (!(ratios[band] > 1.0) || !(exponent > 0.0f)) {
        smoothTowardUnity(gain, begin, end, attack, release);
        continue;
      }
      const ThresholdCrossing& crossing =
          crossingFor(band, static_cast<float>(thresholdsDb[band]));
      smoothBand(gain, peerSpectrum, begin, end, crossing, exponent, attack, release);
    }
    smoothTowardUnity(gain, duckEnd, last, attack, release);
  } else {
    smoothTowardUnity(gain, 1, last, attack, release);
  }
  gain[last] = 1.0f;
  gain[0] = 1.0f;
}

void SpectralProcessor::computeBandFigures(double freqLow, double freqHigh) noexcept {
  const int bins = numBins;
  const float binWidth = sampleRate / static_cast<float>(fftSize);
  const float fLow = static_cast<float>(freqLow);
  const float fHigh = static_cast<float>(freqHigh);
  auto freq = [binWidth](int k) { return static_cast<float>(k) * binWidth; };
  // Bins 1..bins-1, split as for the gains.
  const int lowEnd = firstBinWhere(1, bins, [&](int k) { return !(fLow > freq(k)); });
  const int highBegin = firstBinWhere(lowEnd, bins, [&](int k) { return fHigh <= freq(k); });
  const int begin[kBands] = {1, lowEnd, highBegin};
  const int end[kBands] = {lowEnd, highBegin, bins};
  for (int band = 0; band < kBands; ++band) {
    const int count = end[band] - begin[band];
    if (count <= 0) {
      bandGrDb[band] = 0.0f;
      continue;
    }
    const float mean = sumRange(binGain, begin[band], end[band]) / static_cast<float>(count);
    bandGrDb[band] = mean < 1e-9f ? -180.0f : 20.0f * std::log10(mean);
  }
}

}  // namespace qb
