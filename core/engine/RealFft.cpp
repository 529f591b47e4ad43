#include "core/engine/RealFft.h"

#include <dlfcn.h>

#include <cstring>
#include <mutex>

namespace qb {

namespace {

// FFTW's planner keeps process-wide state. Inside this module the mutex
// serialises planning and plan destruction; fftwf_make_planner_thread_safe()
// makes the shared libfftw3f serialise its planner too, which covers a second
// module of ours (with its own copy of this mutex) in the same host process.
std::mutex& plannerMutex() {
  static std::mutex mutex;
  return mutex;
}

// Keeps the shared library that holds `symbol` loaded for the rest of the
// process, whatever happens to this module.
void pinLibraryOf(void* symbol) {
  Dl_info info{};
  if (dladdr(symbol, &info) != 0 && info.dli_fname != nullptr)
    dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
}

// FFTW keeps process-wide state that outlives any one module of ours: the
// planner's tables and wisdom in libfftw3f, and the planner hooks installed by
// fftwf_make_planner_thread_safe() in libfftw3f_threads. Both libraries stay
// loaded once used: unloading libfftw3f with this module would lose (leak)
// that state, and unloading only libfftw3f_threads while libfftw3f stays for
// another module or the host would leave FFTW calling unmapped code.
void makePlannerThreadSafeOnce() {
  static std::once_flag once;
  std::call_once(once, [] {
    pinLibraryOf(reinterpret_cast<void*>(&fftwf_execute));
    pinLibraryOf(reinterpret_cast<void*>(&fftwf_make_planner_thread_safe));
    fftwf_make_planner_thread_safe();
  });
}

// Plans are chosen by FFTW's heuristics: planning is quick and deterministic
// and never touches the data.
constexpr unsigned kPlannerFlags = FFTW_ESTIMATE | FFTW_DESTROY_INPUT;

}  // namespace

RealFft::RealFft() {
  spectrum = fftwf_alloc_complex(kMaxSize / 2 + 1);
  alignedReal = fftwf_alloc_real(kMaxSize);
  if (spectrum) std::memset(spectrum, 0, sizeof(fftwf_complex) * (kMaxSize / 2 + 1));
  if (alignedReal) {
    std::memset(alignedReal, 0, sizeof(float) * kMaxSize);
    alignment = fftwf_alignment_of(alignedReal);
  }
  for (int k = 0; k < kMaxSize / 2; ++k) permuteTable[k] = k;
}

RealFft::~RealFft() {
  {
    std::lock_guard<std::mutex> lock(plannerMutex());
    for (Plans& p : plans) {
      if (p.forward) fftwf_destroy_plan(p.forward);
      if (p.inverse) fftwf_destroy_plan(p.inverse);
    }
  }
  fftwf_free(alignedReal);
  fftwf_free(spectrum);
}

int RealFft::sizeIndex(int size) noexcept {
  switch (size) {
    case 512: return 0;
    case 1024: return 1;
    case 2048: return 2;
    case 4096: return 3;
    default: return -1;
  }
}

bool RealFft::prepare(int size) noexcept {
  const int index = sizeIndex(size);
  if (index < 0 || !spectrum || !alignedReal) return false;
  Plans& p = plans[index];
  if (!p.forward || !p.inverse) {
    try {
      makePlannerThreadSafeOnce();
      std::lock_guard<std::mutex> lock(plannerMutex());
      if (!p.forward) p.forward = fftwf_plan_dft_r2c_1d(size, alignedReal, spectrum, kPlannerFlags);
      if (!p.inverse) p.inverse = fftwf_plan_dft_c2r_1d(size, spectrum, alignedReal, kPlannerFlags);
    } catch (...) {
      return false;  // the mutex could not be taken
    }
    if (!p.forward || !p.inverse) return false;
  }
  active = p;
  activeSize = size;
  return true;
}

void RealFft::forward(float* data) noexcept {
  const int n = activeSize;
  if (n == 0) return;
  float* input = data;
  if (fftwf_alignment_of(data) != alignment) {
    std::memcpy(alignedReal, data, sizeof(float) * n);
    input = alignedReal;
  }
  fftwf_execute_dft_r2c(active.forward, input, spectrum);

  // FFTW leaves bins 0..N/2 with zero imaginary parts at both ends; pack the
  // Nyquist value into pair 0 and apply the factor 2 of this convention.
  const float* __restrict s = reinterpret_cast<const float*>(spectrum);
  float* __restrict out = data;
  out[0] = 2.0f * s[0];
  out[1] = 2.0f * s[n];
  for (int i = 2; i < n; ++i) out[i] = 2.0f * s[i];
}

void RealFft::inverse(float* data) noexcept {
  const int n = activeSize;
  if (n == 0) return;
  float* __restrict s = reinterpret_cast<float*>(spectrum);
  const float* __restrict in = data;
  s[0] = in[0];
  s[1] = 0.0f;
  s[n] = in[1];
  s[n + 1] = 0.0f;
  for (int i = 2; i < n; ++i) s[i] = in[i];
  executeInverse(data);
}

void RealFft::inverse(float* data, const float* binGains, float scale) noexcept {
  const int n = activeSize;
  if (n == 0) return;
  float* __restrict s = reinterpret_cast<float*>(spectrum);
  const float* __restrict in = data;
  const float* __restrict g = binGains;
  s[0] = in[0] * (g[0] * scale);
  s[1] = 0.0f;
  s[n] = in[1] * (g[0] * scale);
  s[n + 1] = 0.0f;
  for (int k = 1; k < n / 2; ++k) {
    const float factor = g[k] * scale;
    s[2 * k] = in[2 * k] * factor;
    s[2 * k + 1] = in[2 * k + 1] * factor;
  }
  executeInverse(data);
}

void RealFft::executeInverse(float* data) noexcept {
  // The unnormalised complex-to-real transform returns N times the signal
  // whose spectrum (in FFTW's scale) was given; our spectra carry a factor 2,
  // hence 2N overall.
  if (fftwf_alignment_of(data) == alignment) {
    fftwf_execute_dft_c2r(active.inverse, spectrum, data);
  } else {
    fftwf_execute_dft_c2r(active.inverse, spectrum, alignedReal);
    std::memcpy(data, alignedReal, sizeof(float) * activeSize);
  }
}

}  // namespace qb
