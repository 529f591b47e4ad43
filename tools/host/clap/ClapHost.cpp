#include "ClapHost.h"

#include <clap/ext/thread-check.h>
#include <dlfcn.h>
#include <pthread.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>

#include "SpscRing.h"

namespace qbhost {
namespace {

uint64_t ThisThread() { return static_cast<uint64_t>(pthread_self()); }

constexpr size_t kEventCapacity = 1024;  // per block, each direction
constexpr size_t kQueueCapacity = 8192;  // between the threads

struct ParamChange {
  uint32_t id = 0;
  double value = 0.0;
};

}  // namespace

// The loaded module: deinit and dlclose once the module object and every
// instance are gone.
class ClapModuleLibrary {
 public:
  ClapModuleLibrary(void* handle, const clap_plugin_entry_t* entry) : mHandle(handle), mEntry(entry) {}
  ~ClapModuleLibrary() {
    if (mEntry && mEntry->deinit) mEntry->deinit();
    if (mHandle) dlclose(mHandle);
  }
  void* Handle() const { return mHandle; }
  const clap_plugin_entry_t* Entry() const { return mEntry; }

 private:
  void* mHandle;
  const clap_plugin_entry_t* mEntry;
};

// Cross-thread queues: SetParam (main) -> Process (audio), and the plug-in's
// output events (audio) -> main.
struct ClapInstance::Queues {
  SpscRing<ParamChange> toAudio{kQueueCapacity};
  SpscRing<ClapOutputEvent> fromAudio{kQueueCapacity};
};

// Everything Process touches, sized before processing starts.
struct ClapInstance::AudioState {
  std::vector<clap_event_param_value_t> inEvents = std::vector<clap_event_param_value_t>(kEventCapacity);
  uint32_t inCount = 0;
  std::vector<ClapOutputEvent> outEvents = std::vector<ClapOutputEvent>(kEventCapacity);
  uint32_t outCount = 0;
  int64_t steadyTime = 0;
  double* in64[4] = {};
  float* in32[4] = {};
  double* out64[2] = {};
  float* out32[2] = {};
  clap_audio_buffer_t inputs[2] = {};
  clap_audio_buffer_t outputs[1] = {};
  clap_input_events_t inList{};
  clap_output_events_t outList{};
};

// ---- Host callbacks ---------------------------------------------------------

struct ClapHostCallbacks {
  static ClapInstance* I(const clap_host_t* h) { return h ? static_cast<ClapInstance*>(h->host_data) : nullptr; }

  static const void* GetExtension(const clap_host_t* h, const char* id) noexcept;
  static void RequestRestart(const clap_host_t* h) noexcept {
    if (ClapInstance* i = I(h)) i->mRecord.restartRequests.fetch_add(1);
  }
  static void RequestProcess(const clap_host_t* h) noexcept {
    if (ClapInstance* i = I(h)) i->mRecord.processRequests.fetch_add(1);
  }
  static void RequestCallback(const clap_host_t* h) noexcept {
    if (ClapInstance* i = I(h)) {
      i->mRecord.callbackRequests.fetch_add(1);
      i->mCallbackRequested.store(true);
    }
  }

  static void ParamsRescan(const clap_host_t* h, clap_param_rescan_flags flags) noexcept {
    ClapInstance* i = I(h);
    if (!i) return;
    if (!i->IsMainThread()) i->NoteViolation("params.rescan off the main thread");
    if ((flags & CLAP_PARAM_RESCAN_ALL) && i->mActive) i->NoteViolation("params.rescan(ALL) while active");
    i->mRecord.rescans.fetch_add(1);
    i->mRecord.rescanFlags.fetch_or(flags);
  }
  static void ParamsClear(const clap_host_t* h, clap_id, clap_param_clear_flags) noexcept {
    ClapInstance* i = I(h);
    if (i && !i->IsMainThread()) i->NoteViolation("params.clear off the main thread");
  }
  static void ParamsRequestFlush(const clap_host_t* h) noexcept {
    ClapInstance* i = I(h);
    if (!i) return;
    if (i->mInProcess.load() && i->IsAudioThread()) i->NoteViolation("params.request_flush from inside process");
    i->mRecord.flushRequests.fetch_add(1);
    i->mFlushRequested.store(true);
  }

  static void LatencyChanged(const clap_host_t* h) noexcept {
    ClapInstance* i = I(h);
    if (!i) return;
    if (!i->IsMainThread()) i->NoteViolation("latency.changed off the main thread");
    if (!i->mInActivate.load()) i->NoteViolation("latency.changed outside activate");
    i->mRecord.latencyChanged.fetch_add(1);
  }

  static void GuiResizeHintsChanged(const clap_host_t*) noexcept {}
  static bool GuiRequestResize(const clap_host_t* h, uint32_t width, uint32_t height) noexcept {
    ClapInstance* i = I(h);
    if (!i) return false;
    i->mRecord.resizeRequests.fetch_add(1);
    i->mRecord.lastResizeWidth.store(static_cast<int>(width));
    i->mRecord.lastResizeHeight.store(static_cast<int>(height));
    return true;
  }
  static bool GuiRequestShow(const clap_host_t*) noexcept { return true; }
  static bool GuiRequestHide(const clap_host_t*) noexcept { return true; }
  static void GuiClosed(const clap_host_t*, bool) noexcept {}

  static bool IsMainThread(const clap_host_t* h) noexcept {
    ClapInstance* i = I(h);
    return i && i->IsMainThread();
  }
  static bool IsAudioThread(const clap_host_t* h) noexcept {
    ClapInstance* i = I(h);
    return i && i->IsAudioThread();
  }

  static void StateMarkDirty(const clap_host_t* h) noexcept {
    ClapInstance* i = I(h);
    if (!i) return;
    if (!i->IsMainThread()) i->NoteViolation("state.mark_dirty off the main thread");
    i->mRecord.stateMarkedDirty.fetch_add(1);
  }

  // Event lists handed to process and flush.
  static uint32_t InSize(const clap_input_events_t* list) noexcept {
    return static_cast<const ClapInstance::AudioState*>(list->ctx)->inCount;
  }
  static const clap_event_header_t* InGet(const clap_input_events_t* list, uint32_t index) noexcept {
    auto* a = static_cast<const ClapInstance::AudioState*>(list->ctx);
    return index < a->inCount ? &a->inEvents[index].header : nullptr;
  }
  static bool OutPush(const clap_output_events_t* list, const clap_event_header_t* e) noexcept {
    auto* a = static_cast<ClapInstance::AudioState*>(list->ctx);
    if (!e || e->space_id != CLAP_CORE_EVENT_SPACE_ID) return true;  // not ours to record
    ClapOutputEvent out;
    if (e->type == CLAP_EVENT_PARAM_VALUE && e->size >= sizeof(clap_event_param_value_t)) {
      const auto* v = reinterpret_cast<const clap_event_param_value_t*>(e);
      out = {ClapOutputEvent::Kind::Value, v->param_id, v->value};
    } else if ((e->type == CLAP_EVENT_PARAM_GESTURE_BEGIN || e->type == CLAP_EVENT_PARAM_GESTURE_END) &&
               e->size >= sizeof(clap_event_param_gesture_t)) {
      const auto* g = reinterpret_cast<const clap_event_param_gesture_t*>(e);
      out = {e->type == CLAP_EVENT_PARAM_GESTURE_BEGIN ? ClapOutputEvent::Kind::GestureBegin
                                                        : ClapOutputEvent::Kind::GestureEnd,
             g->param_id, 0.0};
    } else {
      return true;
    }
    if (a->outCount >= a->outEvents.size()) return false;
    a->outEvents[a->outCount++] = out;
    return true;
  }

  // Streams over a byte vector, in pieces when the test asks for it.
  struct StreamCtx {
    std::vector<uint8_t>* out = nullptr;
    const uint8_t* in = nullptr;
    size_t inSize = 0;
    size_t pos = 0;
    size_t piece = 0;
  };
  static int64_t Write(const clap_ostream_t* s, const void* buffer, uint64_t size) noexcept {
    auto* c = static_cast<StreamCtx*>(s->ctx);
    try {
      size_t n = static_cast<size_t>(size);
      if (c->piece && n > c->piece) n = c->piece;
      const auto* p = static_cast<const uint8_t*>(buffer);
      c->out->insert(c->out->end(), p, p + n);
      return static_cast<int64_t>(n);
    } catch (...) {
      return -1;
    }
  }
  static int64_t Read(const clap_istream_t* s, void* buffer, uint64_t size) noexcept {
    auto* c = static_cast<StreamCtx*>(s->ctx);
    size_t n = std::min(static_cast<size_t>(size), c->inSize - c->pos);
    if (c->piece && n > c->piece) n = c->piece;
    if (n) std::memcpy(buffer, c->in + c->pos, n);
    c->pos += n;
    return static_cast<int64_t>(n);
  }
};

namespace {
const clap_host_params_t kHostParams = {ClapHostCallbacks::ParamsRescan, ClapHostCallbacks::ParamsClear,
                                        ClapHostCallbacks::ParamsRequestFlush};
const clap_host_latency_t kHostLatency = {ClapHostCallbacks::LatencyChanged};
const clap_host_gui_t kHostGui = {ClapHostCallbacks::GuiResizeHintsChanged, ClapHostCallbacks::GuiRequestResize,
                                  ClapHostCallbacks::GuiRequestShow, ClapHostCallbacks::GuiRequestHide,
                                  ClapHostCallbacks::GuiClosed};
const clap_host_thread_check_t kHostThreadCheck = {ClapHostCallbacks::IsMainThread, ClapHostCallbacks::IsAudioThread};
const clap_host_state_t kHostState = {ClapHostCallbacks::StateMarkDirty};
}  // namespace

const void* ClapHostCallbacks::GetExtension(const clap_host_t*, const char* id) noexcept {
  if (!id) return nullptr;
  if (std::strcmp(id, CLAP_EXT_PARAMS) == 0) return &kHostParams;
  if (std::strcmp(id, CLAP_EXT_LATENCY) == 0) return &kHostLatency;
  if (std::strcmp(id, CLAP_EXT_GUI) == 0) return &kHostGui;
  if (std::strcmp(id, CLAP_EXT_THREAD_CHECK) == 0) return &kHostThreadCheck;
  if (std::strcmp(id, CLAP_EXT_STATE) == 0) return &kHostState;
  return nullptr;
}

// ---- ClapInstance -------------------------------------------------------------

namespace {
std::mutex sViolationMutex;
std::vector<std::pair<const void*, std::string>> sViolations;  // instance, description
}  // namespace

ClapInstance::ClapInstance(std::shared_ptr<ClapModuleLibrary> library)
    : mLibrary(std::move(library)), mQueues(new Queues), mAudio(new AudioState), mMainThread(ThisThread()) {
  mHost.clap_version = CLAP_VERSION;
  mHost.host_data = this;
  mHost.name = "qb-host";
  mHost.vendor = "Quellbridge";
  mHost.url = "";
  mHost.version = "1.0";
  mHost.get_extension = ClapHostCallbacks::GetExtension;
  mHost.request_restart = ClapHostCallbacks::RequestRestart;
  mHost.request_process = ClapHostCallbacks::RequestProcess;
  mHost.request_callback = ClapHostCallbacks::RequestCallback;
  mAudio->inList.ctx = mAudio.get();
  mAudio->inList.size = ClapHostCallbacks::InSize;
  mAudio->inList.get = ClapHostCallbacks::InGet;
  mAudio->outList.ctx = mAudio.get();
  mAudio->outList.try_push = ClapHostCallbacks::OutPush;
}

ClapInstance::~ClapInstance() {
  if (mPlugin) {
    Deactivate();
    mPlugin->destroy(mPlugin);
    mPlugin = nullptr;
  }
  std::lock_guard<std::mutex> lock(sViolationMutex);
  std::erase_if(sViolations, [this](const auto& v) { return v.first == this; });
}

bool ClapInstance::Create(const clap_plugin_factory_t* factory, const char* pluginId, std::string& error) {
  mPlugin = factory->create_plugin(factory, &mHost, pluginId);
  if (!mPlugin) {
    error = "create_plugin returned null";
    return false;
  }
  if (!mPlugin->init(mPlugin)) {
    mPlugin->destroy(mPlugin);
    mPlugin = nullptr;
    error = "plugin init failed";
    return false;
  }
  auto ext = [this](const char* id) { return mPlugin->get_extension(mPlugin, id); };
  mParams = static_cast<const clap_plugin_params_t*>(ext(CLAP_EXT_PARAMS));
  mGui = static_cast<const clap_plugin_gui_t*>(ext(CLAP_EXT_GUI));
  mState = static_cast<const clap_plugin_state_t*>(ext(CLAP_EXT_STATE));
  mPorts = static_cast<const clap_plugin_audio_ports_t*>(ext(CLAP_EXT_AUDIO_PORTS));
  mLatency = static_cast<const clap_plugin_latency_t*>(ext(CLAP_EXT_LATENCY));
  return true;
}

bool ClapInstance::IsMainThread() const { return ThisThread() == mMainThread; }
bool ClapInstance::IsAudioThread() const {
  const uint64_t audio = mAudioThread.load();
  return audio != 0 ? ThisThread() == audio : false;
}

void ClapInstance::NoteViolation(const char* what) {
  mRecord.threadViolations.fetch_add(1);
  std::lock_guard<std::mutex> lock(sViolationMutex);
  sViolations.emplace_back(this, what);
}

std::vector<std::string> ClapInstance::ViolationLog() {
  std::lock_guard<std::mutex> lock(sViolationMutex);
  std::vector<std::string> out;
  for (const auto& v : sViolations)
    if (v.first == this) out.push_back(v.second);
  return out;
}

bool ClapInstance::Activate(double sampleRate, int maxBlockSize, bool sideChain) {
  if (!mPlugin || mActive) return false;
  mSideChain = sideChain;
  mInActivate.store(true);
  const bool ok = mPlugin->activate(mPlugin, sampleRate, 1, static_cast<uint32_t>(std::max(maxBlockSize, 1)));
  mInActivate.store(false);
  if (!ok) return false;
  mActive = true;
  if (!mPlugin->start_processing(mPlugin)) {
    mPlugin->deactivate(mPlugin);
    mActive = false;
    return false;
  }
  mProcessingState.store(true);
  return true;
}

void ClapInstance::Deactivate() {
  if (!mPlugin || !mActive) return;
  if (mProcessingState.exchange(false)) mPlugin->stop_processing(mPlugin);
  mPlugin->deactivate(mPlugin);
  mActive = false;
  CollectOutputEvents();
}

// Turns the parameter changes queued by SetParam into the input events of the
// next process or flush call, and empties the output list.
void ClapInstance::TakeQueuedParamEvents(AudioState& a) {
  a.inCount = 0;
  ParamChange change;
  while (a.inCount < a.inEvents.size() && mQueues->toAudio.Pop(change)) {
    clap_event_param_value_t& e = a.inEvents[a.inCount++];
    e = clap_event_param_value_t{};
    e.header = {sizeof(clap_event_param_value_t), 0, CLAP_CORE_EVENT_SPACE_ID, CLAP_EVENT_PARAM_VALUE, 0};
    e.param_id = change.id;
    e.note_id = -1;
    e.port_index = e.channel = e.key = -1;
    e.value = change.value;
  }
  a.outCount = 0;
}

template <typename Sample>
bool ClapInstance::ProcessImpl(const Sample* const* in, int nIn, Sample* const* out, int nOut, int nFrames) {
  if (!mPlugin || !mActive || nFrames < 0 || nIn < 0 || nOut < 0) return false;
  AudioState& a = *mAudio;
  mAudioThread.store(ThisThread());
  mInProcess.store(true);

  TakeQueuedParamEvents(a);

  constexpr bool k64 = sizeof(Sample) == sizeof(double);
  auto bind = [&](clap_audio_buffer_t& buffer, const Sample* const* channels, int count, Sample** storage) {
    buffer = clap_audio_buffer_t{};
    for (int c = 0; c < count; ++c) storage[c] = const_cast<Sample*>(channels[c]);
    buffer.channel_count = static_cast<uint32_t>(count);
    if constexpr (k64)
      buffer.data64 = count ? reinterpret_cast<double**>(storage) : nullptr;
    else
      buffer.data32 = count ? reinterpret_cast<float**>(storage) : nullptr;
  };
  Sample** inStore;
  Sample** outStore;
  if constexpr (k64) {
    inStore = a.in64;
    outStore = a.out64;
  } else {
    inStore = a.in32;
    outStore = a.out32;
  }
  bind(a.inputs[0], in, std::min(nIn, 2), inStore);
  // The second input pair reaches the plug-in only with the side chain on.
  const bool side = mSideChain && nIn >= 4;
  bind(a.inputs[1], side ? in + 2 : nullptr, side ? 2 : 0, inStore + 2);
  bind(a.outputs[0], out, std::min(nOut, 2), outStore);

  clap_process_t p{};
  p.steady_time = a.steadyTime;
  p.frames_count = static_cast<uint32_t>(nFrames);
  p.transport = nullptr;
  p.audio_inputs = a.inputs;
  p.audio_inputs_count = 2;
  p.audio_outputs = a.outputs;
  p.audio_outputs_count = 1;
  p.in_events = &a.inList;
  p.out_events = &a.outList;
  const clap_process_status status = mPlugin->process(mPlugin, &p);
  a.steadyTime += nFrames;

  for (uint32_t i = 0; i < a.outCount; ++i)
    if (!mQueues->fromAudio.Push(a.outEvents[i])) mRecord.droppedOutputEvents.fetch_add(1);
  mInProcess.store(false);
  return status != CLAP_PROCESS_ERROR;
}

bool ClapInstance::Process(const double* const* in, int nIn, double* const* out, int nOut, int nFrames) {
  return ProcessImpl<double>(in, nIn, out, nOut, nFrames);
}

bool ClapInstance::ProcessFloat(const float* const* in, int nIn, float* const* out, int nOut, int nFrames) {
  return ProcessImpl<float>(in, nIn, out, nOut, nFrames);
}

std::vector<ParamInfo> ClapInstance::Params() {
  std::vector<ParamInfo> out;
  if (!mParams) return out;
  const uint32_t n = mParams->count(mPlugin);
  for (uint32_t i = 0; i < n; ++i) {
    clap_param_info_t info{};
    if (!mParams->get_info(mPlugin, i, &info)) continue;
    ParamInfo p;
    p.id = info.id;
    p.name = info.name;
    p.minValue = info.min_value;
    p.maxValue = info.max_value;
    p.defaultValue = info.default_value;
    p.stepCount = (info.flags & CLAP_PARAM_IS_STEPPED) ? static_cast<int>(std::lround(info.max_value - info.min_value)) : 0;
    p.isBypass = info.flags & CLAP_PARAM_IS_BYPASS;
    p.automatable = info.flags & CLAP_PARAM_IS_AUTOMATABLE;
    out.push_back(std::move(p));
  }
  return out;
}

double ClapInstance::GetParam(uint32_t id) {
  double v = 0.0;
  if (!mParams || !mParams->get_value(mPlugin, id, &v)) return std::nan("");
  return v;
}

void ClapInstance::SetParam(uint32_t id, double plain) {
  if (!mPlugin) return;
  if (mProcessingState.load()) {
    if (!mQueues->toAudio.Push(ParamChange{id, plain})) NoteViolation("host parameter queue full");
    return;
  }
  // Not processing: deliver at once through a flush.
  if (!mQueues->toAudio.Push(ParamChange{id, plain})) return;
  Flush();
}

bool ClapInstance::Flush() {
  if (!mParams || !mParams->flush || mProcessingState.load()) return false;
  AudioState& a = *mAudio;
  TakeQueuedParamEvents(a);
  mParams->flush(mPlugin, &a.inList, &a.outList);
  for (uint32_t i = 0; i < a.outCount; ++i) mOutputLog.push_back(a.outEvents[i]);
  a.inCount = a.outCount = 0;
  return true;
}

std::string ClapInstance::ValueToText(uint32_t id, double plain) {
  char text[CLAP_NAME_SIZE] = {};
  if (!mParams || !mParams->value_to_text(mPlugin, id, plain, text, sizeof text)) return "";
  return text;
}

bool ClapInstance::TextToValue(uint32_t id, const std::string& text, double& plainOut) {
  return mParams && mParams->text_to_value(mPlugin, id, text.c_str(), &plainOut);
}

bool ClapInstance::SaveState(std::vector<uint8_t>& out) {
  out.clear();
  if (!mState) return false;
  ClapHostCallbacks::StreamCtx ctx;
  ctx.out = &out;
  ctx.piece = mPieceSize;
  clap_ostream_t stream{&ctx, ClapHostCallbacks::Write};
  return mState->save(mPlugin, &stream);
}

bool ClapInstance::LoadStateBytes(const uint8_t* data, size_t size) {
  if (!mState) return false;
  ClapHostCallbacks::StreamCtx ctx;
  ctx.in = data;
  ctx.inSize = data ? size : 0;
  ctx.piece = mPieceSize;
  clap_istream_t stream{&ctx, ClapHostCallbacks::Read};
  return mState->load(mPlugin, &stream);
}

bool ClapInstance::LoadState(const std::vector<uint8_t>& in) { return LoadStateBytes(in.data(), in.size()); }

int ClapInstance::Latency() { return mLatency ? static_cast<int>(mLatency->get(mPlugin)) : 0; }

int ClapInstance::LatencyChangeNotifications() { return mRecord.latencyChanged.load(); }

void ClapInstance::CollectOutputEvents() {
  ClapOutputEvent e;
  while (mQueues->fromAudio.Pop(e)) mOutputLog.push_back(e);
}

std::vector<ClapOutputEvent> ClapInstance::TakeOutputEvents() {
  CollectOutputEvents();
  std::vector<ClapOutputEvent> out;
  out.swap(mOutputLog);
  return out;
}

std::vector<std::pair<uint32_t, double>> ClapInstance::TakeParamChangesFromPlugin() {
  std::vector<std::pair<uint32_t, double>> out;
  for (const ClapOutputEvent& e : TakeOutputEvents())
    if (e.kind == ClapOutputEvent::Kind::Value) out.emplace_back(e.paramId, e.value);
  return out;
}

void ClapInstance::Idle() {
  if (!mPlugin) return;
  if (mCallbackRequested.exchange(false)) mPlugin->on_main_thread(mPlugin);
  if (!mProcessingState.load() && mFlushRequested.exchange(false)) Flush();
  CollectOutputEvents();
}

// ---- ClapModule -------------------------------------------------------------

ClapModule::~ClapModule() = default;

const clap_plugin_entry_t* ClapModule::Entry() const { return mLibrary->Entry(); }

void* ClapModule::Symbol(const char* name) const { return dlsym(mLibrary->Handle(), name); }

std::vector<PluginIdentity> ClapModule::Plugins() {
  std::vector<PluginIdentity> out;
  const uint32_t n = mFactory->get_plugin_count(mFactory);
  for (uint32_t i = 0; i < n; ++i) {
    const clap_plugin_descriptor_t* d = mFactory->get_plugin_descriptor(mFactory, i);
    if (!d) continue;
    PluginIdentity p;
    p.id = d->id ? d->id : "";
    p.name = d->name ? d->name : "";
    p.vendor = d->vendor ? d->vendor : "";
    p.version = d->version ? d->version : "";
    for (const char* const* f = d->features; f && *f; ++f) {
      if (!p.category.empty()) p.category += '|';
      p.category += *f;
    }
    out.push_back(std::move(p));
  }
  return out;
}

std::unique_ptr<ClapInstance> ClapModule::CreateClapInstanceById(const char* pluginId, std::string& error) {
  std::unique_ptr<ClapInstance> instance(new ClapInstance(mLibrary));
  if (!instance->Create(mFactory, pluginId, error)) return nullptr;
  return instance;
}

std::unique_ptr<ClapInstance> ClapModule::CreateClapInstance(int index) {
  const clap_plugin_descriptor_t* d =
      index >= 0 ? mFactory->get_plugin_descriptor(mFactory, static_cast<uint32_t>(index)) : nullptr;
  if (!d || !d->id) return nullptr;
  std::string error;
  return CreateClapInstanceById(d->id, error);
}

std::unique_ptr<HostedInstance> ClapModule::CreateInstance(int index) { return CreateClapInstance(index); }

std::unique_ptr<ClapModule> OpenClapModule(const std::string& path, std::string& error) {
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    const char* e = dlerror();
    error = e ? e : "dlopen failed";
    return nullptr;
  }
  const auto* entry = static_cast<const clap_plugin_entry_t*>(dlsym(handle, "clap_entry"));
  if (!entry || !entry->init || !entry->deinit || !entry->get_factory) {
    dlclose(handle);
    error = "no clap_entry in " + path;
    return nullptr;
  }
  if (!clap_version_is_compatible(entry->clap_version)) {
    dlclose(handle);
    error = "incompatible CLAP version";
    return nullptr;
  }
  if (!entry->init(path.c_str())) {
    dlclose(handle);  // init failed: no deinit, as CLAP requires
    error = "clap_entry.init failed";
    return nullptr;
  }
  auto library = std::make_shared<ClapModuleLibrary>(handle, entry);
  const auto* factory = static_cast<const clap_plugin_factory_t*>(entry->get_factory(CLAP_PLUGIN_FACTORY_ID));
  if (!factory) {
    error = "no plug-in factory";
    return nullptr;
  }
  std::unique_ptr<ClapModule> module(new ClapModule);
  module->mPath = path;
  module->mLibrary = std::move(library);
  module->mFactory = factory;
  return module;
}

std::unique_ptr<HostedModule> LoadClapModule(const std::string& path, std::string& error) {
  return OpenClapModule(path, error);
}

}  // namespace qbhost
