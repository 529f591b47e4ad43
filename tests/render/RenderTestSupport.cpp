#include "RenderTestSupport.h"

#include <dirent.h>
#include <fcntl.h>
#include <fftw3.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>

extern char** environ;

namespace qbtest {
namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace

ToolRun RunTool(const std::vector<std::string>& args, const std::vector<std::pair<std::string, std::string>>& env) {
  ScratchDir capture;
  const std::string outPath = capture / "stdout", errPath = capture / "stderr";

  std::vector<std::string> environment;
  for (char** e = environ; *e; ++e) {
    const std::string entry = *e;
    const std::string name = entry.substr(0, entry.find('='));
    const bool overridden = std::any_of(env.begin(), env.end(), [&](const auto& kv) { return kv.first == name; });
    if (!overridden) environment.push_back(entry);
  }
  for (const auto& [name, value] : env)
    if (!value.empty()) environment.push_back(name + "=" + value);

  std::vector<std::string> argv = {QB_RENDER_TOOL_PATH};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> cargv, cenv;
  for (std::string& a : argv) cargv.push_back(a.data());
  cargv.push_back(nullptr);
  for (std::string& e : environment) cenv.push_back(e.data());
  cenv.push_back(nullptr);

  ToolRun run;
  const pid_t pid = fork();
  if (pid == 0) {
    const int in = open("/dev/null", O_RDONLY);
    const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (in < 0 || out < 0 || err < 0) _exit(126);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    execve(cargv[0], cargv.data(), cenv.data());
    _exit(127);
  }
  if (pid < 0) return run;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run.out = ReadFile(outPath);
  run.err = ReadFile(errPath);
  return run;
}

std::vector<std::string> ModuleArgs(const std::string& format) {
  return {"--format", format, "--module", format == "vst3" ? QB_VST3_BUNDLE_PATH : QB_CLAP_MODULE_PATH};
}

ScratchDir::ScratchDir() {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/qb-render-test-XXXXXX";
  if (mkdtemp(pattern.data())) mPath = pattern;
}

ScratchDir::~ScratchDir() {
  if (mPath.empty()) return;
  std::function<void(const std::string&)> remove = [&remove](const std::string& path) {
    if (DIR* d = opendir(path.c_str())) {
      while (dirent* e = readdir(d)) {
        const std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        const std::string child = path + "/" + name;
        struct stat st {};
        if (lstat(child.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
          remove(child);
        else
          unlink(child.c_str());
      }
      closedir(d);
    }
    rmdir(path.c_str());
  };
  remove(mPath);
}

std::vector<std::string> FilesBelow(const std::string& folder) {
  std::vector<std::string> out;
  std::function<void(const std::string&, const std::string&)> walk = [&](const std::string& path,
                                                                        const std::string& prefix) {
    DIR* d = opendir(path.c_str());
    if (!d) return;
    while (dirent* e = readdir(d)) {
      const std::string name = e->d_name;
      if (name == "." || name == "..") continue;
      struct stat st {};
      const std::string child = path + "/" + name;
      if (lstat(child.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        walk(child, prefix + name + "/");
      else
        out.push_back(prefix + name);
    }
    closedir(d);
  };
  walk(folder, "");
  std::sort(out.begin(), out.end());
  return out;
}

bool Exists(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0;
}

bool ReadAudio(const std::string& path, Audio& audio) {
  SF_INFO info{};
  SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
  if (!f) return false;
  std::vector<float> interleaved(static_cast<size_t>(info.frames) * static_cast<size_t>(info.channels));
  const sf_count_t got = sf_readf_float(f, interleaved.data(), info.frames);
  sf_close(f);
  if (got != info.frames) return false;
  audio.sampleRate = info.samplerate;
  audio.channels.assign(static_cast<size_t>(info.channels), std::vector<float>(static_cast<size_t>(info.frames)));
  for (size_t i = 0; i < static_cast<size_t>(info.frames); ++i)
    for (size_t c = 0; c < audio.channels.size(); ++c) audio.channels[c][i] = interleaved[i * audio.channels.size() + c];
  return true;
}

void WriteWav(const std::string& path, const Audio& audio) {
  SF_INFO info{};
  info.samplerate = static_cast<int>(audio.sampleRate);
  info.channels = static_cast<int>(audio.channels.size());
  info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
  SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
  if (!f) return;
  std::vector<float> interleaved(audio.Frames() * audio.channels.size());
  for (size_t i = 0; i < audio.Frames(); ++i)
    for (size_t c = 0; c < audio.channels.size(); ++c) interleaved[i * audio.channels.size() + c] = audio.channels[c][i];
  sf_writef_float(f, interleaved.data(), static_cast<sf_count_t>(audio.Frames()));
  sf_close(f);
}

Audio TestMaterial(double sampleRate, double seconds, int channels, unsigned seed) {
  Audio a;
  a.sampleRate = sampleRate;
  const size_t n = static_cast<size_t>(seconds * sampleRate);
  uint64_t state = 0x9E3779B97F4A7C15ULL ^ seed;
  auto noise = [&state] {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return static_cast<double>(state >> 11) / 9007199254740992.0 * 2.0 - 1.0;
  };
  for (int c = 0; c < channels; ++c) {
    std::vector<float> ch(n);
    const double base = 60.0 * (1 + seed % 5) * (1 + 0.25 * c);
    for (size_t i = 0; i < n; ++i) {
      const double t = i / sampleRate;
      const double tones = 0.2 * std::sin(2 * M_PI * base * t) + 0.1 * std::sin(2 * M_PI * base * 7.3 * t) +
                           0.05 * std::sin(2 * M_PI * 9000.0 * t + c);
      ch[i] = static_cast<float>(tones + 0.1 * noise());
    }
    a.channels.push_back(std::move(ch));
  }
  return a;
}

std::vector<double> BandEnergies(const Audio& audio, double lowEdge, double highEdge) {
  constexpr int kSize = 4096;
  std::vector<double> energy(3, 0.0);
  float* in = fftwf_alloc_real(kSize);
  fftwf_complex* out = fftwf_alloc_complex(kSize / 2 + 1);
  fftwf_plan plan = fftwf_plan_dft_r2c_1d(kSize, in, out, FFTW_ESTIMATE);
  const size_t frames = audio.Frames();
  for (size_t start = 0; start + kSize <= frames; start += kSize / 2) {
    for (int i = 0; i < kSize; ++i) {
      double mono = 0.0;
      for (const auto& ch : audio.channels) mono += ch[start + static_cast<size_t>(i)];
      mono /= static_cast<double>(audio.channels.size());
      in[i] = static_cast<float>(mono * 0.5 * (1.0 - std::cos(2.0 * M_PI * i / kSize)));
    }
    fftwf_execute(plan);
    for (int k = 1; k <= kSize / 2; ++k) {
      const double f = k * audio.sampleRate / kSize;
      const double e = static_cast<double>(out[k][0]) * out[k][0] + static_cast<double>(out[k][1]) * out[k][1];
      energy[f < lowEdge ? 0 : f >= highEdge ? 2 : 1] += e;
    }
  }
  fftwf_destroy_plan(plan);
  fftwf_free(out);
  fftwf_free(in);
  return energy;
}

}  // namespace qbtest
