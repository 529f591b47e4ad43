#include "Vst3Host.h"

#include <dlfcn.h>
#include <sys/utsname.h>

#include <cstdio>
#include <cstring>
#include <filesystem>

#include "HostStream.h"
#include "pluginterfaces/gui/iplugview.h"

namespace qbhost {

using namespace Steinberg;
using namespace Steinberg::Vst;

// ---- Strings --------------------------------------------------------------------

std::string ClassIdToHex(const TUID cid) {
  std::string out;
  char buf[3];
  for (int i = 0; i < 16; ++i) {
    std::snprintf(buf, sizeof buf, "%02X", static_cast<unsigned>(static_cast<uint8_t>(cid[i])));
    out += buf;
  }
  return out;
}

std::string FromString128(const TChar* text) {
  // Hosts only meet ASCII from our modules; anything else becomes '?'.
  std::string out;
  for (int i = 0; i < 128 && text[i]; ++i) out += text[i] < 0x80 ? static_cast<char>(text[i]) : '?';
  return out;
}

void ToString128(const std::string& text, String128 out) {
  size_t n = std::min<size_t>(text.size(), 127);
  for (size_t i = 0; i < n; ++i) out[i] = static_cast<TChar>(static_cast<unsigned char>(text[i]));
  out[n] = 0;
}

// ---- The loaded library ---------------------------------------------------------

class Vst3Library {
 public:
  ~Vst3Library() {
    if (factory) factory->release();
    if (moduleExit) moduleExit();
    if (handle) dlclose(handle);
  }
  void* handle = nullptr;
  IPluginFactory* factory = nullptr;
  bool (*moduleExit)() = nullptr;
};

namespace {

std::string ResolveModulePath(const std::string& path) {
  namespace fs = std::filesystem;
  std::error_code ec;
  if (!fs::is_directory(path, ec)) return path;
  utsname u{};
  std::string arch = uname(&u) == 0 ? u.machine : "x86_64";
  const std::string stem = fs::path(path).filename() == "" ? fs::path(path).parent_path().stem().string()
                                                           : fs::path(path).stem().string();
  return (fs::path(path) / "Contents" / (arch + "-linux") / (stem + ".so")).string();
}

bool IsAudioClass(const PClassInfo& info) { return std::strcmp(info.category, kVstAudioEffectClass) == 0; }

}  // namespace

std::unique_ptr<Vst3Module> OpenVst3Module(const std::string& path, std::string& error) {
  const std::string soPath = ResolveModulePath(path);
  auto library = std::make_shared<Vst3Library>();
  library->handle = dlopen(soPath.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!library->handle) {
    const char* why = dlerror();
    error = "dlopen failed: " + std::string(why ? why : soPath);
    return nullptr;
  }
  using EntryFn = bool (*)(void*);
  using FactoryFn = IPluginFactory* (*)();
  auto entry = reinterpret_cast<EntryFn>(dlsym(library->handle, "ModuleEntry"));
  auto exitFn = reinterpret_cast<bool (*)()>(dlsym(library->handle, "ModuleExit"));
  auto getFactory = reinterpret_cast<FactoryFn>(dlsym(library->handle, "GetPluginFactory"));
  if (!entry || !exitFn || !getFactory) {
    error = "module lacks ModuleEntry, ModuleExit or GetPluginFactory";
    return nullptr;
  }
  if (!entry(library->handle)) {
    error = "ModuleEntry failed";
    return nullptr;
  }
  library->moduleExit = exitFn;
  library->factory = getFactory();
  if (!library->factory) {
    error = "GetPluginFactory returned null";
    return nullptr;
  }
  std::unique_ptr<Vst3Module> module(new Vst3Module());
  module->mPath = path;
  module->mLibrary = std::move(library);
  return module;
}

std::unique_ptr<HostedModule> LoadVst3Module(const std::string& path, std::string& error) {
  return OpenVst3Module(path, error);
}

// ---- Vst3Module ---------------------------------------------------------------

Vst3Module::~Vst3Module() = default;

IPluginFactory* Vst3Module::Factory() { return mLibrary->factory; }
void* Vst3Module::LibraryHandle() { return mLibrary->handle; }

std::vector<PluginIdentity> Vst3Module::Plugins() {
  std::vector<PluginIdentity> out;
  IPluginFactory* factory = mLibrary->factory;
  PFactoryInfo factoryInfo;
  factory->getFactoryInfo(&factoryInfo);
  IPluginFactory2* factory2 = nullptr;
  factory->queryInterface(IPluginFactory2::iid, reinterpret_cast<void**>(&factory2));
  for (int32 i = 0; i < factory->countClasses(); ++i) {
    PClassInfo info;
    if (factory->getClassInfo(i, &info) != kResultOk || !IsAudioClass(info)) continue;
    PluginIdentity id;
    id.id = ClassIdToHex(info.cid);
    id.name = info.name;
    id.vendor = factoryInfo.vendor;
    PClassInfo2 info2;
    if (factory2 && factory2->getClassInfo2(i, &info2) == kResultOk) {
      if (info2.vendor[0]) id.vendor = info2.vendor;
      id.version = info2.version;
      id.category = info2.subCategories;
    }
    out.push_back(id);
  }
  if (factory2) factory2->release();
  return out;
}

std::unique_ptr<HostedInstance> Vst3Module::CreateInstance(int index) { return CreateVst3Instance(index); }

std::unique_ptr<Vst3Instance> Vst3Module::CreateVst3Instance(int index, const Vst3HostOptions& options) {
  IPluginFactory* factory = mLibrary->factory;
  int seen = 0;
  for (int32 i = 0; i < factory->countClasses(); ++i) {
    PClassInfo info;
    if (factory->getClassInfo(i, &info) != kResultOk || !IsAudioClass(info)) continue;
    if (seen++ != index) continue;
    std::unique_ptr<Vst3Instance> instance(new Vst3Instance(mLibrary, options));
    std::string error;
    if (!instance->Create(factory, info.cid, error)) return nullptr;
    return instance;
  }
  return nullptr;
}

// ---- Vst3Instance ---------------------------------------------------------------

Vst3Instance::Vst3Instance(std::shared_ptr<Vst3Library> library, const Vst3HostOptions& options)
    : mLibrary(std::move(library)),
      mHostApp(options.runLoopInContext ? &mRunLoop : nullptr),
      mFrame(options.runLoopInFrame ? &mRunLoop : nullptr),
      mMainThread(std::this_thread::get_id()) {}

bool Vst3Instance::Create(IPluginFactory* factory, const TUID classId, std::string& error) {
  void* obj = nullptr;
  if (factory->createInstance(classId, IComponent::iid, &obj) != kResultOk || !obj) {
    error = "createInstance failed";
    return false;
  }
  mComponent = static_cast<IComponent*>(obj);
  if (mComponent->initialize(&mHostApp) != kResultOk) {
    mComponent->release();
    mComponent = nullptr;
    error = "initialize failed";
    return false;
  }
  if (mComponent->queryInterface(IAudioProcessor::iid, reinterpret_cast<void**>(&mProcessor)) != kResultOk) {
    error = "no IAudioProcessor";
    return false;
  }
  if (mComponent->queryInterface(IEditController::iid, reinterpret_cast<void**>(&mController)) != kResultOk) {
    mController = nullptr;
    TUID controllerId;
    if (mComponent->getControllerClassId(controllerId) == kResultOk &&
        factory->createInstance(controllerId, IEditController::iid, &obj) == kResultOk && obj) {
      mController = static_cast<IEditController*>(obj);
      mSeparateController = true;
      if (mController->initialize(&mHostApp) != kResultOk) {
        mController->release();
        mController = nullptr;
      }
    }
  }
  if (mController) {
    mController->setComponentHandler(&mHandler);
    if (mSeparateController) {
      MemoryStream state;
      if (mComponent->getState(&state) == kResultOk) {
        state.Rewind();
        mController->setComponentState(&state);
      }
    }
  }
  return true;
}

Vst3Instance::~Vst3Instance() {
  CloseEditor();
  Deactivate();
  if (mController) {
    mController->setComponentHandler(nullptr);
    if (mSeparateController) mController->terminate();
    mController->release();
  }
  if (mProcessor) mProcessor->release();
  if (mComponent) {
    mComponent->terminate();
    mComponent->release();
  }
}

bool Vst3Instance::Activate(double sampleRate, int maxBlockSize, bool sideChain) {
  if (mActive) Deactivate();
  const int32 nIn = std::min<int32>(std::max<int32>(mComponent->getBusCount(kAudio, kInput), 1), 2);
  SpeakerArrangement ins[2] = {SpeakerArr::kStereo, SpeakerArr::kStereo};
  SpeakerArrangement outs[1] = {mMonoOutput ? SpeakerArr::kMono : SpeakerArr::kStereo};
  if (mProcessor->setBusArrangements(ins, nIn, outs, 1) != kResultTrue) return false;
  mComponent->activateBus(kAudio, kInput, 0, true);
  mComponent->activateBus(kAudio, kOutput, 0, true);
  if (nIn > 1) mComponent->activateBus(kAudio, kInput, 1, sideChain);
  mSideChain = sideChain && nIn > 1;
  ProcessSetup setup{kRealtime, mSetupSampleSize, maxBlockSize, sampleRate};
  if (mProcessor->setupProcessing(setup) != kResultOk) return false;
  if (mComponent->setActive(true) != kResultOk) return false;
  mProcessor->setProcessing(true);
  mActive = true;
  return true;
}

void Vst3Instance::Deactivate() {
  if (!mActive) return;
  mProcessor->setProcessing(false);
  mComponent->setActive(false);
  mActive = false;
}

template <typename Sample>
bool Vst3Instance::ProcessBlock(const Sample* const* in, int nIn, Sample* const* out, int nOut, int nFrames, bool is64) {
  if (!mActive || nFrames < 0) return false;
  Sample* inPtrs[4] = {};
  Sample* outPtrs[2] = {};
  for (int c = 0; c < std::min(nIn, mSideChain ? 4 : 2); ++c) inPtrs[c] = const_cast<Sample*>(in[c]);
  const int outChannels = mMonoOutput ? 1 : 2;
  for (int c = 0; c < std::min(nOut, outChannels); ++c) outPtrs[c] = out[c];

  AudioBusBuffers inputs[2];
  AudioBusBuffers outputs[1];
  inputs[0].numChannels = 2;
  inputs[1].numChannels = 2;
  outputs[0].numChannels = outChannels;
  if constexpr (sizeof(Sample) == 8) {
    inputs[0].channelBuffers64 = inPtrs;
    inputs[1].channelBuffers64 = inPtrs + 2;
    outputs[0].channelBuffers64 = outPtrs;
  } else {
    inputs[0].channelBuffers32 = inPtrs;
    inputs[1].channelBuffers32 = inPtrs + 2;
    outputs[0].channelBuffers32 = outPtrs;
  }

  ProcessData data;
  data.processMode = kRealtime;
  data.symbolicSampleSize = is64 ? kSample64 : kSample32;
  data.numSamples = nFrames;
  data.numInputs = std::min<int32>(mComponent->getBusCount(kAudio, kInput), 2);
  data.numOutputs = 1;
  data.inputs = inputs;
  data.outputs = outputs;
  {
    std::lock_guard<std::mutex> lock(mPendingMutex);
    mBlockChanges = mPendingChanges;
    mPendingChanges.Clear();
  }
  data.inputParameterChanges = &mBlockChanges;
  const tresult result = mProcessor->process(data);
  mBlockChanges.Clear();
  return result == kResultOk;
}

bool Vst3Instance::Process(const double* const* in, int nIn, double* const* out, int nOut, int nFrames) {
  return ProcessBlock<double>(in, nIn, out, nOut, nFrames, true);
}

bool Vst3Instance::ProcessFloat(const float* const* in, int nIn, float* const* out, int nOut, int nFrames) {
  return ProcessBlock<float>(in, nIn, out, nOut, nFrames, false);
}

bool Vst3Instance::Flush() {
  if (!mActive) return false;
  ProcessData data;
  data.processMode = kRealtime;
  data.symbolicSampleSize = mSetupSampleSize;
  data.numSamples = 0;
  {
    std::lock_guard<std::mutex> lock(mPendingMutex);
    mBlockChanges = mPendingChanges;
    mPendingChanges.Clear();
  }
  data.inputParameterChanges = &mBlockChanges;
  const tresult result = mProcessor->process(data);
  mBlockChanges.Clear();
  return result == kResultOk;
}

void Vst3Instance::AddAutomationPoint(ParamID id, int32 sampleOffset, double normalized) {
  std::lock_guard<std::mutex> lock(mPendingMutex);
  mPendingChanges.Add(id, sampleOffset, normalized);
}

std::vector<ParamInfo> Vst3Instance::Params() {
  std::vector<ParamInfo> out;
  if (!mController) return out;
  for (int32 i = 0; i < mController->getParameterCount(); ++i) {
    ParameterInfo info{};
    if (mController->getParameterInfo(i, info) != kResultOk) continue;
    ParamInfo p;
    p.id = info.id;
    p.name = FromString128(info.title);
    p.label = FromString128(info.units);
    p.minValue = mController->normalizedParamToPlain(info.id, 0.0);
    p.maxValue = mController->normalizedParamToPlain(info.id, 1.0);
    p.defaultValue = mController->normalizedParamToPlain(info.id, info.defaultNormalizedValue);
    p.stepCount = info.stepCount;
    p.isBypass = (info.flags & ParameterInfo::kIsBypass) != 0;
    p.automatable = (info.flags & ParameterInfo::kCanAutomate) != 0;
    out.push_back(p);
  }
  return out;
}

double Vst3Instance::GetParam(uint32_t id) {
  if (!mController) return 0.0;
  return mController->normalizedParamToPlain(id, mController->getParamNormalized(id));
}

void Vst3Instance::SetParam(uint32_t id, double plain) {
  if (!mController) return;
  const double normalized = mController->plainParamToNormalized(id, plain);
  mController->setParamNormalized(id, normalized);
  if (!mActive) return;
  std::lock_guard<std::mutex> lock(mPendingMutex);
  mPendingChanges.Forget(id);
  mPendingChanges.Add(id, 0, normalized);
}

std::string Vst3Instance::ValueToText(uint32_t id, double plain) {
  if (!mController) return {};
  String128 text{};
  if (mController->getParamStringByValue(id, mController->plainParamToNormalized(id, plain), text) != kResultOk) return {};
  return FromString128(text);
}

bool Vst3Instance::TextToValue(uint32_t id, const std::string& text, double& plainOut) {
  if (!mController) return false;
  String128 buf{};
  ToString128(text, buf);
  ParamValue normalized = 0.0;
  if (mController->getParamValueByString(id, buf, normalized) != kResultOk) return false;
  plainOut = mController->normalizedParamToPlain(id, normalized);
  return true;
}

bool Vst3Instance::SaveState(std::vector<uint8_t>& out) {
  MemoryStream stream;
  if (mComponent->getState(&stream) != kResultOk) return false;
  out = stream.Bytes();
  return true;
}

bool Vst3Instance::LoadState(const std::vector<uint8_t>& in) { return LoadStateInPieces(in, 0) == kResultOk; }

tresult Vst3Instance::LoadStateInPieces(const std::vector<uint8_t>& in, int maxPiece) {
  MemoryStream stream(in, maxPiece);
  const tresult result = mComponent->setState(&stream);
  if (mController) {
    MemoryStream again(in, maxPiece);
    mController->setComponentState(&again);
  }
  return result;
}

int Vst3Instance::Latency() { return static_cast<int>(mProcessor->getLatencySamples()); }

int Vst3Instance::LatencyChangeNotifications() { return mHandler.CountRestarts(kLatencyChanged); }

std::vector<std::pair<uint32_t, double>> Vst3Instance::TakeParamChangesFromPlugin() {
  std::vector<std::pair<uint32_t, double>> out;
  for (const EditRecord& e : mHandler.TakePerforms())
    out.emplace_back(e.id, mController ? mController->normalizedParamToPlain(e.id, e.normalized) : e.normalized);
  return out;
}

void Vst3Instance::Idle() { mRunLoop.RunTimers(); }

tresult Vst3Instance::OpenEditor(unsigned long parentWindow) {
  if (mView) return kResultFalse;
  IPlugView* view = mController ? mController->createView(ViewType::kEditor) : nullptr;
  if (!view) return kNotImplemented;
  if (view->isPlatformTypeSupported(kPlatformTypeX11EmbedWindowID) != kResultTrue) {
    view->release();
    return kResultFalse;
  }
  view->setFrame(&mFrame);
  const tresult result = view->attached(reinterpret_cast<void*>(parentWindow), kPlatformTypeX11EmbedWindowID);
  if (result != kResultOk) {
    view->setFrame(nullptr);
    view->release();
    return result;
  }
  mView = view;
  return kResultOk;
}

void Vst3Instance::CloseEditor() {
  if (!mView) return;
  mView->removed();
  mView->setFrame(nullptr);
  mView->release();
  mView = nullptr;
}

}  // namespace qbhost
