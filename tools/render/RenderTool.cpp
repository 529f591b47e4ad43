#include "RenderTool.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <optional>

#include "AudioFiles.h"
#include "BandLayout.h"
#include "DemoSignals.h"
#include "GainReductionLog.h"
#include "Interruption.h"
#include "ModuleLocator.h"
#include "OutputFiles.h"
#include "PairingCheck.h"
#include "ParameterSettings.h"
#include "PlotRunner.h"
#include "ProgressBar.h"
#include "RenderOptions.h"
#include "RenderSession.h"

namespace qbrender {
namespace {

constexpr const char* kProgram = "quellbridge-render";
constexpr const char* kDemoFolder = "quellbridge-demo";

int Fail(const std::string& message) {
  if (Interrupted()) {
    std::fprintf(stderr, "%s: interrupted; nothing was written\n", kProgram);
    return kExitInterrupted;
  }
  std::fprintf(stderr, "%s: %s\n", kProgram, message.c_str());
  return kExitFailed;
}

int UsageError(const std::string& message) {
  std::fprintf(stderr, "%s: %s\nTry '%s --help'.\n", kProgram, message.c_str(), kProgram);
  return kExitUsage;
}

// Messages that do not stop the run; quiet drops them.
class Notes {
 public:
  explicit Notes(bool quiet) : mQuiet(quiet) {}
  void Warn(const std::string& message) {
    if (mQuiet || std::find(mSeen.begin(), mSeen.end(), message) != mSeen.end()) return;
    mSeen.push_back(message);
    std::fprintf(stderr, "%s: warning: %s\n", kProgram, message.c_str());
  }

 private:
  bool mQuiet;
  std::vector<std::string> mSeen;
};

std::string Stem(const std::string& path) {
  const size_t slash = path.rfind('/');
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  const size_t dot = name.rfind('.');
  if (dot != std::string::npos && dot > 0) name.resize(dot);
  return name.empty() ? "track" : name;
}

std::string Fixed(double v, int decimals) {
  char buf[48];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
  return buf;
}

std::string Hz(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%g", v);
  return buf;
}

// An audio file being written: its final path and its writer.
struct AudioOutput {
  std::string path;
  std::unique_ptr<SoundFileSink> sink;
};

bool OpenAudioOutput(PendingOutputs& pending, const std::string& path, double sampleRate, AudioOutput& out,
                     std::string& error) {
  OutputType type;
  if (!OutputTypeFor(path, type, error)) return false;
  const int fd = pending.Create(path, error);
  if (fd < 0) return false;
  out.path = path;
  out.sink = SoundFileSink::OpenFd(fd, type, sampleRate, error);
  if (!out.sink) error = "cannot write '" + path + "': " + error;
  return out.sink != nullptr;
}

bool CloseAudioOutput(AudioOutput& out, std::string& error) {
  if (!out.sink) return true;
  if (out.sink->Close(error)) return true;
  error = "cannot write '" + out.path + "': " + error;
  return false;
}

// The parameter values and band layout of one instance: the module's
// defaults, the demo's settings (for the demo), the shared settings, then
// the instance's own.
bool ResolveInstance(const ParameterTable& table, const RenderOptions& o, const std::vector<ParamAssignment>& own,
                     InstanceSetup& setup, std::vector<std::string>& warnings, std::string& error) {
  setup.params = table.Defaults();
  std::vector<bool> explicitlySet;
  if (o.Demo()) {
    if (!ApplyAssignments(table, DemoParameterPresets(), setup.params, explicitlySet, error)) return false;
    explicitlySet.assign(explicitlySet.size(), false);
  }
  if (!ApplyAssignments(table, o.params, setup.params, explicitlySet, error) ||
      !ApplyAssignments(table, own, setup.params, explicitlySet, error))
    return false;
  return ResolveBandLayout(o.bandCount, o.edges, table, explicitlySet, setup.params, setup.bands, warnings, error);
}

void PrintSummary(const std::string& description, qbhost::Format format, const std::string& modulePath,
                  const PairingState& pairing, bool paired, const RenderSession& session, double seconds,
                  double sampleRate, int blockSize, const BandLayout& bands, const GainReductionLog& log,
                  const std::vector<std::string>& written) {
  std::printf("Module:   %s (%s), %s\n", description.c_str(), FormatName(format).c_str(), modulePath.c_str());
  if (paired) {
    const SlotSnapshot& t = *pairing.track;
    const SlotSnapshot& k = *pairing.key;
    std::printf("Pairing:  %s (slot %d, id %s) <-> %s (slot %d, id %s): paired\n", PrintableName(t.name).c_str(),
                t.index, InstanceIdText(t.instanceId).c_str(), PrintableName(k.name).c_str(), k.index,
                InstanceIdText(k.instanceId).c_str());
  } else {
    std::printf("Pairing:  not paired (%s); the output is not ducked\n", pairing.problem.c_str());
  }
  if (session.TrackLatency() == session.KeyLatency())
    std::printf("Latency:  %d samples, compensated\n", session.TrackLatency());
  else
    std::printf("Latency:  track %d, key %d samples, compensated\n", session.TrackLatency(), session.KeyLatency());
  std::printf("Rendered: %s s at %s Hz in blocks of %d\n", Fixed(seconds, 2).c_str(), Hz(sampleRate).c_str(),
              blockSize);
  if (paired) {
    std::printf("Gain reduction of the track, mean / peak:\n");
    for (const ReportedBand& b : ReportedBands(bands)) {
      const GainReductionSummary s = log.Summarize(b.gainReductionIndex, seconds);
      const std::string range = Hz(b.lo) + " - " + Hz(b.hi) + " Hz";
      std::printf("  %-5s %-17s %6s dB / %6s dB\n", b.name.c_str(), range.c_str(), Fixed(s.meanDb, 2).c_str(),
                  Fixed(s.peakDb, 2).c_str());
    }
  }
  std::printf("Wrote:\n");
  for (const std::string& path : written) std::printf("  %s\n", path.c_str());
}

}  // namespace

int RunRenderTool(const std::vector<std::string>& args) {
  RenderOptions o;
  std::string error;
  if (!ParseRenderOptions(args, o, error)) return UsageError(error);
  if (o.help) {
    std::fputs(UsageText().c_str(), stdout);
    return kExitOk;
  }
  InstallInterruptHandlers();
  Notes notes(o.quiet);

  const qbhost::Format format = o.format.value_or(qbhost::Format::Clap);
  std::string modulePath = o.modulePath;
  if (modulePath.empty() && (modulePath = LocateModule(format, error)).empty()) return Fail(error);

  if (o.listParams) {
    auto session = RenderSession::Create(format, modulePath, error);
    if (!session) return Fail(error);
    std::printf("Parameters of %s (%s, %s):\n%s", session->PluginDescription().c_str(), FormatName(format).c_str(),
                modulePath.c_str(), session->Table().Listing().c_str());
    return kExitOk;
  }

  // ---- Inputs ----
  // The demo is synthesized once the instances are paired: failures come first.
  const bool demo = o.Demo();
  std::unique_ptr<StereoSource> track, key;
  if (!demo) {
    auto trackFile = SoundFileSource::Open(o.trackPath, error);
    if (!trackFile) return Fail(error);
    auto keyFile = SoundFileSource::Open(o.keyPath, error);
    if (!keyFile) return Fail(error);
    if (trackFile->SampleRate() != keyFile->SampleRate())
      return Fail("the track and the key have different sample rates: '" + o.trackPath + "' is " +
                  Hz(trackFile->SampleRate()) + " Hz, '" + o.keyPath + "' is " + Hz(keyFile->SampleRate()) +
                  " Hz; resample one of them");
    for (const SoundFileSource* f : {trackFile.get(), keyFile.get()})
      if (f->Channels() > 2)
        notes.Warn("'" + f->Path() + "' has " + std::to_string(f->Channels()) + " channels; using the first two");
    track = std::move(trackFile);
    key = std::move(keyFile);
  }
  const double sampleRate = demo ? kDemoSampleRate : track->SampleRate();
  const double seconds =
      demo ? std::llround(o.demoSeconds * sampleRate) / sampleRate : static_cast<double>(track->Frames()) / sampleRate;

  // ---- Where the results go ----
  const std::string outDir = !o.outDir.empty() ? o.outDir : demo ? kDemoFolder : ".";
  const std::string trackOutPath =
      OutputPath(outDir, !o.outputName.empty() ? o.outputName : demo ? "demo-ducked.wav" : Stem(o.trackPath) + "-ducked.wav");
  const std::string keyOutPath = o.keyOutputName.empty() ? "" : OutputPath(outDir, o.keyOutputName);
  const std::string demoTrackPath = demo ? OutputPath(outDir, "demo-track.wav") : "";
  const std::string demoKeyPath = demo ? OutputPath(outDir, "demo-key.wav") : "";
  const bool plotRequested = !o.plotName.empty();
  const std::string plotPath =
      plotRequested ? OutputPath(outDir, o.plotName) : demo && !o.noPlot ? OutputPath(outDir, "demo-plot.png") : "";
  for (const std::string& path : {trackOutPath, keyOutPath}) {
    OutputType type;
    if (!path.empty() && !OutputTypeFor(path, type, error)) return UsageError(error);
    for (const std::string& input : {o.trackPath, o.keyPath})
      if (!path.empty() && !input.empty() && SameFile(path, input))
        return Fail("refusing to overwrite the input '" + input + "' with an output");
  }

  std::string python, plotScript;
  bool drawPlot = !plotPath.empty();
  if (drawPlot) {
    python = PythonInterpreter();
    std::string reason;
    if (!MatplotlibAvailable(python, reason) || (plotScript = FindPlotScript(reason)).empty()) {
      if (plotRequested) return Fail("cannot draw '" + plotPath + "': " + reason);
      notes.Warn("no figure: " + reason);
      drawPlot = false;
    }
  }

  // ---- The module and its two instances ----
  auto session = RenderSession::Create(format, modulePath, error);
  if (!session) return Fail(error);
  std::vector<std::string> warnings;
  const std::string pid = std::to_string(static_cast<long>(getpid()));
  InstanceSetup trackSetup, keySetup;
  trackSetup.name = "Track-" + pid;
  keySetup.name = "Key-" + pid;
  if (!ResolveInstance(session->Table(), o, {}, trackSetup, warnings, error) ||
      !ResolveInstance(session->Table(), o, o.keyParams, keySetup, warnings, error))
    return UsageError(error);
  if (!session->Prepare(trackSetup, keySetup, sampleRate, o.blockSize, o.allowUnpaired, warnings, error))
    return Fail(error);
  for (const std::string& w : warnings) notes.Warn(w);

  PairingState pairing;
  bool paired = false;
  if (session->StatesWritten()) {
    paired = session->WaitForPairing(o.pairTimeoutSeconds, o.quiet, pairing, error);
    if (!paired && (!o.allowUnpaired || Interrupted())) return Fail(error);
  } else {
    error = "the states could not carry the pairing";
  }
  if (!paired) {
    pairing.problem = error;
    notes.Warn(error + "; rendering unpaired, the output is not ducked");
  }

  // ---- Outputs, under temporary names until everything succeeded ----
  PendingOutputs pending;
  AudioOutput demoTrackOut, demoKeyOut, trackOut, keyOut;
  if (demo) {
    DemoMaterial material = SynthesizeDemo(o.demoSeconds);
    BufferSource padCopy(material.trackLeft, material.trackRight, sampleRate);
    BufferSource beatCopy(material.keyLeft, material.keyRight, sampleRate);
    if (!OpenAudioOutput(pending, demoTrackPath, sampleRate, demoTrackOut, error) ||
        !CopyAll(padCopy, *demoTrackOut.sink, error) || !CloseAudioOutput(demoTrackOut, error) ||
        !OpenAudioOutput(pending, demoKeyPath, sampleRate, demoKeyOut, error) ||
        !CopyAll(beatCopy, *demoKeyOut.sink, error) || !CloseAudioOutput(demoKeyOut, error))
      return Fail(error);
    track = std::make_unique<BufferSource>(std::move(material.trackLeft), std::move(material.trackRight), sampleRate);
    key = std::make_unique<BufferSource>(std::move(material.keyLeft), std::move(material.keyRight), sampleRate);
  }
  if (!OpenAudioOutput(pending, trackOutPath, sampleRate, trackOut, error)) return Fail(error);
  if (!keyOutPath.empty() && !OpenAudioOutput(pending, keyOutPath, sampleRate, keyOut, error)) return Fail(error);

  std::unique_ptr<PlotRecorder> recorder;
  if (drawPlot) {
    const int fd = pending.Create(plotPath, error);
    if (fd < 0) return Fail(error);
    close(fd);  // the plot script writes the temporary by name
    recorder = PlotRecorder::Create(error);
    if (!recorder) return Fail(error);
  }

  RenderTargets targets;
  targets.trackOut = trackOut.sink.get();
  targets.keyOut = keyOut.sink.get();
  if (recorder) {
    targets.trackIn = &recorder->Before();
    targets.trackOut2 = &recorder->After();
  }
  GainReductionLog log;
  ProgressBar progress(!o.quiet, "Rendering");
  if (!session->Render(*track, *key, targets, paired, log, progress, error)) return Fail(error);
  if (!CloseAudioOutput(trackOut, error) || !CloseAudioOutput(keyOut, error)) return Fail(error);

  if (recorder) {
    PlotDescription description;
    description.sampleRate = sampleRate;
    description.title = demo ? "Quellbridge demo: a pad ducked by a beat"
                              : "Quellbridge: " + Stem(o.trackPath) + " ducked by " + Stem(o.keyPath);
    description.bands = paired ? ReportedBands(trackSetup.bands) : std::vector<ReportedBand>{};
    if (!recorder->Draw(python, plotScript, pending.TemporaryPath(plotPath), description, log, error)) {
      if (plotRequested) return Fail("cannot draw '" + plotPath + "': " + error);
      notes.Warn("no figure: " + error);
      pending.Discard(plotPath);
    }
  }
  if (!pending.CommitAll(error)) return Fail(error);

  if (!o.quiet)
    PrintSummary(session->PluginDescription(), format, modulePath, pairing, paired, *session, seconds, sampleRate,
                 o.blockSize, trackSetup.bands, log, pending.Committed());
  return kExitOk;
}

}  // namespace qbrender
