#pragma once
// The figure. While rendering, the tool records the track's mono mix before
// and after processing and the gain-reduction readings into a scratch
// folder; quellbridge-render-plot.py then draws spectrograms and the gain
// reduction per band with matplotlib.

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "AudioFiles.h"
#include "BandLayout.h"
#include "GainReductionLog.h"

namespace qbrender {

// QUELLBRIDGE_RENDER_PYTHON when set, else /usr/bin/python3 (named
// explicitly: another python3 first on PATH may lack matplotlib).
std::string PythonInterpreter();
// Whether that interpreter can import matplotlib; the reason when not.
bool MatplotlibAvailable(const std::string& python, std::string& reason);
// The plot script beside the executable (build tree and installation alike),
// else in the source tree. "" with a message when there is none.
std::string FindPlotScript(std::string& error);

struct PlotDescription {
  double sampleRate = 0.0;
  std::string title;
  std::vector<ReportedBand> bands;
};

class PlotRecorder {
 public:
  static std::unique_ptr<PlotRecorder> Create(std::string& error);
  ~PlotRecorder();  // removes the scratch folder
  PlotRecorder(const PlotRecorder&) = delete;
  PlotRecorder& operator=(const PlotRecorder&) = delete;

  // The track's mono mix before and after processing go here.
  FrameSink& Before();
  FrameSink& After();
  // Runs the script to write the figure (PNG) to pngPath.
  bool Draw(const std::string& python, const std::string& script, const std::string& pngPath,
            const PlotDescription& description, const GainReductionLog& log, std::string& error);

 private:
  class MonoRecording;
  PlotRecorder() = default;
  std::string mFolder;
  std::unique_ptr<MonoRecording> mBefore, mAfter;
};

// Runs argv[0] with arguments, stdout and stderr into outputPath (or
// /dev/null when empty). Returns the exit status, or -1 with the reason
// when it could not be started or was killed.
int RunProgram(const std::vector<std::string>& argv, const std::string& outputPath, std::string& error);

}  // namespace qbrender
