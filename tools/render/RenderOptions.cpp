#include "RenderOptions.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>

namespace qbrender {
namespace {

bool ParseDouble(const std::string& text, double& out) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  const double v = std::strtod(text.c_str(), &end);
  if (errno != 0 || end != text.c_str() + text.size() || !std::isfinite(v)) return false;
  out = v;
  return true;
}

bool ParseInt(const std::string& text, long lo, long hi, int& out) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  const long v = std::strtol(text.c_str(), &end, 10);
  if (errno != 0 || end != text.c_str() + text.size() || v < lo || v > hi) return false;
  out = static_cast<int>(v);
  return true;
}

// "NAME=VALUE" with a non-empty name that cannot be a path.
bool SplitAssignment(const std::string& text, ParamAssignment& out) {
  const size_t eq = text.find('=');
  if (eq == std::string::npos || eq == 0 || text.find('/') < eq) return false;
  out.name = text.substr(0, eq);
  out.value = text.substr(eq + 1);
  return true;
}

std::string FormatNumber(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%g", v);
  return buf;
}

}  // namespace

bool ParseRenderOptions(const std::vector<std::string>& args, RenderOptions& o, std::string& error) {
  std::vector<std::string> files;
  bool formatGiven = false;

  // Options that take a value, by every spelling.
  using Handler = std::function<bool(const std::string& flag, const std::string& value)>;
  auto badValue = [&error](const std::string& flag, const std::string& value, const std::string& expected) {
    error = "invalid value '" + value + "' for " + flag + ": expected " + expected;
    return false;
  };
  const std::map<std::string, Handler> valued = {
      {"--param",
       [&](const std::string& flag, const std::string& v) {
         ParamAssignment a;
         if (!SplitAssignment(v, a)) return badValue(flag, v, "NAME=VALUE");
         o.params.push_back(a);
         return true;
       }},
      {"--key-param",
       [&](const std::string& flag, const std::string& v) {
         ParamAssignment a;
         if (!SplitAssignment(v, a)) return badValue(flag, v, "NAME=VALUE");
         o.keyParams.push_back(a);
         return true;
       }},
      {"--bands",
       [&](const std::string& flag, const std::string& v) {
         return ParseInt(v, 1, 3, o.bandCount) || badValue(flag, v, "1, 2 or 3");
       }},
      {"--edges",
       [&](const std::string& flag, const std::string& v) {
         o.edges.clear();
         size_t start = 0;
         while (true) {
           const size_t comma = v.find(',', start);
           double edge = 0.0;
           if (!ParseDouble(v.substr(start, comma - start), edge))
             return badValue(flag, v, "one or two frequencies in Hz, separated by a comma");
           o.edges.push_back(edge);
           if (comma == std::string::npos) break;
           start = comma + 1;
         }
         if (o.edges.size() > 2) return badValue(flag, v, "one or two frequencies in Hz, separated by a comma");
         return true;
       }},
      {"--format",
       [&](const std::string& flag, const std::string& v) {
         formatGiven = true;
         if (v == "clap") {
           o.format = qbhost::Format::Clap;
         } else if (v == "vst3") {
           o.format = qbhost::Format::Vst3;
         } else {
           return badValue(flag, v, "clap or vst3");
         }
         return true;
       }},
      {"--module",
       [&](const std::string& flag, const std::string& v) {
         if (v.empty()) return badValue(flag, v, "a path");
         o.modulePath = v;
         return true;
       }},
      {"--block-size",
       [&](const std::string& flag, const std::string& v) {
         return ParseInt(v, kMinBlockSize, kMaxBlockSize, o.blockSize) ||
                badValue(flag, v, "a whole number from " + std::to_string(kMinBlockSize) + " to " +
                                      std::to_string(kMaxBlockSize));
       }},
      {"--pair-timeout",
       [&](const std::string& flag, const std::string& v) {
         double s = 0.0;
         if (!ParseDouble(v, s) || s <= 0.0 || s > kMaxPairTimeoutSeconds)
           return badValue(flag, v, "seconds, more than 0 and at most " + FormatNumber(kMaxPairTimeoutSeconds));
         o.pairTimeoutSeconds = s;
         return true;
       }},
      {"--demo-seconds",
       [&](const std::string& flag, const std::string& v) {
         double s = 0.0;
         if (!ParseDouble(v, s) || s < 0.5 || s > kMaxDemoSeconds)
           return badValue(flag, v, "seconds from 0.5 to " + FormatNumber(kMaxDemoSeconds));
         o.demoSeconds = s;
         o.demoSecondsGiven = true;
         return true;
       }},
      {"--out-dir",
       [&](const std::string& flag, const std::string& v) {
         if (v.empty()) return badValue(flag, v, "a folder");
         o.outDir = v;
         return true;
       }},
      {"--output",
       [&](const std::string& flag, const std::string& v) {
         if (v.empty()) return badValue(flag, v, "a file name");
         o.outputName = v;
         return true;
       }},
      {"--key-output",
       [&](const std::string& flag, const std::string& v) {
         if (v.empty()) return badValue(flag, v, "a file name");
         o.keyOutputName = v;
         return true;
       }},
      {"--plot",
       [&](const std::string& flag, const std::string& v) {
         std::string lower = v;
         for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
         if (lower.size() < 5 || lower.compare(lower.size() - 4, 4, ".png") != 0)
           return badValue(flag, v, "a file name ending in .png");
         o.plotName = v;
         return true;
       }},
  };
  const std::map<std::string, std::string> shortValued = {
      {"-p", "--param"}, {"-d", "--out-dir"}, {"-o", "--output"}, {"-b", "--bands"}, {"-f", "--format"}, {"-m", "--module"}};
  const std::map<std::string, std::function<void()>> flags = {
      {"--list-params", [&] { o.listParams = true; }},
      {"--allow-unpaired", [&] { o.allowUnpaired = true; }},
      {"--no-plot", [&] { o.noPlot = true; }},
      {"--quiet", [&] { o.quiet = true; }},
      {"-q", [&] { o.quiet = true; }},
      {"--help", [&] { o.help = true; }},
      {"-h", [&] { o.help = true; }},
  };

  bool optionsEnded = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (!optionsEnded && arg == "--") {
      optionsEnded = true;
      continue;
    }
    if (!optionsEnded && arg.size() > 1 && arg[0] == '-') {
      std::string name = arg;
      std::optional<std::string> inlineValue;
      if (arg.rfind("--", 0) == 0) {
        const size_t eq = arg.find('=');
        if (eq != std::string::npos) {
          name = arg.substr(0, eq);
          inlineValue = arg.substr(eq + 1);
        }
      }
      if (auto s = shortValued.find(name); s != shortValued.end()) name = s->second;
      if (auto f = flags.find(name); f != flags.end()) {
        if (inlineValue) {
          error = name + " takes no value";
          return false;
        }
        f->second();
        continue;
      }
      auto v = valued.find(name);
      if (v == valued.end()) {
        error = "unknown option " + arg + " (see --help)";
        return false;
      }
      std::string value;
      if (inlineValue) {
        value = *inlineValue;
      } else if (i + 1 < args.size()) {
        value = args[++i];
      } else {
        error = name + " needs a value";
        return false;
      }
      if (!v->second(name, value)) return false;
      continue;
    }
    ParamAssignment a;
    if (SplitAssignment(arg, a)) {
      o.params.push_back(a);
    } else {
      files.push_back(arg);
    }
  }
  if (o.help) return true;

  if (files.size() == 2) {
    o.trackPath = files[0];
    o.keyPath = files[1];
  } else if (!files.empty()) {
    error = files.size() == 1 ? "a key file is needed besides the track '" + files[0] +
                                    "' (give TRACK KEY, or no files for the demo)"
                              : "too many input files: give TRACK KEY, or no files for the demo";
    return false;
  }
  if (o.demoSecondsGiven && !o.Demo()) {
    error = "--demo-seconds applies only to the demo (no input files)";
    return false;
  }
  if (!o.edges.empty() && o.edges.size() != static_cast<size_t>(o.bandCount - 1)) {
    error = o.bandCount == 1 ? "--edges needs --bands 2 or 3: a single band has no edges"
                             : "--bands " + std::to_string(o.bandCount) + " takes " +
                                   (o.bandCount == 2 ? "one edge (--edges F)" : "two edges (--edges LOW,HIGH)");
    return false;
  }
  if (!o.plotName.empty() && o.noPlot) {
    error = "--plot and --no-plot contradict each other";
    return false;
  }
  if (!formatGiven && !o.modulePath.empty()) {
    std::string path = o.modulePath;
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    const bool vst3 = path.size() >= 5 && path.compare(path.size() - 5, 5, ".vst3") == 0;
    const bool insideVst3 = path.find(".vst3/") != std::string::npos;
    if (vst3 || insideVst3) o.format = qbhost::Format::Vst3;
  }
  return true;
}

std::string UsageText() {
  return R"(Usage: quellbridge-render [OPTIONS] [TRACK KEY] [NAME=VALUE ...]

Renders the audio file TRACK through a Quellbridge instance that is paired
with a second instance playing KEY, so the track is ducked bin by bin wherever
the key is loud, exactly as on two tracks of a host. Without TRACK and KEY it
renders a built-in demo: a sustained pad ducked by a beat.

Inputs are WAV, FLAC or AIFF files of any sample rate; track and key must
share one rate. A mono input plays on both channels; of an input with more
than two channels only the first two are used. Inputs of different lengths
are padded with silence. The outputs are stereo, as long as their inputs,
and line up with them sample for sample: the module's latency is compensated.

Plug-in parameters:
  NAME=VALUE, -p, --param NAME=VALUE
                        set a parameter on both instances, e.g. ThreshLow=-30
                        RatioLow=6 Attack=5 (names are not case sensitive)
      --key-param NAME=VALUE
                        set a parameter on the key's instance only
      --list-params     list the module's parameters with their ranges, then exit
  -b, --bands N         ducking bands, 1 to 3 (default 3). One band uses the
                        Low settings over the whole range, two bands the Low
                        and Mid settings
      --edges F[,F2]    band edges in Hz: one edge for two bands (20 to 2000),
                        two for three bands (20 to 2000, then 500 to 20000,
                        rising). They set FreqLow and FreqHigh (default
                        200,5000); FreqLow=/FreqHigh= may be given instead

Module:
  -f, --format FORMAT   clap or vst3 (default clap, or vst3 when --module names a
                        .vst3 bundle)
  -m, --module PATH     the module to load (default: the installed one,
                        ~/.clap/Quellbridge.clap or /usr/lib/clap/Quellbridge.clap,
                        ~/.vst3/Quellbridge.vst3 or /usr/lib/vst3/Quellbridge.vst3,
                        then the one in the build tree)

Rendering:
      --block-size N    samples per processing block, 1 to 8192 (default 512)
      --pair-timeout S  seconds to wait for the two instances to pair (default 10)
      --allow-unpaired  render even if the instances do not pair; the output is
                        then not ducked
      --demo-seconds S  length of the demo in seconds (default 6)

Output:
  -d, --out-dir DIR     folder for every file written (default: the current
                        folder; for the demo ./quellbridge-demo)
  -o, --output NAME     the processed track (default TRACK-ducked.wav; for the
                        demo demo-ducked.wav). .wav and .aiff are written as
                        32-bit float, .flac as 24-bit
      --key-output NAME also write the processed key (the pairing is mutual:
                        the key is ducked where the track is loud)
      --plot NAME.png   draw spectrograms of the track before and after and the
                        gain reduction per band over time (needs python3 with
                        matplotlib); the demo draws demo-plot.png by default
      --no-plot         no figure for the demo
  -q, --quiet           print nothing but errors
  -h, --help            this text

An argument holding '=' is a parameter setting; give a file whose name holds
'=' with its folder (./a=b.wav). Output names without a folder are placed in
the output folder. Files are written under temporary names and appear only
when the whole render succeeded.
The figure is drawn by /usr/bin/python3, or by the interpreter named in
QUELLBRIDGE_RENDER_PYTHON.

Exit status: 0 on success, 1 when the render failed, 2 for a malformed command line.
)";
}

}  // namespace qbrender
