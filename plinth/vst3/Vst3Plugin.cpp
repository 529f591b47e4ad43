#include "plinth/vst3/Vst3Plugin.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <string>

#include "plinth/vst3/EditorView.h"
#include "plinth/vst3/StateStream.h"
#include "plinth/vst3/Utf16.h"
#include "pluginterfaces/vst/ivstparameterchanges.h"
#include "pluginterfaces/vst/ivstunits.h"

namespace plinth::vst3 {

using namespace Steinberg;
using namespace Steinberg::Vst;

namespace {

// Largest piece of a block handed to the plug-in at once; longer announced
// blocks are processed in pieces of this size.
constexpr int32 kMaxPieceFrames = 1 << 16;
// Upper bound on the queues of one block a host may claim to pass.
constexpr int32 kMaxParamQueues = 1 << 16;

double Clamp01(double v) { return v < 0.0 ? 0.0 : (v > 1.0 ? 1.0 : v); }

std::string Trimmed(std::string s) {
  auto blank = [](unsigned char c) { return std::isspace(c) != 0; };
  while (!s.empty() && blank(static_cast<unsigned char>(s.back()))) s.pop_back();
  size_t start = 0;
  while (start < s.size() && blank(static_cast<unsigned char>(s[start]))) ++start;
  return s.substr(start);
}

bool EqualsIgnoringCase(const std::string& a, const char* b) {
  const size_t n = std::strlen(b);
  if (a.size() != n) return false;
  for (size_t i = 0; i < n; ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  return true;
}

bool ValidDirection(BusDirection dir) { return dir == kInput || dir == kOutput; }

}  // namespace

Vst3Plugin::Vst3Plugin(std::unique_ptr<Plugin> plugin)
    : mPlugin(std::move(plugin)), mBuses(mPlugin->GetConfig().channelIOStr), mEdits(mPlugin->NParams()) {
  mMainThread.store(std::this_thread::get_id());
  mSetup.processMode = kRealtime;
  mSetup.symbolicSampleSize = kSample64;
  mSetup.maxSamplesPerBlock = mPlugin->GetBlockSize();
  mSetup.sampleRate = mPlugin->GetSampleRate();
  AllocateBuffers();
  UpdateConnections();
  mPlugin->AttachHost(this);
}

Vst3Plugin::~Vst3Plugin() {
  terminate();
  mPlugin->AttachHost(nullptr);
}

// ---- FUnknown ---------------------------------------------------------------

tresult PLUGIN_API Vst3Plugin::queryInterface(const TUID iid, void** obj) noexcept {
  if (!obj) return kInvalidArgument;
  void* found = nullptr;
  if (FUnknownPrivate::iidEqual(iid, FUnknown::iid) || FUnknownPrivate::iidEqual(iid, IPluginBase::iid) ||
      FUnknownPrivate::iidEqual(iid, IComponent::iid))
    found = static_cast<IComponent*>(this);
  else if (FUnknownPrivate::iidEqual(iid, IAudioProcessor::iid))
    found = static_cast<IAudioProcessor*>(this);
  else if (FUnknownPrivate::iidEqual(iid, IEditController::iid))
    found = static_cast<IEditController*>(this);
  *obj = found;
  if (!found) return kNoInterface;
  addRef();
  return kResultOk;
}

uint32 PLUGIN_API Vst3Plugin::addRef() noexcept { return mRefCount.fetch_add(1, std::memory_order_relaxed) + 1; }

uint32 PLUGIN_API Vst3Plugin::release() noexcept {
  const uint32 left = mRefCount.fetch_sub(1, std::memory_order_acq_rel) - 1;
  if (left == 0) delete this;
  return left;
}

// ---- IPluginBase ------------------------------------------------------------

tresult PLUGIN_API Vst3Plugin::initialize(FUnknown* context) noexcept {
  if (mInitialized) return kResultOk;  // one object, initialised as component and as controller
  mMainThread.store(std::this_thread::get_id());
  if (context) {
    context->addRef();
    mHostContext = context;
    Linux::IRunLoop* runLoop = nullptr;
    if (context->queryInterface(Linux::IRunLoop::iid, reinterpret_cast<void**>(&runLoop)) == kResultOk && runLoop) {
      mContextRunLoop = runLoop;
      mContextTimer = RunLoopTimer::Start(
          runLoop, 16, [](void* self) { static_cast<Vst3Plugin*>(self)->DeliverToHost(); }, this);
    }
  }
  mInitialized = true;
  return kResultOk;
}

tresult PLUGIN_API Vst3Plugin::terminate() noexcept {
  try {
    if (mView && mView->IsAttached()) mView->removed();
  } catch (...) {
  }
  if (mContextTimer) {
    mContextTimer->Stop();
    mContextTimer->release();
    mContextTimer = nullptr;
  }
  if (mContextRunLoop) {
    mContextRunLoop->release();
    mContextRunLoop = nullptr;
  }
  if (mHandler) {
    mHandler->release();
    mHandler = nullptr;
  }
  mEdits.Reset();
  if (mHostContext) {
    mHostContext->release();
    mHostContext = nullptr;
  }
  mInitialized = false;
  return kResultOk;
}

// ---- IComponent -------------------------------------------------------------

tresult PLUGIN_API Vst3Plugin::getControllerClassId(TUID classId) noexcept {
  if (classId) std::memset(classId, 0, sizeof(TUID));
  return kResultFalse;
}

tresult PLUGIN_API Vst3Plugin::setIoMode(IoMode) noexcept { return kResultOk; }

int32 PLUGIN_API Vst3Plugin::getBusCount(MediaType type, BusDirection dir) noexcept {
  if (type != kAudio || !ValidDirection(dir)) return 0;
  return mBuses.NumBuses(dir);
}

tresult PLUGIN_API Vst3Plugin::getBusInfo(MediaType type, BusDirection dir, int32 index, BusInfo& bus) noexcept {
  if (type != kAudio || !ValidDirection(dir)) return kInvalidArgument;
  return mBuses.GetInfo(dir, index, bus) ? kResultOk : kInvalidArgument;
}

tresult PLUGIN_API Vst3Plugin::getRoutingInfo(RoutingInfo&, RoutingInfo&) noexcept { return kNotImplemented; }

tresult PLUGIN_API Vst3Plugin::activateBus(MediaType type, BusDirection dir, int32 index, TBool state) noexcept {
  if (type != kAudio || !ValidDirection(dir)) return kInvalidArgument;
  if (!mBuses.Activate(dir, index, state != 0)) return kInvalidArgument;
  UpdateConnections();
  DeliverToHost();
  return kResultOk;
}

tresult PLUGIN_API Vst3Plugin::setActive(TBool state) noexcept {
  try {
    if (state) {
      {
        AudioGate::Reconfigure hold(mGate);
        if (!mBuffers.IsAllocated()) AllocateBuffers();
        ResetPlugin();
        mReady.store(true, std::memory_order_release);
      }
      mActive = true;
    } else {
      mActive = false;
    }
    DeliverToHost();
    return kResultOk;
  } catch (...) {
    return kInternalError;
  }
}

// ---- State --------------------------------------------------------------------

tresult Vst3Plugin::ApplyComponentState(IBStream* state) noexcept {
  if (!state) return kInvalidArgument;
  try {
    std::vector<uint8_t> bytes;
    if (!ReadWholeStream(*state, bytes)) return kResultFalse;
    IByteChunk chunk;
    chunk.Assign(bytes.data(), static_cast<int>(bytes.size()));
    const int pos = mPlugin->UnserializeState(chunk, 0);
    if (pos >= 0) {
      int32 bypass = 0;
      if (chunk.Get(&bypass, pos) >= 0 && (bypass == 0 || bypass == 1))
        mBypass.store(bypass == 1, std::memory_order_relaxed);
    }
    // Even a failed load may have set some parameters: let the host re-read them all.
    RequestRestart(kParamValuesChanged);
    DeliverToHost();
    return pos >= 0 ? kResultOk : kResultFalse;
  } catch (...) {
    return kInternalError;
  }
}

tresult Vst3Plugin::WriteComponentState(IBStream* state) noexcept {
  if (!state) return kInvalidArgument;
  try {
    IByteChunk chunk;
    if (!mPlugin->SerializeState(chunk)) return kResultFalse;
    const int32 bypass = mBypass.load(std::memory_order_relaxed) ? 1 : 0;
    chunk.Put(&bypass);
    const bool ok = WriteWholeStream(*state, chunk.GetData(), static_cast<size_t>(chunk.Size()));
    DeliverToHost();
    return ok ? kResultOk : kResultFalse;
  } catch (...) {
    return kInternalError;
  }
}

tresult Vst3Plugin::ApplyControllerState(IBStream*) noexcept { return kResultOk; }
tresult Vst3Plugin::WriteControllerState(IBStream*) noexcept { return kResultOk; }

tresult PLUGIN_API Vst3Plugin::setComponentState(IBStream*) noexcept {
  // The host hands the controller the state it just gave the component; this
  // object is both, and loading it again would repeat the plug-in's side
  // effects of the load.
  DeliverToHost();
  return kResultOk;
}

// ---- IAudioProcessor --------------------------------------------------------

tresult PLUGIN_API Vst3Plugin::setBusArrangements(SpeakerArrangement* inputs, int32 numIns, SpeakerArrangement* outputs,
                                                  int32 numOuts) noexcept {
  if (mActive) return kResultFalse;
  if (!mBuses.SetArrangements(inputs, numIns, outputs, numOuts)) return kResultFalse;
  UpdateConnections();
  return kResultTrue;
}

tresult PLUGIN_API Vst3Plugin::getBusArrangement(BusDirection dir, int32 index, SpeakerArrangement& arr) noexcept {
  if (!ValidDirection(dir) || index < 0 || index >= mBuses.NumBuses(dir)) return kInvalidArgument;
  arr = mBuses.Arrangement(dir, index);
  return kResultOk;
}

tresult PLUGIN_API Vst3Plugin::canProcessSampleSize(int32 symbolicSampleSize) noexcept {
  return symbolicSampleSize == kSample32 || symbolicSampleSize == kSample64 ? kResultTrue : kResultFalse;
}

uint32 PLUGIN_API Vst3Plugin::getLatencySamples() noexcept {
  return static_cast<uint32>(std::max(0, mPlugin->GetLatency()));
}

uint32 PLUGIN_API Vst3Plugin::getTailSamples() noexcept { return kNoTail; }

tresult PLUGIN_API Vst3Plugin::setupProcessing(ProcessSetup& setup) noexcept {
  if (!std::isfinite(setup.sampleRate) || setup.sampleRate <= 0.0 || setup.maxSamplesPerBlock <= 0) return kInvalidArgument;
  if (canProcessSampleSize(setup.symbolicSampleSize) != kResultTrue) return kInvalidArgument;
  try {
    {
      AudioGate::Reconfigure hold(mGate);
      mSetup = setup;
      mSetup.maxSamplesPerBlock = std::min(setup.maxSamplesPerBlock, kMaxPieceFrames);
      AllocateBuffers();
      if (mActive) {
        ResetPlugin();
        mReady.store(true, std::memory_order_release);
      } else {
        // Reset with the new rate at the next activation, before any block.
        mReady.store(false, std::memory_order_release);
        mPlugin->SetSampleRateAndBlockSize(mSetup.sampleRate, mSetup.maxSamplesPerBlock);
      }
    }
    DeliverToHost();
    return kResultOk;
  } catch (...) {
    return kInternalError;
  }
}

tresult PLUGIN_API Vst3Plugin::setProcessing(TBool) noexcept { return kResultOk; }

void Vst3Plugin::ApplyInputParameterChanges(IParameterChanges* changes) {
  if (!changes) return;
  const int32 count = std::min(changes->getParameterCount(), kMaxParamQueues);
  for (int32 i = 0; i < count; ++i) {
    IParamValueQueue* queue = changes->getParameterData(i);
    if (!queue) continue;
    const int32 points = queue->getPointCount();
    if (points <= 0) continue;
    int32 offset = 0;
    ParamValue value = 0.0;
    if (queue->getPoint(points - 1, offset, value) != kResultOk || !std::isfinite(value)) continue;
    value = Clamp01(value);
    const ParamID id = queue->getParameterId();
    if (id == kBypassParamId) {
      mBypass.store(value >= 0.5, std::memory_order_relaxed);
    } else if (const IParam* p = ParamForId(id)) {
      mPlugin->SetParameterFromHost(static_cast<int>(id), p->FromNormalized(value));
    }
  }
}

tresult PLUGIN_API Vst3Plugin::process(ProcessData& data) noexcept {
  try {
    ApplyInputParameterChanges(data.inputParameterChanges);
    if (data.numSamples <= 0) return kResultOk;  // a parameter flush
    if (data.symbolicSampleSize != kSample32 && data.symbolicSampleSize != kSample64) return kInvalidArgument;
    const bool is64 = data.symbolicSampleSize == kSample64;

    if (mBypass.load(std::memory_order_relaxed)) {
      CopyThrough(data, is64);
      return kResultOk;
    }
    if (!mGate.TryEnterAudio()) {
      CopyThrough(data, is64);
      return kResultOk;
    }
    if (!mReady.load(std::memory_order_acquire) || !mBuffers.IsAllocated()) {
      mGate.LeaveAudio();
      CopyThrough(data, is64);
      return kResultOk;
    }
    const int total = data.numSamples;
    const int piece = mBuffers.MaxFrames();
    for (int offset = 0; offset < total; offset += piece) {
      const int frames = std::min(piece, total - offset);
      mBuffers.Gather(data, is64, offset, frames);
      mPlugin->ProcessBlock(mBuffers.Inputs(), mBuffers.Outputs(), frames);
      mBuffers.Scatter(data, is64, offset, frames);
    }
    mGate.LeaveAudio();
    return kResultOk;
  } catch (...) {
    // Nothing in the audio path throws; should the plug-in do so, the block is silent.
    mGate.LeaveAudio();
    SilenceOutputs(data, data.symbolicSampleSize == kSample64);
    return kInternalError;
  }
}

// ---- IEditController ---------------------------------------------------------

int32 PLUGIN_API Vst3Plugin::getParameterCount() noexcept { return mPlugin->NParams() + 1; }

tresult PLUGIN_API Vst3Plugin::getParameterInfo(int32 paramIndex, ParameterInfo& info) noexcept {
  DeliverToHost();
  if (paramIndex < 0 || paramIndex > mPlugin->NParams()) return kInvalidArgument;
  info = ParameterInfo();
  info.unitId = kRootUnitId;
  if (paramIndex == mPlugin->NParams()) {
    info.id = kBypassParamId;
    CopyToUtf16("Bypass", info.title, 128);
    CopyToUtf16("Bypass", info.shortTitle, 128);
    CopyToUtf16("", info.units, 128);
    info.stepCount = 1;
    info.defaultNormalizedValue = 0.0;
    info.flags = ParameterInfo::kCanAutomate | ParameterInfo::kIsList | ParameterInfo::kIsBypass;
    return kResultOk;
  }
  const IParam* p = mPlugin->GetParam(paramIndex);
  info.id = static_cast<ParamID>(paramIndex);
  CopyToUtf16(p->Name(), info.title, 128);
  CopyToUtf16(p->Name(), info.shortTitle, 128);
  CopyToUtf16(p->Label(), info.units, 128);
  info.stepCount = p->StepCount();
  info.defaultNormalizedValue = p->ToNormalized(p->Default());
  info.flags = ParameterInfo::kCanAutomate;
  return kResultOk;
}

tresult PLUGIN_API Vst3Plugin::getParamStringByValue(ParamID id, ParamValue valueNormalized, String128 string) noexcept {
  if (!string) return kInvalidArgument;
  try {
    if (id == kBypassParamId) {
      CopyToUtf16(Clamp01(valueNormalized) >= 0.5 ? "on" : "off", string, 128);
      return kResultOk;
    }
    const IParam* p = ParamForId(id);
    if (!p) return kInvalidArgument;
    CopyToUtf16(p->DisplayText(p->FromNormalized(valueNormalized)).c_str(), string, 128);
    return kResultOk;
  } catch (...) {
    return kInternalError;
  }
}

tresult PLUGIN_API Vst3Plugin::getParamValueByString(ParamID id, TChar* string, ParamValue& valueNormalized) noexcept {
  if (!string) return kInvalidArgument;
  try {
    const std::string text = Trimmed(FromUtf16(string, 128));
    if (id == kBypassParamId) {
      if (EqualsIgnoringCase(text, "on") || text == "1") {
        valueNormalized = 1.0;
        return kResultOk;
      }
      if (EqualsIgnoringCase(text, "off") || text == "0") {
        valueNormalized = 0.0;
        return kResultOk;
      }
      return kResultFalse;
    }
    const IParam* p = ParamForId(id);
    if (!p) return kInvalidArgument;
    double plain = 0.0;
    if (!p->Parse(text.c_str(), plain)) return kResultFalse;
    valueNormalized = p->ToNormalized(plain);
    return kResultOk;
  } catch (...) {
    return kInternalError;
  }
}

ParamValue PLUGIN_API Vst3Plugin::normalizedParamToPlain(ParamID id, ParamValue valueNormalized) noexcept {
  if (id == kBypassParamId) return Clamp01(valueNormalized) >= 0.5 ? 1.0 : 0.0;
  const IParam* p = ParamForId(id);
  return p ? p->FromNormalized(valueNormalized) : 0.0;
}

ParamValue PLUGIN_API Vst3Plugin::plainParamToNormalized(ParamID id, ParamValue plainValue) noexcept {
  if (id == kBypassParamId) return plainValue >= 0.5 ? 1.0 : 0.0;
  const IParam* p = ParamForId(id);
  return p && !std::isnan(plainValue) ? p->ToNormalized(plainValue) : 0.0;
}

ParamValue PLUGIN_API Vst3Plugin::getParamNormalized(ParamID id) noexcept {
  DeliverToHost();
  if (id == kBypassParamId) return mBypass.load(std::memory_order_relaxed) ? 1.0 : 0.0;
  const IParam* p = ParamForId(id);
  return p ? p->GetNormalized() : 0.0;
}

tresult PLUGIN_API Vst3Plugin::setParamNormalized(ParamID id, ParamValue value) noexcept {
  if (!std::isfinite(value)) return kInvalidArgument;
  value = Clamp01(value);
  if (id == kBypassParamId) {
    mBypass.store(value >= 0.5, std::memory_order_relaxed);
    return kResultOk;
  }
  const IParam* p = ParamForId(id);
  if (!p) return kInvalidArgument;
  mEdits.ClearChanged(static_cast<int>(id));
  mPlugin->SetParameterFromHost(static_cast<int>(id), p->FromNormalized(value));
  return kResultOk;
}

tresult PLUGIN_API Vst3Plugin::setComponentHandler(IComponentHandler* handler) noexcept {
  if (handler != mHandler) {
    if (handler) handler->addRef();
    if (mHandler) mHandler->release();
    mHandler = handler;
  }
  DeliverToHost();
  return kResultOk;
}

IPlugView* PLUGIN_API Vst3Plugin::createView(FIDString name) noexcept {
  try {
    if (!name || std::strcmp(name, ViewType::kEditor) != 0 || !mPlugin->HasEditor()) return nullptr;
    return new EditorView(*this);
  } catch (...) {
    return nullptr;
  }
}

// ---- HostSink -----------------------------------------------------------------

void Vst3Plugin::ParamChangedByPlugin(int paramIdx) noexcept { mEdits.MarkChanged(paramIdx); }
void Vst3Plugin::BeginParamGesture(int paramIdx) noexcept { mEdits.MarkBegin(paramIdx); }
void Vst3Plugin::EndParamGesture(int paramIdx) noexcept { mEdits.MarkEnd(paramIdx); }

void Vst3Plugin::LatencyChanged(int) noexcept { RequestRestart(kLatencyChanged); }

bool Vst3Plugin::RequestEditorResize(int width, int height) noexcept {
  if (width <= 0 || height <= 0) return false;
  if (IsMainThread() && !mDelivering) {
    mPendingResize.store(0, std::memory_order_relaxed);
    return mView && mView->RequestResize(width, height);
  }
  const uint64 packed = (static_cast<uint64>(static_cast<uint32>(width)) << 32) | static_cast<uint32>(height);
  mPendingResize.store(packed, std::memory_order_release);
  return true;
}

// ---- Main-thread helpers -----------------------------------------------------

bool Vst3Plugin::IsMainThread() const { return mMainThread.load() == std::this_thread::get_id(); }

bool Vst3Plugin::AttachView(EditorView* view) {
  if (mView && mView != view) return false;
  mView = view;
  return true;
}

void Vst3Plugin::DetachView(EditorView* view) {
  if (mView == view) mView = nullptr;
}

void Vst3Plugin::RequestRestart(int32 flags) { mPendingRestart.fetch_or(flags, std::memory_order_acq_rel); }

void Vst3Plugin::DeliverToHost() {
  if (mDelivering || !IsMainThread()) return;
  mDelivering = true;
  try {
    if (mHandler) {
      if (const int32 restart = mPendingRestart.exchange(0, std::memory_order_acq_rel)) mHandler->restartComponent(restart);
      mEdits.Deliver(*mHandler, [this](int idx) { return mPlugin->GetParam(idx)->GetNormalized(); });
    }
    if (const uint64 resize = mPendingResize.exchange(0, std::memory_order_acq_rel); resize && mView)
      mView->RequestResize(static_cast<int>(resize >> 32), static_cast<int>(resize & 0xFFFFFFFFu));
  } catch (...) {
  }
  mDelivering = false;
}

void Vst3Plugin::UpdateConnections() {
  mPlugin->SetChannelConnections(mBuses.ConnectedInputChannels(), mBuses.ConnectedOutputChannels());
  for (int b = 0; b < mBuses.NumBuses(kInput); ++b)
    mBuffers.SetInputInUse(b, mBuses.IsActive(kInput, b) ? mBuses.Channels(kInput, b) : 0);
}

void Vst3Plugin::AllocateBuffers() {
  std::vector<int> ins, outs;
  for (int b = 0; b < mBuses.NumBuses(kInput); ++b) ins.push_back(mBuses.MaxChannels(kInput, b));
  for (int b = 0; b < mBuses.NumBuses(kOutput); ++b) outs.push_back(mBuses.MaxChannels(kOutput, b));
  mBuffers.Allocate(ins, outs, std::clamp<int32>(mSetup.maxSamplesPerBlock, 1, kMaxPieceFrames));
  UpdateConnections();
}

void Vst3Plugin::ResetPlugin() {
  mPlugin->SetSampleRateAndBlockSize(mSetup.sampleRate, mBuffers.MaxFrames());
  mPlugin->OnReset();
}

const IParam* Vst3Plugin::ParamForId(ParamID id) const {
  return id < static_cast<ParamID>(mPlugin->NParams()) ? mPlugin->GetParam(static_cast<int>(id)) : nullptr;
}

}  // namespace plinth::vst3
