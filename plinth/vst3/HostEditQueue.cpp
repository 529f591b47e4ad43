#include "plinth/vst3/HostEditQueue.h"

namespace plinth::vst3 {

HostEditQueue::HostEditQueue(int nParams)
    : mNumParams(nParams > 0 ? nParams : 0),
      mMarks(new std::atomic<uint8_t>[static_cast<size_t>(mNumParams > 0 ? mNumParams : 1)]),
      mGestureOpen(static_cast<size_t>(mNumParams), false) {
  for (int i = 0; i < mNumParams; ++i) mMarks[static_cast<size_t>(i)].store(0, std::memory_order_relaxed);
}

void HostEditQueue::Mark(int idx, uint8_t bit) {
  if (idx < 0 || idx >= mNumParams) return;
  mMarks[static_cast<size_t>(idx)].fetch_or(bit, std::memory_order_acq_rel);
  mAnyPending.store(true, std::memory_order_release);
}

void HostEditQueue::ClearChanged(int idx) {
  if (idx < 0 || idx >= mNumParams) return;
  mMarks[static_cast<size_t>(idx)].fetch_and(static_cast<uint8_t>(~kChanged), std::memory_order_acq_rel);
}

void HostEditQueue::Reset() {
  mAnyPending.store(false, std::memory_order_relaxed);
  for (int i = 0; i < mNumParams; ++i) mMarks[static_cast<size_t>(i)].store(0, std::memory_order_relaxed);
  mGestureOpen.assign(mGestureOpen.size(), false);
}

}  // namespace plinth::vst3
