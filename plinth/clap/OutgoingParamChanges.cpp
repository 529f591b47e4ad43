#include "plinth/clap/OutgoingParamChanges.h"

namespace plinth::clap {

OutgoingParamChanges::OutgoingParamChanges(int nParams)
    : mCount(nParams > 0 ? nParams : 0), mSlots(new Slot[static_cast<size_t>(mCount > 0 ? mCount : 1)]) {}

void OutgoingParamChanges::Mark(int idx, uint32_t bits) {
  if (idx < 0 || idx >= mCount) return;
  mSlots[idx].pending.fetch_or(bits, std::memory_order_release);
  // After the bits: a consumer that clears this flag then sees them.
  mAnyPending.store(true, std::memory_order_release);
}

void OutgoingParamChanges::Requeue(Slot& slot, uint32_t bits) {
  slot.pending.fetch_or(bits, std::memory_order_release);
  mAnyPending.store(true, std::memory_order_release);
}

void OutgoingParamChanges::MarkValueChanged(int idx) { Mark(idx, kValue); }

void OutgoingParamChanges::MarkGestureBegin(int idx) {
  if (idx < 0 || idx >= mCount) return;
  mSlots[idx].gestureOpen.store(true, std::memory_order_release);
  Mark(idx, kBegan | kTouched);
}

void OutgoingParamChanges::MarkGestureEnd(int idx) {
  if (idx < 0 || idx >= mCount) return;
  mSlots[idx].gestureOpen.store(false, std::memory_order_release);
  Mark(idx, kTouched);
}

}  // namespace plinth::clap
