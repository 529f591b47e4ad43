#pragma once
// The VST3 side of the test host: loads a module the way Linux hosts do and
// drives its instances. Beyond the format-neutral HostedInstance it exposes
// the raw interfaces and what the host recorded, for format tests.

#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "HostParameterChanges.h"
#include "HostServices.h"
#include "HostedPlugin.h"
#include "pluginterfaces/base/ipluginbase.h"
#include "pluginterfaces/vst/ivstaudioprocessor.h"
#include "pluginterfaces/vst/ivstcomponent.h"
#include "pluginterfaces/vst/ivsteditcontroller.h"

namespace qbhost {

// Where the host offers its run loop (both by default, like most hosts).
struct Vst3HostOptions {
  bool runLoopInContext = true;
  bool runLoopInFrame = true;
};

class Vst3Library;

class Vst3Instance final : public HostedInstance {
 public:
  ~Vst3Instance() override;

  // ---- HostedInstance ----
  bool Activate(double sampleRate, int maxBlockSize, bool sideChain = false) override;
  void Deactivate() override;
  bool Process(const double* const* in, int nIn, double* const* out, int nOut, int nFrames) override;
  bool ProcessFloat(const float* const* in, int nIn, float* const* out, int nOut, int nFrames) override;
  std::vector<ParamInfo> Params() override;
  double GetParam(uint32_t id) override;
  void SetParam(uint32_t id, double plain) override;
  std::string ValueToText(uint32_t id, double plain) override;
  bool TextToValue(uint32_t id, const std::string& text, double& plainOut) override;
  bool SaveState(std::vector<uint8_t>& out) override;
  bool LoadState(const std::vector<uint8_t>& in) override;
  int Latency() override;
  int LatencyChangeNotifications() override;
  std::vector<std::pair<uint32_t, double>> TakeParamChangesFromPlugin() override;
  void Idle() override;

  // ---- Before Activate ----
  // One output channel instead of two.
  void SetMonoOutput(bool mono) { mMonoOutput = mono; }
  // The sample size announced in setupProcessing (kSample64 by default).
  void SetSetupSampleSize(Steinberg::int32 symbolicSampleSize) { mSetupSampleSize = symbolicSampleSize; }

  // ---- Audio ----
  // Queues an automation point for the next block (any thread).
  void AddAutomationPoint(Steinberg::Vst::ParamID id, Steinberg::int32 sampleOffset, double normalized);
  // A block of zero samples that only carries the queued parameter changes.
  bool Flush();

  // ---- State ----
  // setState with a stream that hands out at most maxPiece bytes per read
  // (then setComponentState, as hosts do). Returns setState's result.
  Steinberg::tresult LoadStateInPieces(const std::vector<uint8_t>& in, int maxPiece);

  // ---- Editor (main thread) ----
  // createView("editor") + setFrame + attached to the given X11 window id.
  Steinberg::tresult OpenEditor(unsigned long parentWindow);
  void CloseEditor();
  Steinberg::IPlugView* View() { return mView; }

  // ---- Raw access and records ----
  Steinberg::Vst::IComponent* Component() { return mComponent; }
  Steinberg::Vst::IAudioProcessor* Processor() { return mProcessor; }
  Steinberg::Vst::IEditController* Controller() { return mController; }
  bool SingleComponent() const { return !mSeparateController; }
  ComponentHandler& Handler() { return mHandler; }
  PlugFrame& Frame() { return mFrame; }
  HostRunLoop& RunLoop() { return mRunLoop; }
  std::thread::id MainThread() const { return mMainThread; }

 private:
  friend class Vst3Module;
  Vst3Instance(std::shared_ptr<Vst3Library> library, const Vst3HostOptions& options);
  bool Create(Steinberg::IPluginFactory* factory, const Steinberg::TUID classId, std::string& error);
  template <typename Sample>
  bool ProcessBlock(const Sample* const* in, int nIn, Sample* const* out, int nOut, int nFrames, bool is64);

  std::shared_ptr<Vst3Library> mLibrary;  // first member: released last, after every plug-in object
  HostRunLoop mRunLoop;
  HostApplication mHostApp;
  ComponentHandler mHandler;
  PlugFrame mFrame;
  std::thread::id mMainThread;

  Steinberg::Vst::IComponent* mComponent = nullptr;
  Steinberg::Vst::IAudioProcessor* mProcessor = nullptr;
  Steinberg::Vst::IEditController* mController = nullptr;
  bool mSeparateController = false;
  Steinberg::IPlugView* mView = nullptr;

  bool mMonoOutput = false;
  bool mSideChain = false;
  bool mActive = false;
  Steinberg::int32 mSetupSampleSize = Steinberg::Vst::kSample64;

  // Changes queued on the main thread (or any thread) for the next block;
  // the audio thread moves them into mBlockChanges.
  std::mutex mPendingMutex;
  ParameterChanges mPendingChanges;
  ParameterChanges mBlockChanges;  // audio thread only
};

class Vst3Module final : public HostedModule {
 public:
  ~Vst3Module() override;
  Format GetFormat() const override { return Format::Vst3; }
  const std::string& Path() const override { return mPath; }
  std::vector<PluginIdentity> Plugins() override;
  std::unique_ptr<HostedInstance> CreateInstance(int index = 0) override;

  std::unique_ptr<Vst3Instance> CreateVst3Instance(int index = 0, const Vst3HostOptions& options = {});
  Steinberg::IPluginFactory* Factory();
  // The dlopen handle, for looking up the module's other exports.
  void* LibraryHandle();

 private:
  friend std::unique_ptr<Vst3Module> OpenVst3Module(const std::string& path, std::string& error);
  Vst3Module() = default;
  std::string mPath;
  std::shared_ptr<Vst3Library> mLibrary;
};

// The bundle directory or the .so inside it.
std::unique_ptr<Vst3Module> OpenVst3Module(const std::string& path, std::string& error);

// "F2AEE70D..." for a class id.
std::string ClassIdToHex(const Steinberg::TUID cid);
std::string FromString128(const Steinberg::Vst::TChar* text);
void ToString128(const std::string& text, Steinberg::Vst::String128 out);

}  // namespace qbhost
