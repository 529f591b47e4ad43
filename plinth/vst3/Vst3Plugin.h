#pragma once
// The VST3 face of a plinth::Plugin: one object that is the component, the
// audio processor and the edit controller (a single component: there is no
// separate controller class). It owns the plug-in and is its HostSink.
//
// Threads: "main" is the thread that called initialize; process runs on the
// host's audio thread. Everything the plug-in reports from other threads
// (edits, gestures, latency, resize requests) is kept in atomics and handed
// to the host on the main thread: from a run-loop timer and at every other
// main-thread entry.

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "pluginterfaces/gui/iplugview.h"
#include "pluginterfaces/vst/ivstaudioprocessor.h"
#include "pluginterfaces/vst/ivstcomponent.h"
#include "pluginterfaces/vst/ivsteditcontroller.h"
#include "plinth/HostSink.h"
#include "plinth/Plugin.h"
#include "plinth/vst3/AudioGate.h"
#include "plinth/vst3/BusConfiguration.h"
#include "plinth/vst3/HostEditQueue.h"
#include "plinth/vst3/ProcessBuffers.h"
#include "plinth/vst3/RunLoopTimer.h"

namespace plinth::vst3 {

class EditorView;

// Id of the host bypass parameter every wrapped plug-in gets.
inline constexpr Steinberg::Vst::ParamID kBypassParamId = 65536;

// IComponent and IEditController declare setState / getState with the same
// signature; these two bases give the component state and the controller
// state their own implementations.
class ComponentStateSide : public Steinberg::Vst::IComponent {
 public:
  Steinberg::tresult PLUGIN_API setState(Steinberg::IBStream* state) noexcept final { return ApplyComponentState(state); }
  Steinberg::tresult PLUGIN_API getState(Steinberg::IBStream* state) noexcept final { return WriteComponentState(state); }

 protected:
  virtual Steinberg::tresult ApplyComponentState(Steinberg::IBStream* state) noexcept = 0;
  virtual Steinberg::tresult WriteComponentState(Steinberg::IBStream* state) noexcept = 0;
};

class ControllerStateSide : public Steinberg::Vst::IEditController {
 public:
  Steinberg::tresult PLUGIN_API setState(Steinberg::IBStream* state) noexcept final { return ApplyControllerState(state); }
  Steinberg::tresult PLUGIN_API getState(Steinberg::IBStream* state) noexcept final { return WriteControllerState(state); }

 protected:
  virtual Steinberg::tresult ApplyControllerState(Steinberg::IBStream* state) noexcept = 0;
  virtual Steinberg::tresult WriteControllerState(Steinberg::IBStream* state) noexcept = 0;
};

class Vst3Plugin final : public ComponentStateSide,
                         public Steinberg::Vst::IAudioProcessor,
                         public ControllerStateSide,
                         public HostSink {
 public:
  explicit Vst3Plugin(std::unique_ptr<Plugin> plugin);
  ~Vst3Plugin() override;
  Vst3Plugin(const Vst3Plugin&) = delete;
  Vst3Plugin& operator=(const Vst3Plugin&) = delete;

  // ---- FUnknown ----
  Steinberg::tresult PLUGIN_API queryInterface(const Steinberg::TUID iid, void** obj) noexcept override;
  Steinberg::uint32 PLUGIN_API addRef() noexcept override;
  Steinberg::uint32 PLUGIN_API release() noexcept override;

  // ---- IPluginBase (main) ----
  /// Remembers the main thread and the host context; a second call is a no-op.
  Steinberg::tresult PLUGIN_API initialize(Steinberg::FUnknown* context) noexcept override;
  /// Drops every host reference and closes an open editor.
  Steinberg::tresult PLUGIN_API terminate() noexcept override;

  // ---- IComponent (main) ----
  /// Single component: no separate controller class (kResultFalse).
  Steinberg::tresult PLUGIN_API getControllerClassId(Steinberg::TUID classId) noexcept override;
  Steinberg::tresult PLUGIN_API setIoMode(Steinberg::Vst::IoMode mode) noexcept override;
  Steinberg::int32 PLUGIN_API getBusCount(Steinberg::Vst::MediaType type, Steinberg::Vst::BusDirection dir) noexcept override;
  Steinberg::tresult PLUGIN_API getBusInfo(Steinberg::Vst::MediaType type, Steinberg::Vst::BusDirection dir,
                                           Steinberg::int32 index, Steinberg::Vst::BusInfo& bus) noexcept override;
  Steinberg::tresult PLUGIN_API getRoutingInfo(Steinberg::Vst::RoutingInfo& inInfo,
                                               Steinberg::Vst::RoutingInfo& outInfo) noexcept override;
  /// Tracks bus activation and tells the plug-in its connected channel counts.
  Steinberg::tresult PLUGIN_API activateBus(Steinberg::Vst::MediaType type, Steinberg::Vst::BusDirection dir,
                                            Steinberg::int32 index, Steinberg::TBool state) noexcept override;
  /// true: resets the plug-in (OnReset) with the current rate and block size.
  Steinberg::tresult PLUGIN_API setActive(Steinberg::TBool state) noexcept override;

  // ---- IAudioProcessor ----
  /// Main: accepts only the configurations of the channel I/O string.
  Steinberg::tresult PLUGIN_API setBusArrangements(Steinberg::Vst::SpeakerArrangement* inputs, Steinberg::int32 numIns,
                                                   Steinberg::Vst::SpeakerArrangement* outputs,
                                                   Steinberg::int32 numOuts) noexcept override;
  Steinberg::tresult PLUGIN_API getBusArrangement(Steinberg::Vst::BusDirection dir, Steinberg::int32 index,
                                                  Steinberg::Vst::SpeakerArrangement& arr) noexcept override;
  /// 32 and 64 bit.
  Steinberg::tresult PLUGIN_API canProcessSampleSize(Steinberg::int32 symbolicSampleSize) noexcept override;
  /// Any thread: the plug-in's current latency.
  Steinberg::uint32 PLUGIN_API getLatencySamples() noexcept override;
  /// Main, inactive: sizes the buffers for the announced maximum block.
  Steinberg::tresult PLUGIN_API setupProcessing(Steinberg::Vst::ProcessSetup& setup) noexcept override;
  /// Main or audio; nothing to do (the plug-in is reset at activation).
  Steinberg::tresult PLUGIN_API setProcessing(Steinberg::TBool state) noexcept override;
  /// Audio: applies parameter changes, then processes (or copies through while
  /// bypassed). Allocates nothing, takes no lock, never waits.
  Steinberg::tresult PLUGIN_API process(Steinberg::Vst::ProcessData& data) noexcept override;
  Steinberg::uint32 PLUGIN_API getTailSamples() noexcept override;

  // ---- IEditController (main) ----
  /// Same object as the component: the component state is already applied.
  Steinberg::tresult PLUGIN_API setComponentState(Steinberg::IBStream* state) noexcept override;
  Steinberg::int32 PLUGIN_API getParameterCount() noexcept override;
  Steinberg::tresult PLUGIN_API getParameterInfo(Steinberg::int32 paramIndex,
                                                 Steinberg::Vst::ParameterInfo& info) noexcept override;
  Steinberg::tresult PLUGIN_API getParamStringByValue(Steinberg::Vst::ParamID id, Steinberg::Vst::ParamValue valueNormalized,
                                                      Steinberg::Vst::String128 string) noexcept override;
  Steinberg::tresult PLUGIN_API getParamValueByString(Steinberg::Vst::ParamID id, Steinberg::Vst::TChar* string,
                                                      Steinberg::Vst::ParamValue& valueNormalized) noexcept override;
  Steinberg::Vst::ParamValue PLUGIN_API normalizedParamToPlain(Steinberg::Vst::ParamID id,
                                                               Steinberg::Vst::ParamValue valueNormalized) noexcept override;
  Steinberg::Vst::ParamValue PLUGIN_API plainParamToNormalized(Steinberg::Vst::ParamID id,
                                                               Steinberg::Vst::ParamValue plainValue) noexcept override;
  Steinberg::Vst::ParamValue PLUGIN_API getParamNormalized(Steinberg::Vst::ParamID id) noexcept override;
  /// Sets the value and calls OnParamChange; never echoed back to the host.
  Steinberg::tresult PLUGIN_API setParamNormalized(Steinberg::Vst::ParamID id, Steinberg::Vst::ParamValue value) noexcept override;
  Steinberg::tresult PLUGIN_API setComponentHandler(Steinberg::Vst::IComponentHandler* handler) noexcept override;
  /// "editor", when the plug-in has one.
  Steinberg::IPlugView* PLUGIN_API createView(Steinberg::FIDString name) noexcept override;

  // ---- HostSink (called by the plug-in) ----
  void ParamChangedByPlugin(int paramIdx) noexcept override;
  void BeginParamGesture(int paramIdx) noexcept override;
  void EndParamGesture(int paramIdx) noexcept override;
  void LatencyChanged(int samples) noexcept override;
  bool RequestEditorResize(int width, int height) noexcept override;

  // ---- For the editor view (main thread) ----
  Plugin& GetPlugin() { return *mPlugin; }
  bool IsMainThread() const;
  // The view that holds the plug-in's editor, or null. Only one view at a time.
  bool AttachView(EditorView* view);
  void DetachView(EditorView* view);
  // Hands everything pending to the host. Main thread only; not re-entrant.
  void DeliverToHost();

 private:
  /// Component state (main): the plug-in's chunk followed by the bypass
  /// state as a little-endian int32 (1 = bypassed).
  Steinberg::tresult ApplyComponentState(Steinberg::IBStream* state) noexcept override;
  Steinberg::tresult WriteComponentState(Steinberg::IBStream* state) noexcept override;
  /// Controller state (main): everything lives in the component state, so
  /// it is empty.
  Steinberg::tresult ApplyControllerState(Steinberg::IBStream* state) noexcept override;
  Steinberg::tresult WriteControllerState(Steinberg::IBStream* state) noexcept override;

  void ApplyInputParameterChanges(Steinberg::Vst::IParameterChanges* changes);
  void UpdateConnections();
  void ResetPlugin();      // main, under the audio gate
  void AllocateBuffers();  // main, under the audio gate
  const IParam* ParamForId(Steinberg::Vst::ParamID id) const;
  void RequestRestart(Steinberg::int32 flags);

  std::unique_ptr<Plugin> mPlugin;  // owned; its own members say which thread uses them
  std::atomic<Steinberg::uint32> mRefCount{1};

  // Host references and lifecycle flags, main thread only.
  Steinberg::FUnknown* mHostContext = nullptr;
  Steinberg::Vst::IComponentHandler* mHandler = nullptr;
  Steinberg::Linux::IRunLoop* mContextRunLoop = nullptr;
  RunLoopTimer* mContextTimer = nullptr;  // registered with mContextRunLoop
  EditorView* mView = nullptr;
  bool mInitialized = false;
  bool mActive = false;
  bool mDelivering = false;
  std::atomic<std::thread::id> mMainThread{};

  // Buses: the configuration is main-thread state; the buffers are sized on
  // the main thread under mGate and used on the audio thread.
  BusConfiguration mBuses;
  ProcessBuffers mBuffers;
  AudioGate mGate;
  Steinberg::Vst::ProcessSetup mSetup{};      // main thread
  std::atomic<bool> mReady{false};            // main sets after OnReset, audio reads
  std::atomic<bool> mBypass{false};           // host bypass parameter; any thread

  // On their way to the host (any thread writes, main thread delivers).
  HostEditQueue mEdits;
  std::atomic<Steinberg::int32> mPendingRestart{0};
  std::atomic<Steinberg::uint64> mPendingResize{0};  // width << 32 | height, 0 = none
};

}  // namespace plinth::vst3
