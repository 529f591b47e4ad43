#pragma once
// A small, format-neutral host for loading our modules the way Linux hosts do
// (dlopen, entry points, factory, instance lifecycle, audio and parameter
// traffic, state). Used by the renderer and by the test harnesses.
//
// Threading: every call is made from the thread that loaded the module (the
// "main" thread) except Process*, which the caller may run on another thread
// (its "audio" thread), as hosts do.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace qbhost {

enum class Format { Clap, Vst3 };

struct ParamInfo {
  uint32_t id = 0;
  std::string name;
  std::string label;  // units
  double minValue = 0.0;
  double maxValue = 1.0;
  double defaultValue = 0.0;  // plain
  int stepCount = 0;          // 0 = continuous
  bool isBypass = false;      // the format's host-bypass parameter
  bool automatable = false;
};

struct PluginIdentity {
  std::string id;  // CLAP id, or the VST3 class id as 32 upper-case hex digits
  std::string name;
  std::string vendor;
  std::string version;
  std::string category;  // CLAP features joined by "|", VST3 sub-categories
};

class HostedInstance {
 public:
  virtual ~HostedInstance() = default;

  // Prepares for processing at sampleRate with blocks of at most maxBlockSize
  // (VST3: setupProcessing + setActive(true) + setProcessing(true);
  // CLAP: activate + start_processing on the calling thread). sideChain
  // connects the second stereo input.
  virtual bool Activate(double sampleRate, int maxBlockSize, bool sideChain = false) = 0;
  virtual void Deactivate() = 0;

  // One block. in: main stereo pair then, when the side chain is active, its
  // pair; out: stereo pair (or one channel when monoOutput was requested
  // through SetMonoOutput before Activate, VST3 only). 64-bit samples.
  virtual bool Process(const double* const* in, int nIn, double* const* out, int nOut, int nFrames) = 0;
  // The same in 32-bit samples.
  virtual bool ProcessFloat(const float* const* in, int nIn, float* const* out, int nOut, int nFrames) = 0;

  virtual std::vector<ParamInfo> Params() = 0;
  // Plain values. SetParam queues the change; it reaches the plug-in before
  // the next Process (or at once through a flush when not processing).
  virtual double GetParam(uint32_t id) = 0;
  virtual void SetParam(uint32_t id, double plain) = 0;
  virtual std::string ValueToText(uint32_t id, double plain) = 0;
  virtual bool TextToValue(uint32_t id, const std::string& text, double& plainOut) = 0;

  virtual bool SaveState(std::vector<uint8_t>& out) = 0;
  virtual bool LoadState(const std::vector<uint8_t>& in) = 0;

  virtual int Latency() = 0;
  // How often the plug-in told the host that its latency changed.
  virtual int LatencyChangeNotifications() = 0;
  // Parameter changes the plug-in itself reported to the host: id and plain value.
  virtual std::vector<std::pair<uint32_t, double>> TakeParamChangesFromPlugin() = 0;
  // Runs pending main-thread work the plug-in asked for (CLAP request_callback,
  // VST3 run-loop timers): call periodically from the main thread.
  virtual void Idle() = 0;
};

class HostedModule {
 public:
  virtual ~HostedModule() = default;
  virtual Format GetFormat() const = 0;
  virtual const std::string& Path() const = 0;
  // Every plug-in the module's factory lists.
  virtual std::vector<PluginIdentity> Plugins() = 0;
  // Creates an instance of plug-in `index`; null on failure.
  virtual std::unique_ptr<HostedInstance> CreateInstance(int index = 0) = 0;
};

// Loads a module: a .clap file, or a .vst3 bundle directory (or the .so inside
// it). Returns null and fills error on failure.
std::unique_ptr<HostedModule> LoadModule(const std::string& path, Format format, std::string& error);
std::unique_ptr<HostedModule> LoadClapModule(const std::string& path, std::string& error);
std::unique_ptr<HostedModule> LoadVst3Module(const std::string& path, std::string& error);

}  // namespace qbhost
