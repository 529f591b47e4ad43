#pragma once
// A fixed-capacity single-producer / single-consumer queue: no locks, no
// allocation after construction. Push fails when full, Pop when empty.

#include <atomic>
#include <cstddef>
#include <vector>

namespace qbhost {

template <typename T>
class SpscRing {
 public:
  explicit SpscRing(size_t capacity) : mSlots(capacity + 1) {}

  // Producer thread.
  bool Push(const T& value) {
    const size_t head = mHead.load(std::memory_order_relaxed);
    const size_t next = (head + 1) % mSlots.size();
    if (next == mTail.load(std::memory_order_acquire)) return false;
    mSlots[head] = value;
    mHead.store(next, std::memory_order_release);
    return true;
  }
  // Consumer thread.
  bool Pop(T& out) {
    const size_t tail = mTail.load(std::memory_order_relaxed);
    if (tail == mHead.load(std::memory_order_acquire)) return false;
    out = mSlots[tail];
    mTail.store((tail + 1) % mSlots.size(), std::memory_order_release);
    return true;
  }

 private:
  std::vector<T> mSlots;
  std::atomic<size_t> mHead{0};  // written by the producer
  std::atomic<size_t> mTail{0};  // written by the consumer
};

}  // namespace qbhost
