#pragma once
// The format-neutral plug-in base. A product derives from Plugin, overrides
// the hooks, and is wrapped by the VST3 or the CLAP wrapper, which owns it.
//
// Threads: "main" is the host's main (UI) thread, "audio" the thread that
// calls process. Each hook states where it is called and whether it may block.

#include <atomic>
#include <memory>
#include <vector>

#include "plinth/ByteChunk.h"
#include "plinth/Config.h"
#include "plinth/HostSink.h"
#include "plinth/Param.h"

namespace plinth {

// Construction record handed to the product's constructor.
struct InstanceInfo {
  const void* formatHost = nullptr;  // CLAP: the const clap_host*; VST3: null
};

class alignas(64) Plugin {
 public:
  Plugin(const InstanceInfo& info, const Config& config);
  virtual ~Plugin();
  Plugin(const Plugin&) = delete;
  Plugin& operator=(const Plugin&) = delete;

  // ---- Hooks -------------------------------------------------------------

  /// Main thread, host not processing: sample rate or maximum block size set,
  /// processing about to (re)start. May allocate.
  virtual void OnReset() {}
  /// Any thread (audio for automation, main for state loads, editor for UI
  /// edits), after parameter paramIdx got a new value. Must not block.
  virtual void OnParamChange(int paramIdx) { (void)paramIdx; }
  /// Audio thread: process nFrames samples. inputs holds one pointer per
  /// channel of every input bus, outputs one per channel of every output bus;
  /// unconnected channels point at silent (input) or scratch (output) buffers.
  /// Must not allocate or block. The default copies input to output.
  virtual void ProcessBlock(double** inputs, double** outputs, int nFrames);
  /// Main thread: append the complete state. Default: the parameters.
  virtual bool SerializeState(IByteChunk& chunk) const { return SerializeParams(chunk); }
  /// Main thread: restore from startPos; returns the position after the last
  /// byte consumed, or -1 when the parameters could not be read.
  virtual int UnserializeState(const IByteChunk& chunk, int startPos) { return UnserializeParams(chunk, startPos); }
  /// Main thread: open the editor as a child of the X11 window `parent`
  /// (the window id cast to a pointer). Returns null on failure.
  virtual void* OpenWindow(void* parent) {
    (void)parent;
    return nullptr;
  }
  /// Main thread: close the editor opened by OpenWindow.
  virtual void CloseWindow() {}
  /// Main thread: the host resized the editor's parent window.
  virtual void OnParentWindowResize(int width, int height) {
    (void)width;
    (void)height;
  }
  /// Whether OpenWindow can open an editor; wrappers offer a GUI only then.
  virtual bool HasEditor() const { return false; }

  // ---- For the product ---------------------------------------------------

  const Config& GetConfig() const { return mConfig; }
  const InstanceInfo& GetInstanceInfo() const { return mInfo; }
  double GetSampleRate() const { return mSampleRate.load(std::memory_order_relaxed); }
  int GetBlockSize() const { return mBlockSize.load(std::memory_order_relaxed); }
  int NInChansConnected() const { return mInChansConnected.load(std::memory_order_relaxed); }
  int NOutChansConnected() const { return mOutChansConnected.load(std::memory_order_relaxed); }

  int NParams() const { return static_cast<int>(mParams.size()); }
  IParam* GetParam(int idx) { return idx >= 0 && idx < NParams() ? &mParams[idx] : nullptr; }
  const IParam* GetParam(int idx) const { return idx >= 0 && idx < NParams() ? &mParams[idx] : nullptr; }

  /// Appends every parameter's plain value as a double, in index order.
  bool SerializeParams(IByteChunk& chunk) const;
  /// Reads the doubles written by SerializeParams from startPos, setting each
  /// parameter that is present and finite, then reports every parameter as
  /// changed (OnParamReset). Returns the position after the last one, or -1
  /// when the block is incomplete (or startPos is -1).
  int UnserializeParams(const IByteChunk& chunk, int startPos);
  /// Calls OnParamChange for every parameter, in index order.
  void OnParamReset();

  /// The plug-in set parameter idx itself; tell the host. Any thread.
  void InformHostOfParamChange(int idx);
  void BeginInformHostOfParamChange(int idx);
  void EndInformHostOfParamChange(int idx);

  /// Editor thread: remember a positive size and ask the host to resize.
  bool EditorResizeFromUI(int width, int height);
  int GetEditorWidth() const { return mEditorWidth.load(std::memory_order_relaxed); }
  int GetEditorHeight() const { return mEditorHeight.load(std::memory_order_relaxed); }
  /// Remember a positive editor size without asking the host.
  void SetEditorSize(int width, int height);

  /// Report a new latency to the host (main thread; the host is told only
  /// when the value changes).
  void SetLatency(int samples);
  int GetLatency() const { return mLatency.load(std::memory_order_relaxed); }

  // ---- For the wrappers --------------------------------------------------

  void AttachHost(HostSink* sink) { mHost.store(sink, std::memory_order_release); }
  void SetSampleRateAndBlockSize(double sampleRate, int maxBlockSize);
  void SetChannelConnections(int nInputs, int nOutputs);
  /// Host-driven change: sets the parameter (constrained) and calls OnParamChange.
  void SetParameterFromHost(int idx, double plain);

 private:
  InstanceInfo mInfo;
  Config mConfig;
  std::vector<IParam> mParams;
  std::atomic<HostSink*> mHost{nullptr};
  std::atomic<double> mSampleRate{44100.0};
  std::atomic<int> mBlockSize{1024};
  std::atomic<int> mInChansConnected{0};
  std::atomic<int> mOutChansConnected{0};
  std::atomic<int> mEditorWidth{0};
  std::atomic<int> mEditorHeight{0};
  std::atomic<int> mLatency{0};
};

}  // namespace plinth
