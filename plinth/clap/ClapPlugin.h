#pragma once
// The CLAP wrapper: one ClapPlugin per instance, owning the plinth::Plugin it
// exposes as a clap_plugin and acting as that plug-in's HostSink.
//
// Threads follow the CLAP markings: [main] lifecycle, extensions' queries,
// state and GUI; [audio] process, reset and (while active) flush. Plug-in
// threads (editor, heartbeat) may call the HostSink methods at any time.
// Every entry point the host calls is noexcept and contains exceptions.

#include <clap/ext/audio-ports.h>
#include <clap/ext/gui.h>
#include <clap/ext/latency.h>
#include <clap/ext/params.h>
#include <clap/ext/state.h>
#include <clap/host.h>
#include <clap/plugin.h>

#include <atomic>
#include <memory>
#include <thread>

#include "plinth/HostSink.h"
#include "plinth/Plugin.h"
#include "plinth/clap/OutgoingParamChanges.h"
#include "plinth/clap/PortLayout.h"
#include "plinth/clap/ProcessBuffers.h"

namespace plinth::clap {

class ClapPlugin final : public HostSink {
 public:
  // The largest block handed to ProcessBlock; longer host blocks are split.
  static constexpr int kMaxChunkFrames = 8192;
  // Longest state stream accepted by load.
  static constexpr int kMaxStateBytes = 16 * 1024 * 1024;

  // desc and host must outlive the instance; plugin must not be null.
  ClapPlugin(const clap_plugin_descriptor_t* desc, const clap_host_t* host, std::unique_ptr<Plugin> plugin);
  ~ClapPlugin() override;
  ClapPlugin(const ClapPlugin&) = delete;
  ClapPlugin& operator=(const ClapPlugin&) = delete;

  const clap_plugin_t* ClapObject() const { return &mClap; }
  // The wrapper behind a clap_plugin made by this wrapper, or null.
  static ClapPlugin* FromClap(const clap_plugin_t* plugin);
  Plugin& GetPlugin() { return *mPlugin; }

  // ---- HostSink (any thread unless noted) ---------------------------------
  void ParamChangedByPlugin(int paramIdx) override;
  void BeginParamGesture(int paramIdx) override;
  void EndParamGesture(int paramIdx) override;
  void LatencyChanged(int samples) override;
  bool RequestEditorResize(int width, int height) override;

 private:
  // clap_plugin
  bool Init();
  bool Activate(double sampleRate, uint32_t minFrames, uint32_t maxFrames);
  void Deactivate();
  bool StartProcessing();
  void StopProcessing();
  clap_process_status Process(const clap_process_t& process);
  const void* GetExtension(const char* id) const;

  // params
  bool ParamInfo(uint32_t index, clap_param_info_t* info) const;
  bool ParamValue(clap_id id, double* value) const;
  bool ParamValueToText(clap_id id, double value, char* display, uint32_t size) const;
  bool ParamTextToValue(clap_id id, const char* display, double* value) const;
  void Flush(const clap_input_events_t* in, const clap_output_events_t* out);
  void ApplyInputEvents(const clap_input_events_t* in);
  void EmitOutputEvents(const clap_output_events_t* out);
  void RequestFlushIfIdle();

  // audio ports
  uint32_t PortCount(bool isInput) const;
  bool PortInfo(uint32_t index, bool isInput, clap_audio_port_info_t* info) const;

  // state
  bool SaveState(const clap_ostream_t* stream);
  bool LoadState(const clap_istream_t* stream);

  // gui
  bool GuiCreate(const char* api, bool isFloating);
  void GuiDestroy();
  bool GuiGetSize(uint32_t* width, uint32_t* height) const;
  bool GuiAdjustSize(uint32_t* width, uint32_t* height) const;
  bool GuiSetSize(uint32_t width, uint32_t height);
  bool GuiSetParent(const clap_window_t* window);
  void ClampEditorSize(uint32_t& width, uint32_t& height) const;

  // Marks the thread inside process or flush, where request_flush must not be called.
  class CallbackScope {
   public:
    explicit CallbackScope(ClapPlugin& w) : mW(w) {
      mW.mCallbackThread.store(std::this_thread::get_id(), std::memory_order_release);
    }
    ~CallbackScope() { mW.mCallbackThread.store(std::thread::id{}, std::memory_order_release); }
    CallbackScope(const CallbackScope&) = delete;
    CallbackScope& operator=(const CallbackScope&) = delete;

   private:
    ClapPlugin& mW;
  };

  // The C callbacks of each extension (one per source file).
  friend struct PluginCallbacks;
  friend struct ParamsCallbacks;
  friend struct AudioPortsCallbacks;
  friend struct LatencyCallbacks;
  friend struct StateCallbacks;
  friend struct GuiCallbacks;

  clap_plugin_t mClap{};
  const clap_host_t* mHost;
  std::unique_ptr<Plugin> mPlugin;
  const PortLayout mPorts;

  // Host extensions, looked up in init (main thread), read from any thread.
  std::atomic<const clap_host_params_t*> mHostParams{nullptr};
  std::atomic<const clap_host_latency_t*> mHostLatency{nullptr};
  std::atomic<const clap_host_gui_t*> mHostGui{nullptr};

  // Lifecycle flags: written on the main thread (processing: audio thread), read anywhere.
  std::atomic<bool> mActive{false};
  std::atomic<bool> mProcessing{false};
  std::atomic<bool> mInActivate{false};
  // The thread currently inside process or flush (default id when none).
  std::atomic<std::thread::id> mCallbackThread{};

  // Latency the host last learned (at construction or activation). Main thread.
  int mLatencyKnownToHost;

  // Audio thread while active; resized only in activate.
  ProcessBuffers mBuffers;
  OutgoingParamChanges mOutgoing;

  // Editor state, main thread.
  bool mGuiCreated = false;
  bool mWindowOpen = false;
};

}  // namespace plinth::clap
