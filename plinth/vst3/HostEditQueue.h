#pragma once
// Parameter edits the plug-in makes itself, on their way to the host. Any
// thread marks a parameter (gesture begin, new value, gesture end) with one
// atomic or; the main thread later turns the marks into beginEdit /
// performEdit / endEdit calls on the host's component handler. Several
// changes between two deliveries collapse into one performEdit carrying the
// latest value.

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "pluginterfaces/vst/ivsteditcontroller.h"

namespace plinth::vst3 {

class HostEditQueue {
 public:
  explicit HostEditQueue(int nParams);

  // Any thread; lock-free, never allocates.
  void MarkBegin(int idx) { Mark(idx, kBegin); }
  void MarkChanged(int idx) { Mark(idx, kChanged); }
  void MarkEnd(int idx) { Mark(idx, kEnd); }
  // The host set the parameter itself: a pending value of ours is superseded
  // and must not be echoed back. Gesture marks stay.
  void ClearChanged(int idx);
  bool HasPending() const { return mAnyPending.load(std::memory_order_acquire); }

  // Main thread. normalizedValue(idx) gives the value to report. A change
  // outside an open gesture is wrapped in its own beginEdit / endEdit.
  template <typename ValueFn>
  void Deliver(Steinberg::Vst::IComponentHandler& handler, ValueFn normalizedValue);

  // Main thread: forget pending marks and open gestures (no handler any more).
  void Reset();

 private:
  enum : uint8_t { kBegin = 1, kChanged = 2, kEnd = 4 };
  void Mark(int idx, uint8_t bit);

  const int mNumParams;
  std::unique_ptr<std::atomic<uint8_t>[]> mMarks;  // any thread sets, main thread takes
  std::atomic<bool> mAnyPending{false};
  std::vector<bool> mGestureOpen;  // main thread only: the host saw beginEdit without endEdit
};

template <typename ValueFn>
void HostEditQueue::Deliver(Steinberg::Vst::IComponentHandler& handler, ValueFn normalizedValue) {
  if (!mAnyPending.exchange(false, std::memory_order_acq_rel)) return;
  for (int i = 0; i < mNumParams; ++i) {
    const uint8_t marks = mMarks[static_cast<size_t>(i)].exchange(0, std::memory_order_acq_rel);
    if (!marks) continue;
    const auto id = static_cast<Steinberg::Vst::ParamID>(i);
    if ((marks & kBegin) && !mGestureOpen[static_cast<size_t>(i)]) {
      handler.beginEdit(id);
      mGestureOpen[static_cast<size_t>(i)] = true;
    }
    if (marks & kChanged) {
      const bool standalone = !mGestureOpen[static_cast<size_t>(i)];
      if (standalone) handler.beginEdit(id);
      handler.performEdit(id, normalizedValue(i));
      if (standalone) handler.endEdit(id);
    }
    if ((marks & kEnd) && mGestureOpen[static_cast<size_t>(i)]) {
      handler.endEdit(id);
      mGestureOpen[static_cast<size_t>(i)] = false;
    }
  }
}

}  // namespace plinth::vst3
