#include "plinth/vst3/RunLoopTimer.h"

#include <new>

namespace plinth::vst3 {

using namespace Steinberg;

RunLoopTimer* RunLoopTimer::Start(Linux::IRunLoop* runLoop, uint64 intervalMs, Callback callback,
                                  void* context) noexcept {
  if (!runLoop || !callback) return nullptr;
  auto* timer = new (std::nothrow) RunLoopTimer(callback, context);
  if (!timer) return nullptr;
  if (runLoop->registerTimer(timer, intervalMs) != kResultOk) {
    timer->release();
    return nullptr;
  }
  runLoop->addRef();
  timer->mRunLoop = runLoop;
  return timer;
}

void RunLoopTimer::Stop() noexcept {
  mCallback = nullptr;
  if (Linux::IRunLoop* loop = mRunLoop) {
    mRunLoop = nullptr;
    loop->unregisterTimer(this);
    loop->release();
  }
}

void PLUGIN_API RunLoopTimer::onTimer() noexcept {
  if (mCallback) mCallback(mContext);
}

tresult PLUGIN_API RunLoopTimer::queryInterface(const TUID iid, void** obj) noexcept {
  if (!obj) return kInvalidArgument;
  if (FUnknownPrivate::iidEqual(iid, FUnknown::iid) || FUnknownPrivate::iidEqual(iid, Linux::ITimerHandler::iid)) {
    addRef();
    *obj = static_cast<Linux::ITimerHandler*>(this);
    return kResultOk;
  }
  *obj = nullptr;
  return kNoInterface;
}

uint32 PLUGIN_API RunLoopTimer::addRef() noexcept { return mRefCount.fetch_add(1, std::memory_order_relaxed) + 1; }

uint32 PLUGIN_API RunLoopTimer::release() noexcept {
  const uint32 left = mRefCount.fetch_sub(1, std::memory_order_acq_rel) - 1;
  if (left == 0) delete this;
  return left;
}

}  // namespace plinth::vst3
