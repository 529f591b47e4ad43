#pragma once
// What the test host offers a VST3 plug-in: the host application context,
// a component handler that records everything the plug-in reports, a run
// loop whose timers the host's Idle runs, and the editor's plug frame.
//
// Threads: the run loop and the frame are used on the host's main thread.
// The handler records calls from any thread (a plug-in calling it from the
// wrong thread is what tests look for), guarded by a mutex.

#include <mutex>
#include <thread>
#include <vector>

#include "pluginterfaces/gui/iplugview.h"
#include "pluginterfaces/vst/ivsteditcontroller.h"
#include "pluginterfaces/vst/ivsthostapplication.h"

namespace qbhost {

// Host-owned objects: reference counts are kept for the plug-in's sake, the
// objects live as long as the instance that owns them.
#define QBHOST_UNOWNED_REFCOUNT                                  \
  Steinberg::uint32 PLUGIN_API addRef() override { return 1; }   \
  Steinberg::uint32 PLUGIN_API release() override { return 1; }

class HostRunLoop final : public Steinberg::Linux::IRunLoop {
 public:
  Steinberg::tresult PLUGIN_API registerEventHandler(Steinberg::Linux::IEventHandler* handler,
                                                     Steinberg::Linux::FileDescriptor fd) override;
  Steinberg::tresult PLUGIN_API unregisterEventHandler(Steinberg::Linux::IEventHandler* handler) override;
  Steinberg::tresult PLUGIN_API registerTimer(Steinberg::Linux::ITimerHandler* handler,
                                              Steinberg::Linux::TimerInterval milliseconds) override;
  Steinberg::tresult PLUGIN_API unregisterTimer(Steinberg::Linux::ITimerHandler* handler) override;
  Steinberg::tresult PLUGIN_API queryInterface(const Steinberg::TUID iid, void** obj) override;
  QBHOST_UNOWNED_REFCOUNT

  // Fires every registered timer once (main thread).
  void RunTimers();
  int TimerCount() const { return static_cast<int>(mTimers.size()); }
  // Releases what the plug-in left registered.
  ~HostRunLoop();

 private:
  std::vector<Steinberg::Linux::ITimerHandler*> mTimers;  // each holds a reference
  std::vector<Steinberg::Linux::IEventHandler*> mEventHandlers;
};

class HostApplication final : public Steinberg::Vst::IHostApplication {
 public:
  // runLoop: offered through the context when non-null.
  explicit HostApplication(HostRunLoop* runLoop) : mRunLoop(runLoop) {}
  Steinberg::tresult PLUGIN_API getName(Steinberg::Vst::String128 name) override;
  Steinberg::tresult PLUGIN_API createInstance(Steinberg::TUID cid, Steinberg::TUID iid, void** obj) override;
  Steinberg::tresult PLUGIN_API queryInterface(const Steinberg::TUID iid, void** obj) override;
  QBHOST_UNOWNED_REFCOUNT

 private:
  HostRunLoop* mRunLoop;
};

struct EditRecord {
  enum class Kind { Begin, Perform, End };
  Kind kind = Kind::Perform;
  Steinberg::Vst::ParamID id = 0;
  double normalized = 0.0;  // Perform only
  std::thread::id thread;
};

struct RestartRecord {
  Steinberg::int32 flags = 0;
  std::thread::id thread;
};

class ComponentHandler final : public Steinberg::Vst::IComponentHandler {
 public:
  Steinberg::tresult PLUGIN_API beginEdit(Steinberg::Vst::ParamID id) override;
  Steinberg::tresult PLUGIN_API performEdit(Steinberg::Vst::ParamID id, Steinberg::Vst::ParamValue valueNormalized) override;
  Steinberg::tresult PLUGIN_API endEdit(Steinberg::Vst::ParamID id) override;
  Steinberg::tresult PLUGIN_API restartComponent(Steinberg::int32 flags) override;
  Steinberg::tresult PLUGIN_API queryInterface(const Steinberg::TUID iid, void** obj) override;
  QBHOST_UNOWNED_REFCOUNT

  std::vector<EditRecord> Edits() const;
  std::vector<RestartRecord> Restarts() const;
  // Perform records not taken before.
  std::vector<EditRecord> TakePerforms();
  int CountRestarts(Steinberg::int32 flag) const;

 private:
  mutable std::mutex mMutex;
  std::vector<EditRecord> mEdits;
  std::vector<RestartRecord> mRestarts;
  size_t mPerformsTaken = 0;  // index into mEdits
};

struct ResizeRecord {
  int width = 0;
  int height = 0;
  std::thread::id thread;
};

class PlugFrame final : public Steinberg::IPlugFrame {
 public:
  // runLoop: offered through the frame when non-null.
  explicit PlugFrame(HostRunLoop* runLoop) : mRunLoop(runLoop) {}
  // Records the request and resizes the view at once, as hosts must.
  Steinberg::tresult PLUGIN_API resizeView(Steinberg::IPlugView* view, Steinberg::ViewRect* newSize) override;
  Steinberg::tresult PLUGIN_API queryInterface(const Steinberg::TUID iid, void** obj) override;
  QBHOST_UNOWNED_REFCOUNT

  std::vector<ResizeRecord> Resizes() const;

 private:
  HostRunLoop* mRunLoop;
  mutable std::mutex mMutex;
  std::vector<ResizeRecord> mResizes;
};

#undef QBHOST_UNOWNED_REFCOUNT

}  // namespace qbhost
