#pragma once
// The CLAP half of the test host: loads a .clap module the way Linux hosts do
// and drives its instances through the C ABI. Besides the format-neutral
// HostedInstance interface it exposes what only a CLAP host sees (the raw
// plug-in, extension tables, requests the plug-in made, output events), for
// tests of the CLAP module itself.
//
// Host-side threading: the thread that created an instance is its main
// thread; Process / ProcessFloat may run on another (audio) thread. SetParam
// hands changes to the audio thread through a lock-free queue.

#include <clap/entry.h>
#include <clap/ext/audio-ports.h>
#include <clap/ext/gui.h>
#include <clap/ext/latency.h>
#include <clap/ext/params.h>
#include <clap/ext/state.h>
#include <clap/plugin-factory.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "HostedPlugin.h"

namespace qbhost {

// An event the plug-in sent to the host (process or flush).
struct ClapOutputEvent {
  enum class Kind { Value, GestureBegin, GestureEnd };
  Kind kind = Kind::Value;
  uint32_t paramId = 0;
  double value = 0.0;  // Value events only
};

// What the plug-in asked of the host. Thread-safe counters.
struct ClapHostRecord {
  std::atomic<int> restartRequests{0};
  std::atomic<int> processRequests{0};
  std::atomic<int> callbackRequests{0};
  std::atomic<int> flushRequests{0};
  std::atomic<int> latencyChanged{0};
  std::atomic<int> rescans{0};
  std::atomic<uint32_t> rescanFlags{0};  // every flag seen, OR-ed
  std::atomic<int> stateMarkedDirty{0};
  std::atomic<int> resizeRequests{0};
  std::atomic<int> lastResizeWidth{0};
  std::atomic<int> lastResizeHeight{0};
  // Host calls made where CLAP forbids them (latency changed outside
  // activate, main-thread calls from other threads, request_flush from
  // inside process); each one is also described in ViolationLog().
  std::atomic<int> threadViolations{0};
  std::atomic<int> droppedOutputEvents{0};
};

class ClapModuleLibrary;

class ClapInstance final : public HostedInstance {
 public:
  ~ClapInstance() override;

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

  // ---- CLAP specifics ------------------------------------------------------
  const clap_plugin_t* Plugin() const { return mPlugin; }
  const clap_host_t* Host() const { return &mHost; }
  ClapHostRecord& Record() { return mRecord; }
  std::vector<std::string> ViolationLog();
  const clap_plugin_params_t* ParamsExt() const { return mParams; }
  const clap_plugin_gui_t* GuiExt() const { return mGui; }
  const clap_plugin_state_t* StateExt() const { return mState; }
  const clap_plugin_audio_ports_t* AudioPortsExt() const { return mPorts; }
  const clap_plugin_latency_t* LatencyExt() const { return mLatency; }

  // State streams move at most this many bytes per read / write call (0: no limit).
  void SetStreamPieceSize(size_t bytes) { mPieceSize = bytes; }
  // Saves / loads with raw bytes (LoadState without a copy).
  bool LoadStateBytes(const uint8_t* data, size_t size);
  // params flush now, with the queued changes; main thread, only while not processing.
  bool Flush();
  // Everything the plug-in reported since the last call (main thread).
  std::vector<ClapOutputEvent> TakeOutputEvents();
  bool IsActive() const { return mActive; }
  bool IsProcessing() const { return mProcessingState.load(); }

 private:
  friend class ClapModule;
  friend struct ClapHostCallbacks;
  struct AudioState;
  struct Queues;

  ClapInstance(std::shared_ptr<ClapModuleLibrary> library);
  bool Create(const clap_plugin_factory_t* factory, const char* pluginId, std::string& error);
  template <typename Sample>
  bool ProcessImpl(const Sample* const* in, int nIn, Sample* const* out, int nOut, int nFrames);
  void NoteViolation(const char* what);
  void CollectOutputEvents();
  void TakeQueuedParamEvents(AudioState& audio);
  bool IsMainThread() const;
  bool IsAudioThread() const;

  std::shared_ptr<ClapModuleLibrary> mLibrary;  // keeps the module loaded while the instance lives
  clap_host_t mHost{};
  const clap_plugin_t* mPlugin = nullptr;
  const clap_plugin_params_t* mParams = nullptr;
  const clap_plugin_gui_t* mGui = nullptr;
  const clap_plugin_state_t* mState = nullptr;
  const clap_plugin_audio_ports_t* mPorts = nullptr;
  const clap_plugin_latency_t* mLatency = nullptr;

  ClapHostRecord mRecord;
  std::unique_ptr<Queues> mQueues;
  std::unique_ptr<AudioState> mAudio;
  std::vector<ClapOutputEvent> mOutputLog;  // main thread

  uint64_t mMainThread = 0;
  std::atomic<uint64_t> mAudioThread{0};
  std::atomic<bool> mInProcess{false};
  std::atomic<bool> mInActivate{false};
  std::atomic<bool> mFlushRequested{false};
  std::atomic<bool> mCallbackRequested{false};
  std::atomic<bool> mProcessingState{false};
  bool mActive = false;
  bool mSideChain = false;
  size_t mPieceSize = 0;
};

class ClapModule final : public HostedModule {
 public:
  ~ClapModule() override;
  Format GetFormat() const override { return Format::Clap; }
  const std::string& Path() const override { return mPath; }
  std::vector<PluginIdentity> Plugins() override;
  std::unique_ptr<HostedInstance> CreateInstance(int index = 0) override;

  std::unique_ptr<ClapInstance> CreateClapInstance(int index = 0);
  // Instance of the plug-in with this id (any string: tests of the factory).
  std::unique_ptr<ClapInstance> CreateClapInstanceById(const char* pluginId, std::string& error);
  const clap_plugin_entry_t* Entry() const;
  const clap_plugin_factory_t* Factory() const { return mFactory; }
  // A symbol the module exports, or null.
  void* Symbol(const char* name) const;

 private:
  friend std::unique_ptr<ClapModule> OpenClapModule(const std::string& path, std::string& error);
  ClapModule() = default;
  std::string mPath;
  std::shared_ptr<ClapModuleLibrary> mLibrary;
  const clap_plugin_factory_t* mFactory = nullptr;
};

// dlopen + clap_entry->init + the plug-in factory. Null and error on failure.
std::unique_ptr<ClapModule> OpenClapModule(const std::string& path, std::string& error);

}  // namespace qbhost
