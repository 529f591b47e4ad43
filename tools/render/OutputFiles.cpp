#include "OutputFiles.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace qbrender {
namespace {

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string BaseName(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

PendingOutputs::PendingOutputs() {
  const mode_t mask = umask(022);
  umask(mask);
  mFileMode = 0666u & ~static_cast<unsigned>(mask);
}

PendingOutputs::~PendingOutputs() {
  for (const Entry& e : mPending) unlink(e.tempPath.c_str());
  for (auto f = mCreatedFolders.rbegin(); f != mCreatedFolders.rend(); ++f) rmdir(f->c_str());
}

bool PendingOutputs::EnsureFolder(const std::string& folder, std::string& error) {
  struct stat st {};
  if (stat(folder.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return true;
    error = "cannot write into '" + folder + "': not a folder";
    return false;
  }
  const std::string parent = FolderOf(folder);
  if (parent != folder && !EnsureFolder(parent, error)) return false;
  if (mkdir(folder.c_str(), 0777) != 0 && errno != EEXIST) {
    error = "cannot create the folder '" + folder + "': " + std::strerror(errno);
    return false;
  }
  mCreatedFolders.push_back(folder);
  return true;
}

int PendingOutputs::Create(const std::string& finalPath, std::string& error) {
  for (const Entry& e : mPending)
    if (e.finalPath == finalPath) {
      error = "two outputs would be written to '" + finalPath + "'";
      return -1;
    }
  const std::string folder = FolderOf(finalPath);
  if (!EnsureFolder(folder, error)) return -1;
  std::string temp = folder + "/." + BaseName(finalPath) + ".partial-XXXXXX";
  const int fd = mkstemp(temp.data());
  if (fd < 0) {
    error = "cannot write into '" + folder + "': " + std::strerror(errno);
    return -1;
  }
  fchmod(fd, static_cast<mode_t>(mFileMode));
  mPending.push_back({finalPath, temp});
  return fd;
}

std::string PendingOutputs::TemporaryPath(const std::string& finalPath) const {
  for (const Entry& e : mPending)
    if (e.finalPath == finalPath) return e.tempPath;
  return "";
}

void PendingOutputs::Discard(const std::string& finalPath) {
  for (auto e = mPending.begin(); e != mPending.end(); ++e) {
    if (e->finalPath != finalPath) continue;
    unlink(e->tempPath.c_str());
    mPending.erase(e);
    return;
  }
}

bool PendingOutputs::CommitAll(std::string& error) {
  while (!mPending.empty()) {
    const Entry& e = mPending.front();
    if (rename(e.tempPath.c_str(), e.finalPath.c_str()) != 0) {
      error = "cannot write '" + e.finalPath + "': " + std::strerror(errno);
      return false;
    }
    mCommitted.push_back(e.finalPath);
    mPending.erase(mPending.begin());
  }
  mCreatedFolders.clear();  // they hold results now
  return true;
}

std::string OutputPath(const std::string& folder, const std::string& name) {
  if (name.find('/') != std::string::npos || folder.empty()) return name;
  return folder.back() == '/' ? folder + name : folder + "/" + name;
}

bool SameFile(const std::string& a, const std::string& b) {
  struct stat sa {}, sb {};
  return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

}  // namespace qbrender
