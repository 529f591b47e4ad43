#include "HostServices.h"

#include <algorithm>

namespace qbhost {

using namespace Steinberg;
using namespace Steinberg::Vst;

namespace {
template <typename Interface, typename Object>
tresult Answer(const TUID iid, void** obj, Object* self) {
  if (!obj) return kInvalidArgument;
  if (FUnknownPrivate::iidEqual(iid, FUnknown::iid) || FUnknownPrivate::iidEqual(iid, Interface::iid)) {
    *obj = static_cast<Interface*>(self);
    return kResultOk;
  }
  *obj = nullptr;
  return kNoInterface;
}
}  // namespace

// ---- HostRunLoop --------------------------------------------------------------

tresult PLUGIN_API HostRunLoop::registerEventHandler(Linux::IEventHandler* handler, Linux::FileDescriptor) {
  if (!handler) return kInvalidArgument;
  handler->addRef();
  mEventHandlers.push_back(handler);
  return kResultOk;
}

tresult PLUGIN_API HostRunLoop::unregisterEventHandler(Linux::IEventHandler* handler) {
  auto it = std::find(mEventHandlers.begin(), mEventHandlers.end(), handler);
  if (it == mEventHandlers.end()) return kInvalidArgument;
  mEventHandlers.erase(it);
  handler->release();
  return kResultOk;
}

tresult PLUGIN_API HostRunLoop::registerTimer(Linux::ITimerHandler* handler, Linux::TimerInterval) {
  if (!handler) return kInvalidArgument;
  handler->addRef();
  mTimers.push_back(handler);
  return kResultOk;
}

tresult PLUGIN_API HostRunLoop::unregisterTimer(Linux::ITimerHandler* handler) {
  auto it = std::find(mTimers.begin(), mTimers.end(), handler);
  if (it == mTimers.end()) return kInvalidArgument;
  mTimers.erase(it);
  handler->release();
  return kResultOk;
}

tresult PLUGIN_API HostRunLoop::queryInterface(const TUID iid, void** obj) {
  return Answer<Linux::IRunLoop>(iid, obj, this);
}

void HostRunLoop::RunTimers() {
  // A timer may unregister itself (or others) while it runs.
  std::vector<Linux::ITimerHandler*> due = mTimers;
  for (Linux::ITimerHandler* t : due) t->addRef();
  for (Linux::ITimerHandler* t : due)
    if (std::find(mTimers.begin(), mTimers.end(), t) != mTimers.end()) t->onTimer();
  for (Linux::ITimerHandler* t : due) t->release();
}

HostRunLoop::~HostRunLoop() {
  for (Linux::ITimerHandler* t : mTimers) t->release();
  for (Linux::IEventHandler* h : mEventHandlers) h->release();
}

// ---- HostApplication ----------------------------------------------------------

tresult PLUGIN_API HostApplication::getName(String128 name) {
  static const char kName[] = "qbhost";
  for (size_t i = 0; i < sizeof kName; ++i) name[i] = static_cast<char16>(kName[i]);
  return kResultOk;
}

tresult PLUGIN_API HostApplication::createInstance(TUID, TUID, void** obj) {
  if (obj) *obj = nullptr;
  return kResultFalse;
}

tresult PLUGIN_API HostApplication::queryInterface(const TUID iid, void** obj) {
  if (obj && mRunLoop && FUnknownPrivate::iidEqual(iid, Linux::IRunLoop::iid)) {
    *obj = static_cast<Linux::IRunLoop*>(mRunLoop);
    return kResultOk;
  }
  return Answer<IHostApplication>(iid, obj, this);
}

// ---- ComponentHandler ---------------------------------------------------------

tresult PLUGIN_API ComponentHandler::beginEdit(ParamID id) {
  std::lock_guard<std::mutex> lock(mMutex);
  mEdits.push_back(EditRecord{EditRecord::Kind::Begin, id, 0.0, std::this_thread::get_id()});
  return kResultOk;
}

tresult PLUGIN_API ComponentHandler::performEdit(ParamID id, ParamValue valueNormalized) {
  std::lock_guard<std::mutex> lock(mMutex);
  mEdits.push_back(EditRecord{EditRecord::Kind::Perform, id, valueNormalized, std::this_thread::get_id()});
  return kResultOk;
}

tresult PLUGIN_API ComponentHandler::endEdit(ParamID id) {
  std::lock_guard<std::mutex> lock(mMutex);
  mEdits.push_back(EditRecord{EditRecord::Kind::End, id, 0.0, std::this_thread::get_id()});
  return kResultOk;
}

tresult PLUGIN_API ComponentHandler::restartComponent(int32 flags) {
  std::lock_guard<std::mutex> lock(mMutex);
  mRestarts.push_back(RestartRecord{flags, std::this_thread::get_id()});
  return kResultOk;
}

tresult PLUGIN_API ComponentHandler::queryInterface(const TUID iid, void** obj) {
  return Answer<IComponentHandler>(iid, obj, this);
}

std::vector<EditRecord> ComponentHandler::Edits() const {
  std::lock_guard<std::mutex> lock(mMutex);
  return mEdits;
}

std::vector<RestartRecord> ComponentHandler::Restarts() const {
  std::lock_guard<std::mutex> lock(mMutex);
  return mRestarts;
}

std::vector<EditRecord> ComponentHandler::TakePerforms() {
  std::lock_guard<std::mutex> lock(mMutex);
  std::vector<EditRecord> out;
  for (; mPerformsTaken < mEdits.size(); ++mPerformsTaken)
    if (mEdits[mPerformsTaken].kind == EditRecord::Kind::Perform) out.push_back(mEdits[mPerformsTaken]);
  return out;
}

int ComponentHandler::CountRestarts(int32 flag) const {
  std::lock_guard<std::mutex> lock(mMutex);
  return static_cast<int>(std::count_if(mRestarts.begin(), mRestarts.end(),
                                        [flag](const RestartRecord& r) { return (r.flags & flag) != 0; }));
}

// ---- PlugFrame ----------------------------------------------------------------

tresult PLUGIN_API PlugFrame::resizeView(IPlugView* view, ViewRect* newSize) {
  if (!view || !newSize) return kInvalidArgument;
  {
    std::lock_guard<std::mutex> lock(mMutex);
    mResizes.push_back(ResizeRecord{newSize->getWidth(), newSize->getHeight(), std::this_thread::get_id()});
  }
  ViewRect rect = *newSize;
  view->onSize(&rect);
  return kResultTrue;
}

tresult PLUGIN_API PlugFrame::queryInterface(const TUID iid, void** obj) {
  if (obj && mRunLoop && FUnknownPrivate::iidEqual(iid, Linux::IRunLoop::iid)) {
    *obj = static_cast<Linux::IRunLoop*>(mRunLoop);
    return kResultOk;
  }
  return Answer<IPlugFrame>(iid, obj, this);
}

std::vector<ResizeRecord> PlugFrame::Resizes() const {
  std::lock_guard<std::mutex> lock(mMutex);
  return mResizes;
}

}  // namespace qbhost
