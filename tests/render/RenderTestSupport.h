#pragma once
// Helpers for the quellbridge-render tests: running the built tool as a
// subprocess, scratch folders, audio files and per-band energies.

#include <string>
#include <utility>
#include <vector>

namespace qbtest {

struct ToolRun {
  int status = -1;  // exit status, or -1 when the tool did not exit normally
  std::string out;  // stdout
  std::string err;  // stderr
};

// Runs the built tool with these arguments; env entries are set (an empty
// value removes the variable) on top of the test's own environment.
ToolRun RunTool(const std::vector<std::string>& args,
                const std::vector<std::pair<std::string, std::string>>& env = {});

// The module arguments for the build tree's module of a format ("clap"/"vst3").
std::vector<std::string> ModuleArgs(const std::string& format);

// A scratch folder removed with everything in it.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  const std::string& Path() const { return mPath; }
  std::string operator/(const std::string& name) const { return mPath + "/" + name; }

 private:
  std::string mPath;
};

// Every file below folder (relative paths, sorted); empty when it does not exist.
std::vector<std::string> FilesBelow(const std::string& folder);
bool Exists(const std::string& path);

struct Audio {
  double sampleRate = 0.0;
  std::vector<std::vector<float>> channels;
  size_t Frames() const { return channels.empty() ? 0 : channels[0].size(); }
};

bool ReadAudio(const std::string& path, Audio& audio);
// Writes a 32-bit float WAV.
void WriteWav(const std::string& path, const Audio& audio);

// Deterministic test material: noise-like and tonal content over the whole band.
Audio TestMaterial(double sampleRate, double seconds, int channels, unsigned seed);

// Energy of the mono mix in f < lowEdge, lowEdge <= f < highEdge, f >= highEdge (STFT, Hann).
std::vector<double> BandEnergies(const Audio& audio, double lowEdge, double highEdge);

}  // namespace qbtest
