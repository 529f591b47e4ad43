#include "PlotRunner.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

extern char** environ;

namespace qbrender {

class PlotRecorder::MonoRecording final : public FrameSink {
 public:
  explicit MonoRecording(std::FILE* file) : mFile(file) {}
  ~MonoRecording() override {
    if (mFile) std::fclose(mFile);
  }
  bool Write(const double* left, const double* right, int n, std::string& error) override {
    mBuffer.resize(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) mBuffer[static_cast<size_t>(i)] = static_cast<float>(0.5 * (left[i] + right[i]));
    if (std::fwrite(mBuffer.data(), sizeof(float), mBuffer.size(), mFile) != mBuffer.size()) {
      error = std::string("cannot record the figure's data: ") + std::strerror(errno);
      return false;
    }
    return true;
  }
  bool Close() {
    const bool ok = std::fclose(mFile) == 0;
    mFile = nullptr;
    return ok;
  }

 private:
  std::FILE* mFile;
  std::vector<float> mBuffer;
};

namespace {

std::string JsonString(const std::string& s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

std::string ExecutableFolder() {
  char buf[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return "";
  std::string path(buf, static_cast<size_t>(n));
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "" : path.substr(0, slash);
}

bool IsFile(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

std::string PythonInterpreter() {
  const char* chosen = std::getenv("QUELLBRIDGE_RENDER_PYTHON");
  return chosen && *chosen ? chosen : "/usr/bin/python3";
}

int RunProgram(const std::vector<std::string>& argv, const std::string& outputPath, std::string& error) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  const std::string out = outputPath.empty() ? "/dev/null" : outputPath;
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    error = "cannot run " + argv[0] + ": " + std::strerror(spawned);
    return -1;
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) {
      error = "lost track of " + argv[0] + ": " + std::strerror(errno);
      return -1;
    }
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  error = argv[0] + " was killed by signal " + std::to_string(WIFSIGNALED(status) ? WTERMSIG(status) : 0);
  return -1;
}

bool MatplotlibAvailable(const std::string& python, std::string& reason) {
  std::string error;
  const int status = RunProgram({python, "-c", "import matplotlib, numpy"}, "", error);
  if (status == 0) return true;
  reason = status < 0 ? error : python + " cannot import matplotlib (install python3-matplotlib)";
  return false;
}

std::string FindPlotScript(std::string& error) {
  const std::string name = "quellbridge-render-plot.py";
  const std::string folder = ExecutableFolder();
  const std::string candidates[] = {folder.empty() ? "" : folder + "/" + name, QB_RENDER_SOURCE_PLOT_SCRIPT};
  for (const std::string& c : candidates)
    if (!c.empty() && IsFile(c)) return c;
  error = "the plot script " + name + " is missing beside the executable";
  return "";
}

std::unique_ptr<PlotRecorder> PlotRecorder::Create(std::string& error) {
  const char* tmp = std::getenv("TMPDIR");
  std::string folder = std::string(tmp && *tmp ? tmp : "/tmp") + "/quellbridge-render-XXXXXX";
  if (!mkdtemp(folder.data())) {
    error = std::string("cannot create a scratch folder for the figure: ") + std::strerror(errno);
    return nullptr;
  }
  std::unique_ptr<PlotRecorder> r(new PlotRecorder);
  r->mFolder = folder;
  std::FILE* before = std::fopen((folder + "/before.f32").c_str(), "wb");
  std::FILE* after = std::fopen((folder + "/after.f32").c_str(), "wb");
  r->mBefore = std::make_unique<MonoRecording>(before);
  r->mAfter = std::make_unique<MonoRecording>(after);
  if (!before || !after) {
    error = std::string("cannot record the figure's data: ") + std::strerror(errno);
    return nullptr;
  }
  return r;
}

FrameSink& PlotRecorder::Before() { return *mBefore; }
FrameSink& PlotRecorder::After() { return *mAfter; }

PlotRecorder::~PlotRecorder() {
  mBefore.reset();
  mAfter.reset();
  for (const char* f : {"before.f32", "after.f32", "gain-reduction.f32", "figure.json", "plot.log"})
    unlink((mFolder + "/" + f).c_str());
  rmdir(mFolder.c_str());
}

bool PlotRecorder::Draw(const std::string& python, const std::string& script, const std::string& pngPath,
                        const PlotDescription& description, const GainReductionLog& log, std::string& error) {
  if (!mBefore->Close() || !mAfter->Close()) {
    error = "cannot record the figure's data";
    return false;
  }
  {
    std::ofstream gr(mFolder + "/gain-reduction.f32", std::ios::binary);
    for (const GainReductionReading& r : log.Readings()) {
      const float row[4] = {static_cast<float>(r.seconds), r.db[0], r.db[1], r.db[2]};
      gr.write(reinterpret_cast<const char*>(row), sizeof row);
    }
    std::ostringstream json;
    json << "{\n  \"sample_rate\": " << description.sampleRate << ",\n  \"title\": " << JsonString(description.title)
         << ",\n  \"bands\": [";
    for (size_t i = 0; i < description.bands.size(); ++i) {
      const ReportedBand& b = description.bands[i];
      json << (i ? ", " : "") << "{\"index\": " << b.gainReductionIndex << ", \"name\": " << JsonString(b.name)
           << ", \"lo\": " << b.lo << ", \"hi\": " << b.hi << "}";
    }
    json << "]\n}\n";
    std::ofstream meta(mFolder + "/figure.json");
    meta << json.str();
    if (!gr || !meta) {
      error = "cannot record the figure's data";
      return false;
    }
  }
  const std::string logPath = mFolder + "/plot.log";
  const int status = RunProgram({python, script, mFolder, pngPath}, logPath, error);
  if (status == 0) return true;
  if (status > 0) {
    std::ifstream in(logPath);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    const size_t lastLine = text.rfind('\n');
    error = "the plot script failed" + (text.empty() ? std::string() : ": " + text.substr(lastLine == std::string::npos ? 0 : lastLine + 1));
  }
  return false;
}

}  // namespace qbrender
