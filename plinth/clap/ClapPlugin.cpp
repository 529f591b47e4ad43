#include "plinth/clap/ClapPlugin.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "plinth/clap/Extensions.h"

namespace plinth::clap {

// The clap_plugin callbacks: find the wrapper, contain every exception.
struct PluginCallbacks {
  static ClapPlugin* W(const clap_plugin_t* p) { return ClapPlugin::FromClap(p); }

  static bool Init(const clap_plugin_t* p) noexcept {
    try {
      ClapPlugin* w = W(p);
      return w && w->Init();
    } catch (...) {
      return false;
    }
  }
  static void Destroy(const clap_plugin_t* p) noexcept {
    try {
      delete W(p);
    } catch (...) {
    }
  }
  static bool Activate(const clap_plugin_t* p, double sampleRate, uint32_t minFrames, uint32_t maxFrames) noexcept {
    try {
      ClapPlugin* w = W(p);
      return w && w->Activate(sampleRate, minFrames, maxFrames);
    } catch (...) {
      return false;
    }
  }
  static void Deactivate(const clap_plugin_t* p) noexcept {
    try {
      if (ClapPlugin* w = W(p)) w->Deactivate();
    } catch (...) {
    }
  }
  static bool StartProcessing(const clap_plugin_t* p) noexcept {
    ClapPlugin* w = W(p);
    return w && w->StartProcessing();
  }
  static void StopProcessing(const clap_plugin_t* p) noexcept {
    if (ClapPlugin* w = W(p)) w->StopProcessing();
  }
  // The framework has no audio-thread reset hook: OnReset runs in activate.
  static void Reset(const clap_plugin_t*) noexcept {}
  static clap_process_status Process(const clap_plugin_t* p, const clap_process_t* process) noexcept {
    ClapPlugin* w = W(p);
    if (!w || !process) return CLAP_PROCESS_ERROR;
    try {
      return w->Process(*process);
    } catch (...) {
      w->mBuffers.SilenceHostOutputs(*process);
      return CLAP_PROCESS_ERROR;
    }
  }
  static const void* GetExtension(const clap_plugin_t* p, const char* id) noexcept {
    try {
      ClapPlugin* w = W(p);
      return w && id ? w->GetExtension(id) : nullptr;
    } catch (...) {
      return nullptr;
    }
  }
  static void OnMainThread(const clap_plugin_t*) noexcept {}
};

struct LatencyCallbacks {
  static uint32_t Get(const clap_plugin_t* p) noexcept {
    ClapPlugin* w = ClapPlugin::FromClap(p);
    if (!w) return 0;
    const int latency = w->mPlugin->GetLatency();
    return latency > 0 ? static_cast<uint32_t>(latency) : 0u;
  }
};

const clap_plugin_latency_t kLatencyExtension = {LatencyCallbacks::Get};

ClapPlugin::ClapPlugin(const clap_plugin_descriptor_t* desc, const clap_host_t* host, std::unique_ptr<Plugin> plugin)
    : mHost(host),
      mPlugin(std::move(plugin)),
      mPorts(PortLayoutFromConfig(mPlugin->GetConfig())),
      mLatencyKnownToHost(mPlugin->GetLatency()),
      mOutgoing(mPlugin->NParams()) {
  mClap.desc = desc;
  mClap.plugin_data = this;
  mClap.init = PluginCallbacks::Init;
  mClap.destroy = PluginCallbacks::Destroy;
  mClap.activate = PluginCallbacks::Activate;
  mClap.deactivate = PluginCallbacks::Deactivate;
  mClap.start_processing = PluginCallbacks::StartProcessing;
  mClap.stop_processing = PluginCallbacks::StopProcessing;
  mClap.reset = PluginCallbacks::Reset;
  mClap.process = PluginCallbacks::Process;
  mClap.get_extension = PluginCallbacks::GetExtension;
  mClap.on_main_thread = PluginCallbacks::OnMainThread;
  // Buffers exist before the first activation, so a host that processes too
  // early gets silence instead of a crash.
  mBuffers.Configure(mPorts, 1);
  mPlugin->AttachHost(this);
}

ClapPlugin::~ClapPlugin() {
  mPlugin->AttachHost(nullptr);
  if (mWindowOpen) mPlugin->CloseWindow();
  mWindowOpen = false;
}

ClapPlugin* ClapPlugin::FromClap(const clap_plugin_t* plugin) {
  if (!plugin || plugin->init != PluginCallbacks::Init) return nullptr;
  return static_cast<ClapPlugin*>(plugin->plugin_data);
}

bool ClapPlugin::Init() {
  if (mHost && mHost->get_extension) {
    mHostParams.store(static_cast<const clap_host_params_t*>(mHost->get_extension(mHost, CLAP_EXT_PARAMS)));
    mHostLatency.store(static_cast<const clap_host_latency_t*>(mHost->get_extension(mHost, CLAP_EXT_LATENCY)));
    mHostGui.store(static_cast<const clap_host_gui_t*>(mHost->get_extension(mHost, CLAP_EXT_GUI)));
  }
  return true;
}

bool ClapPlugin::Activate(double sampleRate, uint32_t /*minFrames*/, uint32_t maxFrames) {
  if (mActive.load()) return false;
  if (!std::isfinite(sampleRate) || sampleRate <= 0.0) return false;
  const int chunk = maxFrames == 0 || maxFrames > static_cast<uint32_t>(kMaxChunkFrames)
                        ? kMaxChunkFrames
                        : static_cast<int>(maxFrames);
  mBuffers.Configure(mPorts, chunk);
  mPlugin->SetSampleRateAndBlockSize(sampleRate, chunk);

  mInActivate.store(true);
  try {
    mPlugin->OnReset();
  } catch (...) {
    mInActivate.store(false);
    throw;
  }
  mInActivate.store(false);

  // The only place CLAP lets a plug-in announce a new latency.
  const int latency = mPlugin->GetLatency();
  if (latency != mLatencyKnownToHost) {
    mLatencyKnownToHost = latency;
    const clap_host_latency_t* hostLatency = mHostLatency.load();
    if (hostLatency && hostLatency->changed) hostLatency->changed(mHost);
  }
  mActive.store(true, std::memory_order_release);
  return true;
}

void ClapPlugin::Deactivate() {
  if (!mActive.load()) return;
  mProcessing.store(false);
  mActive.store(false, std::memory_order_release);
  // Changes made while the audio thread stopped draining them go out by flush.
  if (mOutgoing.AnyPending()) RequestFlushIfIdle();
}

bool ClapPlugin::StartProcessing() {
  if (!mActive.load(std::memory_order_acquire)) return false;
  mProcessing.store(true);
  return true;
}

void ClapPlugin::StopProcessing() { mProcessing.store(false); }

clap_process_status ClapPlugin::Process(const clap_process_t& p) {
  if (!mActive.load(std::memory_order_acquire)) {
    mBuffers.SilenceHostOutputs(p);
    return CLAP_PROCESS_ERROR;
  }
  CallbackScope scope(*this);
  ApplyInputEvents(p.in_events);

  mBuffers.Bind(p);
  mPlugin->SetChannelConnections(mBuffers.ConnectedInputs(), mBuffers.ConnectedOutputs());
  const uint32_t total = p.frames_count;
  const uint32_t chunk = static_cast<uint32_t>(mBuffers.MaxFrames());
  for (uint32_t offset = 0; offset < total;) {
    const int n = static_cast<int>(std::min(chunk, total - offset));
    mBuffers.PrepareChunk(offset, n);
    mPlugin->ProcessBlock(mBuffers.Inputs(), mBuffers.Outputs(), n);
    mBuffers.FinishChunk(offset, n);
    offset += static_cast<uint32_t>(n);
  }
  mBuffers.SilenceUndeclaredOutputs(p);

  EmitOutputEvents(p.out_events);
  return CLAP_PROCESS_CONTINUE;
}

const void* ClapPlugin::GetExtension(const char* id) const {
  if (std::strcmp(id, CLAP_EXT_PARAMS) == 0) return &kParamsExtension;
  if (std::strcmp(id, CLAP_EXT_AUDIO_PORTS) == 0) return &kAudioPortsExtension;
  if (std::strcmp(id, CLAP_EXT_LATENCY) == 0) return &kLatencyExtension;
  if (std::strcmp(id, CLAP_EXT_STATE) == 0) return &kStateExtension;
  if (std::strcmp(id, CLAP_EXT_GUI) == 0 && mPlugin->HasEditor()) return &kGuiExtension;
  return nullptr;
}

// ---- HostSink ---------------------------------------------------------------

void ClapPlugin::ParamChangedByPlugin(int paramIdx) {
  mOutgoing.MarkValueChanged(paramIdx);
  RequestFlushIfIdle();
}

void ClapPlugin::BeginParamGesture(int paramIdx) {
  mOutgoing.MarkGestureBegin(paramIdx);
  RequestFlushIfIdle();
}

void ClapPlugin::EndParamGesture(int paramIdx) {
  mOutgoing.MarkGestureEnd(paramIdx);
  RequestFlushIfIdle();
}

void ClapPlugin::RequestFlushIfIdle() {
  // While processing, the next process call reports the changes; inside
  // process or flush they go out when that call returns.
  if (mProcessing.load(std::memory_order_acquire)) return;
  if (mCallbackThread.load(std::memory_order_acquire) == std::this_thread::get_id()) return;
  const clap_host_params_t* params = mHostParams.load(std::memory_order_acquire);
  if (params && params->request_flush) params->request_flush(mHost);
}

void ClapPlugin::LatencyChanged(int /*samples*/) {
  // Inside activate the change is announced once OnReset returns. While
  // active the host must restart us; while inactive the next activation
  // announces it.
  if (mInActivate.load()) return;
  if (mActive.load() && mHost && mHost->request_restart) mHost->request_restart(mHost);
}

bool ClapPlugin::RequestEditorResize(int width, int height) {
  if (width <= 0 || height <= 0) return false;
  const clap_host_gui_t* gui = mHostGui.load(std::memory_order_acquire);
  if (!gui || !gui->request_resize) return false;
  return gui->request_resize(mHost, static_cast<uint32_t>(width), static_cast<uint32_t>(height));
}

}  // namespace plinth::clap
