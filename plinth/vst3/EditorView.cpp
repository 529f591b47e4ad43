#include "plinth/vst3/EditorView.h"

#include <algorithm>
#include <cstring>

#include "plinth/vst3/RunLoopTimer.h"
#include "plinth/vst3/Vst3Plugin.h"

namespace plinth::vst3 {

using namespace Steinberg;

namespace {
constexpr uint64 kTimerIntervalMs = 16;

// The size the editor has or will open with.
void CurrentSize(const Plugin& plugin, int& width, int& height) {
  width = plugin.GetEditorWidth();
  height = plugin.GetEditorHeight();
  if (width <= 0 || height <= 0) {
    width = plugin.GetConfig().plugWidth;
    height = plugin.GetConfig().plugHeight;
  }
}
}  // namespace

EditorView::EditorView(Vst3Plugin& owner) : mOwner(owner) { mOwner.addRef(); }

EditorView::~EditorView() {
  if (mAttached) removed();
  StopTimer();
  if (mFrame) mFrame->release();
  mOwner.DetachView(this);
  mOwner.release();
}

tresult PLUGIN_API EditorView::isPlatformTypeSupported(FIDString type) noexcept {
  return type && std::strcmp(type, kPlatformTypeX11EmbedWindowID) == 0 ? kResultTrue : kResultFalse;
}

tresult PLUGIN_API EditorView::attached(void* parent, FIDString type) noexcept {
  try {
    if (!parent || isPlatformTypeSupported(type) != kResultTrue) return kInvalidArgument;
    if (mAttached || !mOwner.AttachView(this)) return kResultFalse;
    if (!mOwner.GetPlugin().OpenWindow(parent)) {
      mOwner.DetachView(this);
      return kResultFalse;
    }
    mAttached = true;
    StartTimer();
    mOwner.DeliverToHost();
    return kResultOk;
  } catch (...) {
    return kInternalError;
  }
}

tresult PLUGIN_API EditorView::removed() noexcept {
  try {
    if (!mAttached) return kResultFalse;
    mAttached = false;
    StopTimer();
    mOwner.GetPlugin().CloseWindow();
    mOwner.DetachView(this);
    mOwner.DeliverToHost();
    return kResultOk;
  } catch (...) {
    return kInternalError;
  }
}

tresult PLUGIN_API EditorView::onWheel(float) noexcept { return kResultFalse; }
tresult PLUGIN_API EditorView::onKeyDown(char16, int16, int16) noexcept { return kResultFalse; }
tresult PLUGIN_API EditorView::onKeyUp(char16, int16, int16) noexcept { return kResultFalse; }
tresult PLUGIN_API EditorView::onFocus(TBool) noexcept { return kResultOk; }

tresult PLUGIN_API EditorView::getSize(ViewRect* size) noexcept {
  if (!size) return kInvalidArgument;
  int w = 0, h = 0;
  CurrentSize(mOwner.GetPlugin(), w, h);
  *size = ViewRect(0, 0, w, h);
  return kResultOk;
}

tresult PLUGIN_API EditorView::onSize(ViewRect* newSize) noexcept {
  try {
    if (!newSize) return kInvalidArgument;
    const int w = newSize->getWidth();
    const int h = newSize->getHeight();
    if (w <= 0 || h <= 0) return kInvalidArgument;
    mOwner.GetPlugin().SetEditorSize(w, h);
    if (mAttached) mOwner.GetPlugin().OnParentWindowResize(w, h);
    mOwner.DeliverToHost();
    return kResultOk;
  } catch (...) {
    return kInternalError;
  }
}

tresult PLUGIN_API EditorView::setFrame(IPlugFrame* frame) noexcept {
  if (frame == mFrame) return kResultOk;
  StopTimer();
  if (frame) frame->addRef();
  if (mFrame) mFrame->release();
  mFrame = frame;
  if (mAttached) StartTimer();
  return kResultOk;
}

tresult PLUGIN_API EditorView::canResize() noexcept {
  return mOwner.GetPlugin().GetConfig().plugHostResize ? kResultTrue : kResultFalse;
}

tresult PLUGIN_API EditorView::checkSizeConstraint(ViewRect* rect) noexcept {
  if (!rect) return kInvalidArgument;
  const Config& c = mOwner.GetPlugin().GetConfig();
  auto clampSide = [](int value, int lo, int hi) {
    if (lo > 0) value = std::max(value, lo);
    if (hi > 0 && hi >= lo) value = std::min(value, hi);
    return std::max(value, 1);
  };
  const int w = clampSide(rect->getWidth(), c.plugMinWidth, c.plugMaxWidth);
  const int h = clampSide(rect->getHeight(), c.plugMinHeight, c.plugMaxHeight);
  rect->right = rect->left + w;
  rect->bottom = rect->top + h;
  return kResultTrue;
}

bool EditorView::RequestResize(int width, int height) {
  if (!mFrame || !mAttached || width <= 0 || height <= 0) return false;
  ViewRect rect(0, 0, width, height);
  return mFrame->resizeView(this, &rect) == kResultTrue;
}

void EditorView::StartTimer() {
  if (mTimer || !mFrame) return;
  Linux::IRunLoop* runLoop = nullptr;
  if (mFrame->queryInterface(Linux::IRunLoop::iid, reinterpret_cast<void**>(&runLoop)) != kResultOk || !runLoop) return;
  mTimer = RunLoopTimer::Start(
      runLoop, kTimerIntervalMs, [](void* owner) { static_cast<Vst3Plugin*>(owner)->DeliverToHost(); }, &mOwner);
  runLoop->release();
}

void EditorView::StopTimer() {
  if (!mTimer) return;
  mTimer->Stop();
  mTimer->release();
  mTimer = nullptr;
}

tresult PLUGIN_API EditorView::queryInterface(const TUID iid, void** obj) noexcept {
  if (!obj) return kInvalidArgument;
  if (FUnknownPrivate::iidEqual(iid, FUnknown::iid) || FUnknownPrivate::iidEqual(iid, IPlugView::iid)) {
    addRef();
    *obj = static_cast<IPlugView*>(this);
    return kResultOk;
  }
  *obj = nullptr;
  return kNoInterface;
}

uint32 PLUGIN_API EditorView::addRef() noexcept { return mRefCount.fetch_add(1, std::memory_order_relaxed) + 1; }

uint32 PLUGIN_API EditorView::release() noexcept {
  const uint32 left = mRefCount.fetch_sub(1, std::memory_order_acq_rel) - 1;
  if (left == 0) delete this;
  return left;
}

}  // namespace plinth::vst3
