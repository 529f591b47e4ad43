#pragma once
// Creates plug-in objects the way every wrapper must: one construction at a
// time per module (a process-wide recursive mutex with priority inheritance),
// the object 64-byte aligned (Plugin is alignas(64), so new uses aligned new).

#include <mutex>

#include "plinth/Plugin.h"

namespace plinth {

// Recursive, priority-inheriting mutex that serialises plug-in construction.
class ConstructionMutex {
 public:
  static ConstructionMutex& Get();
  ~ConstructionMutex();
  void lock();
  void unlock();

 private:
  ConstructionMutex();
  struct Impl;
  Impl* mImpl;
};

template <class T>
T* MakePlug(const InstanceInfo& info) {
  static_assert(alignof(T) >= 64, "plug-in objects are 64-byte aligned");
  std::lock_guard<ConstructionMutex> lock(ConstructionMutex::Get());
  return new T(info);
}

}  // namespace plinth
