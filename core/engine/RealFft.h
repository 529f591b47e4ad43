#pragma once
// Real-input FFT of N = 512, 1024, 2048 or 4096 points on FFTW3 (single precision),
// in the engine's own convention:
//
//   forward(data): in place on N floats. Afterwards data holds N/2 complex values
//     (pairs of floats); bin k sits at pair permutation()[k] (here the identity),
//     pair 0 holds DC in its real part and Nyquist in its imaginary part, and
//     every value is twice the plain DFT: X[k] = 2 * sum x[n] e^(-2 pi i k n / N).
//   inverse(data): in place, the exact inverse up to scale, so that forward then
//     inverse multiplies the signal by 2N.
//
// Threads: prepare() and the destructor run on a non-audio thread (they plan
// and destroy plans under a process-wide lock, as FFTW's planner is not
// thread-safe). forward()/inverse() run on the audio thread; they allocate
// nothing and take no lock. One object must not be executed from two threads at
// once (it owns one scratch spectrum).

#include <fftw3.h>

namespace qb {

class RealFft {
 public:
  static constexpr int kMinSize = 512;
  static constexpr int kMaxSize = 4096;
  // Bins are stored in natural order: permutation()[k] == k.
  static constexpr bool kNaturalOrder = true;

  RealFft();
  ~RealFft();
  RealFft(const RealFft&) = delete;
  RealFft& operator=(const RealFft&) = delete;

  // Non-audio thread. Makes (or reuses) the plans for `size` and selects it.
  // Returns false, leaving the previous selection, for any other size or when
  // FFTW cannot plan.
  bool prepare(int size) noexcept;

  // The selected size, 0 before the first successful prepare().
  int size() const noexcept { return activeSize; }
  // Position of bin k (k < size()/2) in the packed spectrum, in pairs.
  const int* permutation() const noexcept { return permuteTable; }

  // Audio thread. `data` holds size() floats. Nothing happens before prepare().
  void forward(float* data) noexcept;
  void inverse(float* data) noexcept;
  // inverse() of the spectrum with bin k scaled by binGains[k] * scale
  // (size()/2 gains; pair 0, DC and Nyquist, takes binGains[0]), in the same
  // pass that hands the spectrum to FFTW.
  void inverse(float* data, const float* binGains, float scale) noexcept;

 private:
  struct Plans {
    fftwf_plan forward = nullptr;
    fftwf_plan inverse = nullptr;
  };
  static int sizeIndex(int size) noexcept;
  void executeInverse(float* data) noexcept;
  static constexpr int kSizeCount = 4;

  Plans plans[kSizeCount];
  int activeSize = 0;
  Plans active;
  // Scratch spectrum in FFTW's layout (N/2 + 1 complex values) and a real
  // buffer used for planning and for callers whose data is not SIMD-aligned.
  fftwf_complex* spectrum = nullptr;
  float* alignedReal = nullptr;
  int alignment = 0;  // fftwf_alignment_of() of the planning buffer
  int permuteTable[kMaxSize / 2];
};

}  // namespace qb
