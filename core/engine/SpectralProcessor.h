#pragma once
// The STFT ducking engine. Takes a stereo stream, cuts it into frames of N
// samples with a hop of N/2 (periodic Hann window), lowers every frequency bin
// whose level in the paired instance's spectrum exceeds its band threshold
// (a downward compressor keyed by the peer), and overlap-adds the result into
// a per-channel output FIFO. With every gain at unity the output is the input
// delayed by 2N samples. Per frame it also leaves the own magnitude spectrum
// (published to the peer) and a gain-reduction figure per band.
//
// Threads:
// - configure() runs while audio is stopped (the plug-in's reset); it plans
//   the transforms and may allocate.
// - setAttackTime() / setReleaseTime() may run on any thread at any time,
//   also during configure(); the times and coefficients are atomics, and a
//   frame may use one old and one new coefficient.
// - Everything else belongs to the audio thread: no allocation, no locks, no
//   system calls.
//
// Robustness: non-finite input samples count as 0 and inputs are limited to
// +-1e15, non-finite peer magnitudes count as silence, a non-finite makeup
// gain as 1, so no NaN or infinity reaches the output. Gains and coefficients
// below 1e-15 are held at 0, so the smoothing never produces denormals.

#include <atomic>
#include <cstdint>

#include "core/engine/FrameArguments.h"
#include "core/engine/GainLaw.h"
#include "core/engine/RealFft.h"

namespace qb {

class SpectralProcessor {
 public:
  static constexpr int kMaxFftSize = RealFft::kMaxSize;
  static constexpr int kMaxBins = kMaxFftSize / 2;
  // Bins a peer spectrum carries; only these can be ducked.
  static constexpr int kPeerBins = 1024;
  static constexpr int kRingSize = 16384;
  static constexpr uint32_t kRingMask = kRingSize - 1;
  static constexpr int kBands = 3;
  // Inputs beyond this magnitude are limited to it (no overflow in the transforms).
  static constexpr float kMaxInput = 1e15f;
  // Gains below this are 0 (-300 dB).
  static constexpr float kGainFloor = 1e-15f;

  // Allocates the transform buffers. The engine is silent (outputs 0, keeps no
  // state) until the first successful configure().
  SpectralProcessor();
  SpectralProcessor(const SpectralProcessor&) = delete;
  SpectralProcessor& operator=(const SpectralProcessor&) = delete;

  // Main thread, audio stopped. Chooses the transform length for the rate
  // (transformLengthForSampleRate), plans it, builds the window, recomputes
  // both coefficients from the current times and clears every buffer, ring
  // position and counter, with every bin gain at 1. The band figures are
  // kept. A rate that is not a finite positive float is stored as 0 Hz (every
  // bin then sits at 0 Hz and the gains follow their targets at once); the
  // length still follows transformLengthForSampleRate(). Returns false if the
  // transform cannot be planned; the engine is then silent.
  bool configure(double sampleRate) noexcept;

  // Any thread. Times in ms; attack at least 0.1 ms, release at least 1 ms.
  void setAttackTime(double ms) noexcept;
  void setReleaseTime(double ms) noexcept;

  // Audio thread. One input pair in, one output pair out. Runs a frame
  // (processBlock with `args`) at the sample that completes a hop, before that
  // sample's output is read. The output is exactly 0 during the first 2N
  // samples (the FIFO is read from sample N + 1 on; samples N + 1 .. 2N carry
  // only rounding noise of inputs before the start and are output as 0).
  void processSample(float x0, float x1, float& y0, float& y1, const FrameArguments& args) noexcept;

  // Audio thread. `count` samples, identical to `count` processSample() calls.
  // in1 may be null (both channels read in0) and out1 may be null (channel 1
  // is discarded); outputs may alias inputs.
  void run(const float* in0, const float* in1, float* out0, float* out1, int count,
           const FrameArguments& args) noexcept;

  // Audio thread. One frame over the last two hops of input, as the sample
  // stream runs it when a hop completes (called directly, it analyses the
  // same input again). peerSpectrum must hold at least kPeerBins values when
  // it is not null and peerValid is set; thresholdsDb and ratios hold three
  // values (low, mid, high).
  void processBlock(const float* peerSpectrum, bool peerValid, const double* thresholdsDb,
                    const double* ratios, double freqLow, double freqHigh, float makeupGain,
                    float hpHz, float lpHz) noexcept;
  void processBlock(const FrameArguments& args) noexcept;

  // Results of the last frame (audio thread, or while audio is stopped).
  const float* spectrumMagnitude() const noexcept { return magnitude; }  // binCount() values
  const float* bandGainReductionDb() const noexcept { return bandGrDb; }  // low, mid, high
  const float* binGains() const noexcept { return binGain; }              // binCount() values
  // Configuration (set by configure()).
  int transformLength() const noexcept { return fftSize; }
  int hopLength() const noexcept { return hopSize; }
  // Audio thread: input samples until the next frame runs (1 .. hop), or a
  // very large number while unconfigured (no frame will run).
  int samplesUntilFrame() const noexcept { return ready ? hopSize - hopFill : 0x7fffffff; }
  int binCount() const noexcept { return numBins; }
  float rate() const noexcept { return sampleRate; }
  const int* permutation() const noexcept { return permute; }
  const float* analysisWindow() const noexcept { return window; }
  // Any thread.
  float attackCoefficient() const noexcept { return attackCoef.load(std::memory_order_relaxed); }
  float releaseCoefficient() const noexcept { return releaseCoef.load(std::memory_order_relaxed); }
  double attackTime() const noexcept { return attackTimeMs.load(std::memory_order_relaxed); }
  double releaseTime() const noexcept { return releaseTimeMs.load(std::memory_order_relaxed); }

 private:
  void completeHop(const FrameArguments& args) noexcept;
  void readOutputs(float* out0, float* out1, int begin, int end, int seenBefore) noexcept;
  void computeBinGains(const float* peerSpectrum, bool peerValid, const double* thresholdsDb,
                       const double* ratios, double freqLow, double freqHigh, float hpHz,
                       float lpHz) noexcept;
  void computeBandFigures(double freqLow, double freqHigh) noexcept;
  const ThresholdCrossing& crossingFor(int band, float thresholdDb) noexcept;
  void refreshCoefficient(std::atomic<float>& coef, const std::atomic<double>& timeMs) noexcept;

  // Configuration: written by configure() while audio is stopped, read by the
  // audio thread.
  float sampleRate = 44100.0f;
  const int* permute = nullptr;  // natural order: bin k at pair k
  int32_t fftSize = 1024;
  int32_t hopSize = 512;
  int32_t numBins = 512;
  float referenceLog10 = 2.4082400f;  // log10(N / 4): the 0 dB magnitude
  bool ready = false;

  // Audio thread only.
  int32_t hopFill = 0;
  // Samples since the last configure; stops counting once past 2N (the last
  // question asked of it), so it cannot overflow.
  int32_t samplesSeen = 0;
  int32_t newestHalf = 1;  // of frameInput

  // Any thread. The setters and configure() write them; the audio thread
  // reads the coefficients (relaxed) once per frame.
  std::atomic<float> attackCoef{0.0f};
  std::atomic<float> releaseCoef{0.0f};
  std::atomic<double> attackTimeMs{10.0};
  std::atomic<double> releaseTimeMs{100.0};
  std::atomic<float> frameRate{0.0f};  // sampleRate / hop, for the setters

  // Audio thread only. Running counts of samples written to / read from
  // outputRing (position = count & kRingMask); unsigned, so they wrap cleanly.
  uint32_t ringWritePos[2] = {0, 0};
  uint32_t ringReadPos[2] = {0, 0};
  // The last N inputs as two halves of H: the half at newestHalf holds the
  // last complete hop (range-limited once its frame ran), the other one the
  // hop before, which the samples of the current hop overwrite.
  alignas(64) float frameInput[2][kMaxFftSize] = {};
  // Per channel, where the samples of the current hop go: the older half.
  float* hopInput[2] = {frameInput[0], frameInput[1]};
  // Two frame buffers per channel that swap roles every frame: frameWork
  // holds the frame being transformed, previousOutput the last frame's
  // scaled output, whose second half (H values, oldest first) waits to be
  // overlap-added with the next frame's first half.
  alignas(64) float fftWork[2][kMaxFftSize] = {};
  alignas(64) float overlapAdd[2][kMaxFftSize] = {};
  float* frameWork[2] = {fftWork[0], fftWork[1]};
  float* previousOutput[2] = {overlapAdd[0], overlapAdd[1]};
  // FIFO of finished output; it starts with one hop of silence.
  alignas(64) float outputRing[2][kRingSize] = {};
  alignas(64) float window[kMaxFftSize] = {};         // written by configure()
  alignas(64) float magnitude[kMaxBins] = {};
  alignas(64) float binGain[kMaxBins];
  float bandGrDb[kBands] = {0.0f, 0.0f, 0.0f};

  // Audio thread only: the threshold boundaries of the last thresholds seen
  // per band (configure() invalidates them).
  struct CachedCrossing {
    bool valid = false;
    float thresholdDb = 0.0f;
    ThresholdCrossing crossing;
  };
  CachedCrossing crossings[kBands];

  RealFft fft;
};

}  // namespace qb
