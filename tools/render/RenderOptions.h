#pragma once
// The command line of quellbridge-render: what to render, with which module
// and settings, and where the results go.

#include <optional>
#include <string>
#include <vector>

#include "HostedPlugin.h"

namespace qbrender {

// One NAME=VALUE setting as typed; checked against the module's parameter
// list once the module is loaded.
struct ParamAssignment {
  std::string name;
  std::string value;
};

struct RenderOptions {
  // Input files; both empty: render the built-in demo.
  std::string trackPath;
  std::string keyPath;

  std::vector<ParamAssignment> params;     // both instances
  std::vector<ParamAssignment> keyParams;  // the key's instance, applied after params
  bool listParams = false;

  int bandCount = 3;
  std::vector<double> edges;  // empty: taken from FreqLow / FreqHigh

  std::optional<qbhost::Format> format;  // unset: CLAP, or what --module names
  std::string modulePath;                // empty: the installed module, then the build tree's

  int blockSize = 512;
  double pairTimeoutSeconds = 10.0;
  bool allowUnpaired = false;
  double demoSeconds = 6.0;
  bool demoSecondsGiven = false;

  std::string outDir;         // empty: the current folder, the demo folder for the demo
  std::string outputName;     // processed track; empty: the default name
  std::string keyOutputName;  // processed key; empty: not written
  std::string plotName;       // figure; empty: none (the demo's default figure aside)
  bool noPlot = false;

  bool quiet = false;
  bool help = false;

  bool Demo() const { return trackPath.empty() && keyPath.empty(); }
};

inline constexpr int kMinBlockSize = 1;
inline constexpr int kMaxBlockSize = 8192;
inline constexpr double kMaxDemoSeconds = 120.0;
inline constexpr double kMaxPairTimeoutSeconds = 600.0;

// Parses the arguments after the program name. Returns false with a
// one-line message in error when the command line is malformed.
bool ParseRenderOptions(const std::vector<std::string>& args, RenderOptions& options, std::string& error);

// The --help text.
std::string UsageText();

}  // namespace qbrender
