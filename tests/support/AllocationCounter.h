#pragma once
// Counts heap allocations made by the calling thread while a scope is active,
// including those made inside dlopen'ed modules (the test executable exports
// its malloc family). Unavailable under sanitizers, which own malloc.

#include <cstddef>

namespace qbtest {

// False in sanitizer builds; tests then skip their allocation checks.
bool AllocationCountingAvailable();

class AllocationScope {
 public:
  AllocationScope();
  ~AllocationScope();
  AllocationScope(const AllocationScope&) = delete;
  AllocationScope& operator=(const AllocationScope&) = delete;
  // Allocations (malloc, calloc, realloc, aligned forms, operator new) so far.
  size_t Count() const;

 private:
  size_t mStart;
};

}  // namespace qbtest
