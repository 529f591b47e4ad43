#pragma once
// Parameter changes the plug-in made itself (editor, shared settings), waiting
// to be reported to the host as output events.
//
// Producers (any thread) only touch per-parameter atomics: no locks, no
// allocation. The single consumer is whichever thread runs the host's process
// or flush call (the host never runs those concurrently); it turns the flags
// into an ordered sequence of gesture-begin / value / gesture-end reports.
// Several gestures between two drains collapse into one, and a value report
// always carries the parameter's value at drain time.

#include <atomic>
#include <cstdint>
#include <memory>

namespace plinth::clap {

class OutgoingParamChanges {
 public:
  enum class Report { GestureBegin, Value, GestureEnd };

  explicit OutgoingParamChanges(int nParams);

  // Any thread. Indices outside 0..n-1 are ignored.
  void MarkValueChanged(int idx);
  void MarkGestureBegin(int idx);
  void MarkGestureEnd(int idx);
  // Any thread: whether a drain would find something to do.
  bool AnyPending() const { return mAnyPending.load(std::memory_order_acquire); }

  // Consumer thread only. Calls report(Report, idx) in order; report returns
  // false when the host's list refused the event, which is then kept for the
  // next drain.
  template <typename ReportFn>
  void Drain(ReportFn&& report);

  int Count() const { return mCount; }

 private:
  enum : uint32_t { kValue = 1u, kBegan = 2u, kTouched = 4u };

  struct Slot {
    std::atomic<uint32_t> pending{0};       // producers set bits, the consumer takes them
    std::atomic<bool> gestureOpen{false};   // the plug-in's own gesture state, producers
    bool hostGestureOpen = false;           // what the host was told; consumer thread only
  };

  void Mark(int idx, uint32_t bits);
  void Requeue(Slot& slot, uint32_t bits);

  int mCount;
  std::unique_ptr<Slot[]> mSlots;
  std::atomic<bool> mAnyPending{false};
};

template <typename ReportFn>
void OutgoingParamChanges::Drain(ReportFn&& report) {
  if (!mAnyPending.exchange(false, std::memory_order_acq_rel)) return;
  for (int i = 0; i < mCount; ++i) {
    Slot& slot = mSlots[i];
    const uint32_t bits = slot.pending.exchange(0, std::memory_order_acquire);
    if (!bits) continue;
    const bool began = bits & kBegan;
    const bool open = slot.gestureOpen.load(std::memory_order_acquire);

    // A new gesture began since the last drain: the one the host sees open ended before it.
    if (slot.hostGestureOpen && began) {
      if (!report(Report::GestureEnd, i)) {
        Requeue(slot, bits);
        continue;
      }
      slot.hostGestureOpen = false;
    }
    if (began && !slot.hostGestureOpen) {
      if (!report(Report::GestureBegin, i)) {
        Requeue(slot, bits);
        continue;
      }
      slot.hostGestureOpen = true;
    }
    if ((bits & kValue) && !report(Report::Value, i)) {
      Requeue(slot, kValue | kTouched);
      continue;
    }
    // Values first: an edit and the end of its gesture arrive in that order.
    if (slot.hostGestureOpen && !open) {
      if (report(Report::GestureEnd, i))
        slot.hostGestureOpen = false;
      else
        Requeue(slot, kTouched);
    }
  }
}

}  // namespace plinth::clap
