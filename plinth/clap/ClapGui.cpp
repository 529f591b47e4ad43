// The gui extension: an X11 child window, never floating. Offered only when
// the plug-in has an editor.
#include <algorithm>
#include <cstring>

#include "plinth/clap/ClapPlugin.h"
#include "plinth/clap/Extensions.h"

namespace plinth::clap {
namespace {

bool IsX11(const char* api) { return api && std::strcmp(api, CLAP_WINDOW_API_X11) == 0; }

}  // namespace

struct GuiCallbacks {
  static ClapPlugin* W(const clap_plugin_t* p) { return ClapPlugin::FromClap(p); }

  static bool IsApiSupported(const clap_plugin_t*, const char* api, bool isFloating) noexcept {
    return IsX11(api) && !isFloating;
  }
  static bool GetPreferredApi(const clap_plugin_t*, const char** api, bool* isFloating) noexcept {
    if (api) *api = CLAP_WINDOW_API_X11;
    if (isFloating) *isFloating = false;
    return true;
  }
  static bool Create(const clap_plugin_t* p, const char* api, bool isFloating) noexcept {
    ClapPlugin* w = W(p);
    return w && w->GuiCreate(api, isFloating);
  }
  static void Destroy(const clap_plugin_t* p) noexcept {
    try {
      if (ClapPlugin* w = W(p)) w->GuiDestroy();
    } catch (...) {
    }
  }
  // Sizes are physical pixels on X11; the editor does its own scaling.
  static bool SetScale(const clap_plugin_t*, double) noexcept { return false; }
  static bool GetSize(const clap_plugin_t* p, uint32_t* width, uint32_t* height) noexcept {
    ClapPlugin* w = W(p);
    return w && w->GuiGetSize(width, height);
  }
  static bool CanResize(const clap_plugin_t* p) noexcept {
    ClapPlugin* w = W(p);
    return w && w->mPlugin->GetConfig().plugHostResize;
  }
  static bool GetResizeHints(const clap_plugin_t* p, clap_gui_resize_hints_t* hints) noexcept {
    ClapPlugin* w = W(p);
    if (!w || !hints) return false;
    const bool resizable = w->mPlugin->GetConfig().plugHostResize;
    *hints = clap_gui_resize_hints_t{};
    hints->can_resize_horizontally = resizable;
    hints->can_resize_vertically = resizable;
    hints->preserve_aspect_ratio = false;
    return true;
  }
  static bool AdjustSize(const clap_plugin_t* p, uint32_t* width, uint32_t* height) noexcept {
    ClapPlugin* w = W(p);
    return w && w->GuiAdjustSize(width, height);
  }
  static bool SetSize(const clap_plugin_t* p, uint32_t width, uint32_t height) noexcept {
    try {
      ClapPlugin* w = W(p);
      return w && w->GuiSetSize(width, height);
    } catch (...) {
      return false;
    }
  }
  static bool SetParent(const clap_plugin_t* p, const clap_window_t* window) noexcept {
    try {
      ClapPlugin* w = W(p);
      return w && w->GuiSetParent(window);
    } catch (...) {
      return false;
    }
  }
  static bool SetTransient(const clap_plugin_t*, const clap_window_t*) noexcept { return false; }
  static void SuggestTitle(const clap_plugin_t*, const char*) noexcept {}
  // The window lives from set_parent to destroy; show and hide may repeat.
  static bool Show(const clap_plugin_t* p) noexcept {
    ClapPlugin* w = W(p);
    return w && w->mGuiCreated;
  }
  static bool Hide(const clap_plugin_t* p) noexcept {
    ClapPlugin* w = W(p);
    return w && w->mGuiCreated;
  }
};

const clap_plugin_gui_t kGuiExtension = {
    GuiCallbacks::IsApiSupported, GuiCallbacks::GetPreferredApi, GuiCallbacks::Create,
    GuiCallbacks::Destroy,        GuiCallbacks::SetScale,        GuiCallbacks::GetSize,
    GuiCallbacks::CanResize,      GuiCallbacks::GetResizeHints,  GuiCallbacks::AdjustSize,
    GuiCallbacks::SetSize,        GuiCallbacks::SetParent,       GuiCallbacks::SetTransient,
    GuiCallbacks::SuggestTitle,   GuiCallbacks::Show,            GuiCallbacks::Hide};

bool ClapPlugin::GuiCreate(const char* api, bool isFloating) {
  if (!mPlugin->HasEditor() || !IsX11(api) || isFloating || mGuiCreated) return false;
  mGuiCreated = true;
  return true;
}

void ClapPlugin::GuiDestroy() {
  if (mWindowOpen) {
    mWindowOpen = false;
    mPlugin->CloseWindow();
  }
  mGuiCreated = false;
}

bool ClapPlugin::GuiGetSize(uint32_t* width, uint32_t* height) const {
  if (!width || !height) return false;
  const Config& c = mPlugin->GetConfig();
  int w = mPlugin->GetEditorWidth();
  int h = mPlugin->GetEditorHeight();
  if (w <= 0 || h <= 0) {
    w = c.plugWidth;
    h = c.plugHeight;
  }
  if (w <= 0 || h <= 0) return false;
  *width = static_cast<uint32_t>(w);
  *height = static_cast<uint32_t>(h);
  return true;
}

void ClapPlugin::ClampEditorSize(uint32_t& width, uint32_t& height) const {
  const Config& c = mPlugin->GetConfig();
  auto clamp = [](uint32_t v, int lo, int hi) {
    if (lo > 0 && v < static_cast<uint32_t>(lo)) v = static_cast<uint32_t>(lo);
    if (hi > 0 && v > static_cast<uint32_t>(hi)) v = static_cast<uint32_t>(hi);
    return std::max<uint32_t>(v, 1u);
  };
  width = clamp(width, c.plugMinWidth, c.plugMaxWidth);
  height = clamp(height, c.plugMinHeight, c.plugMaxHeight);
}

bool ClapPlugin::GuiAdjustSize(uint32_t* width, uint32_t* height) const {
  if (!width || !height || !mPlugin->GetConfig().plugHostResize) return false;
  ClampEditorSize(*width, *height);
  return true;
}

bool ClapPlugin::GuiSetSize(uint32_t width, uint32_t height) {
  if (!mGuiCreated || !mPlugin->GetConfig().plugHostResize) return false;
  ClampEditorSize(width, height);
  mPlugin->SetEditorSize(static_cast<int>(width), static_cast<int>(height));
  mPlugin->OnParentWindowResize(static_cast<int>(width), static_cast<int>(height));
  return true;
}

bool ClapPlugin::GuiSetParent(const clap_window_t* window) {
  if (!mGuiCreated || !window || window->x11 == 0) return false;
  if (window->api && !IsX11(window->api)) return false;
  if (mWindowOpen) {
    mWindowOpen = false;
    mPlugin->CloseWindow();
  }
  void* parent = reinterpret_cast<void*>(static_cast<uintptr_t>(window->x11));
  mWindowOpen = mPlugin->OpenWindow(parent) != nullptr;
  return mWindowOpen;
}

}  // namespace plinth::clap
