#include "ModuleLocator.h"

#include <sys/stat.h>

#include <cstdlib>

namespace qbrender {

std::string FormatName(qbhost::Format format) { return format == qbhost::Format::Clap ? "CLAP" : "VST3"; }

std::vector<std::string> ModuleCandidates(qbhost::Format format) {
  std::vector<std::string> out;
  const char* home = std::getenv("HOME");
  const std::string homeDir = home && *home ? home : "";
  if (format == qbhost::Format::Clap) {
    if (const char* clapPath = std::getenv("CLAP_PATH")) {
      std::string list = clapPath;
      size_t start = 0;
      while (start <= list.size()) {
        const size_t colon = list.find(':', start);
        const std::string dir = list.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
        if (!dir.empty()) out.push_back(dir + "/Quellbridge.clap");
        if (colon == std::string::npos) break;
        start = colon + 1;
      }
    }
    if (!homeDir.empty()) out.push_back(homeDir + "/.clap/Quellbridge.clap");
    out.push_back("/usr/lib/clap/Quellbridge.clap");
    out.push_back(QB_RENDER_BUILD_CLAP_MODULE);
  } else {
    if (!homeDir.empty()) out.push_back(homeDir + "/.vst3/Quellbridge.vst3");
    out.push_back("/usr/lib/vst3/Quellbridge.vst3");
    out.push_back("/usr/local/lib/vst3/Quellbridge.vst3");
    out.push_back(QB_RENDER_BUILD_VST3_BUNDLE);
  }
  return out;
}

std::string LocateModule(qbhost::Format format, std::string& error) {
  const std::vector<std::string> candidates = ModuleCandidates(format);
  for (const std::string& path : candidates) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) continue;
    if (format == qbhost::Format::Clap ? S_ISREG(st.st_mode) : S_ISDIR(st.st_mode)) return path;
  }
  error = "no Quellbridge " + FormatName(format) + " module found; looked for";
  for (const std::string& path : candidates) error += "\n  " + path;
  error += "\ninstall it with scripts/install.sh, or name it with --module";
  return "";
}

}  // namespace qbrender
