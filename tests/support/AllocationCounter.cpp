#include "AllocationCounter.h"

#ifndef QB_SANITIZED
#include <malloc.h>
#include <cstdlib>
#include <cstring>

extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* __libc_memalign(size_t, size_t);
void __libc_free(void*);
}

namespace {
thread_local int tCounting = 0;
thread_local size_t tCount = 0;
inline void Note() {
  if (tCounting) ++tCount;
}
}  // namespace

// Exported from the test executable (linked with -rdynamic), so every module
// the test loads allocates through these.
extern "C" {
__attribute__((visibility("default"))) void* malloc(size_t n) {
  Note();
  return __libc_malloc(n);
}
__attribute__((visibility("default"))) void* calloc(size_t a, size_t b) {
  Note();
  return __libc_calloc(a, b);
}
__attribute__((visibility("default"))) void* realloc(void* p, size_t n) {
  Note();
  return __libc_realloc(p, n);
}
__attribute__((visibility("default"))) void free(void* p) { __libc_free(p); }
__attribute__((visibility("default"))) void* memalign(size_t a, size_t n) {
  Note();
  return __libc_memalign(a, n);
}
__attribute__((visibility("default"))) void* aligned_alloc(size_t a, size_t n) {
  Note();
  return __libc_memalign(a, n);
}
__attribute__((visibility("default"))) int posix_memalign(void** out, size_t a, size_t n) {
  Note();
  void* p = __libc_memalign(a, n);
  if (!p) return 12;  // ENOMEM
  *out = p;
  return 0;
}
}

namespace qbtest {
bool AllocationCountingAvailable() { return true; }
AllocationScope::AllocationScope() : mStart(tCount) { ++tCounting; }
AllocationScope::~AllocationScope() { --tCounting; }
size_t AllocationScope::Count() const { return tCount - mStart; }
}  // namespace qbtest

#else

namespace qbtest {
bool AllocationCountingAvailable() { return false; }
AllocationScope::AllocationScope() : mStart(0) {}
AllocationScope::~AllocationScope() = default;
size_t AllocationScope::Count() const { return 0; }
}  // namespace qbtest

#endif
