#pragma once
// The plug-in's editor as a VST3 view embedded in an X11 window of the host
// ("X11EmbedWindowID"). attached opens the plug-in's window inside the given
// parent, removed closes it; sizes follow the plug-in's remembered editor
// size and the configuration's limits. While attached, and when the host's
// frame offers a Linux::IRunLoop, a timer hands pending plug-in reports to
// the host on the main thread.
//
// Threads: the host calls every method on the main thread.

#include <atomic>

#include "pluginterfaces/gui/iplugview.h"

namespace plinth::vst3 {

class Vst3Plugin;
class RunLoopTimer;

class EditorView final : public Steinberg::IPlugView {
 public:
  // Holds a reference to owner for its own lifetime.
  explicit EditorView(Vst3Plugin& owner);

  Steinberg::tresult PLUGIN_API isPlatformTypeSupported(Steinberg::FIDString type) noexcept override;
  /// Opens the editor in the parent window; fails if OpenWindow does.
  Steinberg::tresult PLUGIN_API attached(void* parent, Steinberg::FIDString type) noexcept override;
  Steinberg::tresult PLUGIN_API removed() noexcept override;
  Steinberg::tresult PLUGIN_API onWheel(float distance) noexcept override;
  Steinberg::tresult PLUGIN_API onKeyDown(Steinberg::char16 key, Steinberg::int16 keyCode,
                                          Steinberg::int16 modifiers) noexcept override;
  Steinberg::tresult PLUGIN_API onKeyUp(Steinberg::char16 key, Steinberg::int16 keyCode,
                                        Steinberg::int16 modifiers) noexcept override;
  /// The remembered editor size (or the configuration's default size).
  Steinberg::tresult PLUGIN_API getSize(Steinberg::ViewRect* size) noexcept override;
  /// Remembers the size and tells an open editor its parent changed.
  Steinberg::tresult PLUGIN_API onSize(Steinberg::ViewRect* newSize) noexcept override;
  Steinberg::tresult PLUGIN_API onFocus(Steinberg::TBool state) noexcept override;
  Steinberg::tresult PLUGIN_API setFrame(Steinberg::IPlugFrame* frame) noexcept override;
  Steinberg::tresult PLUGIN_API canResize() noexcept override;
  /// Clamps to the configuration's minimum and maximum sizes.
  Steinberg::tresult PLUGIN_API checkSizeConstraint(Steinberg::ViewRect* rect) noexcept override;

  Steinberg::tresult PLUGIN_API queryInterface(const Steinberg::TUID iid, void** obj) noexcept override;
  Steinberg::uint32 PLUGIN_API addRef() noexcept override;
  Steinberg::uint32 PLUGIN_API release() noexcept override;

  // Main thread, for the owner: asks the host frame to resize the view.
  bool RequestResize(int width, int height);
  bool IsAttached() const { return mAttached; }

 private:
  ~EditorView();
  void StartTimer();
  void StopTimer();

  Vst3Plugin& mOwner;
  std::atomic<Steinberg::uint32> mRefCount{1};
  // Main thread only.
  Steinberg::IPlugFrame* mFrame = nullptr;
  RunLoopTimer* mTimer = nullptr;
  bool mAttached = false;
};

}  // namespace plinth::vst3
