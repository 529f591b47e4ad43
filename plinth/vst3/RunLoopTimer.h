#pragma once
// A timer registered with the host's Linux::IRunLoop, calling back on the
// main thread. A heap object with its own reference count: the host may keep
// a reference after its owner is gone, so Stop() cuts the callback before the
// owner goes away.

#include <atomic>

#include "pluginterfaces/gui/iplugview.h"

namespace plinth::vst3 {

class RunLoopTimer final : public Steinberg::Linux::ITimerHandler {
 public:
  using Callback = void (*)(void* context);

  // Registers a new timer; returns null when the run loop refuses it. The
  // caller owns the one reference and calls Stop() before releasing it.
  static RunLoopTimer* Start(Steinberg::Linux::IRunLoop* runLoop, Steinberg::uint64 intervalMs, Callback callback,
                             void* context) noexcept;
  // Main: unregisters, drops the run loop and forgets the callback.
  void Stop() noexcept;

  void PLUGIN_API onTimer() noexcept override;

  Steinberg::tresult PLUGIN_API queryInterface(const Steinberg::TUID iid, void** obj) noexcept override;
  Steinberg::uint32 PLUGIN_API addRef() noexcept override;
  Steinberg::uint32 PLUGIN_API release() noexcept override;

 private:
  RunLoopTimer(Callback callback, void* context) : mCallback(callback), mContext(context) {}
  ~RunLoopTimer() = default;

  std::atomic<Steinberg::uint32> mRefCount{1};
  Steinberg::Linux::IRunLoop* mRunLoop = nullptr;  // main thread only
  Callback mCallback;                              // main thread only
  void* mContext;
};

}  // namespace plinth::vst3
