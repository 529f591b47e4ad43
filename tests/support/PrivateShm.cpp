#include "PrivateShm.h"

#include <sys/vfs.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace qbtest {
namespace {

constexpr const char* kMarker = "QB_PRIVATE_SHM";
constexpr long kTmpfsMagic = 0x01021994;

bool ShmIsPrivateTmpfs() {
  const char* marker = std::getenv(kMarker);
  if (!marker || std::strcmp(marker, "1") != 0) return false;
  struct statfs fs {};
  return statfs("/dev/shm", &fs) == 0 && fs.f_type == kTmpfsMagic;
}

}  // namespace

void EnsurePrivateShm(int argc, char** argv) {
  if (ShmIsPrivateTmpfs()) return;

  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) {
    std::fprintf(stderr, "tests: cannot find own executable to isolate /dev/shm\n");
    std::exit(2);
  }
  self[n] = '\0';

  // Root gets a plain mount namespace; anybody else a user namespace as well.
  const bool root = geteuid() == 0;
  std::vector<std::string> args = {"unshare", root ? "-m" : "-rm", "--propagation", "private", "/bin/sh", "-c",
                                   std::string("mount -t tmpfs -o mode=1777,size=256m qbtest-shm /dev/shm && ") +
                                       kMarker + "=1 exec \"$0\" \"$@\"",
                                   self};
  for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
  std::vector<char*> cargs;
  for (std::string& a : args) cargs.push_back(a.data());
  cargs.push_back(nullptr);
  execvp("unshare", cargs.data());
  std::perror("tests: cannot run unshare to isolate /dev/shm");
  std::exit(2);
}

bool CanSwitchUser() {
  // Inside "unshare -r" only our own id is mapped; setuid to another id fails there.
  if (geteuid() != 0) return false;
  FILE* f = std::fopen("/proc/self/uid_map", "r");
  if (!f) return false;
  unsigned long inside = 0, outside = 0, count = 0;
  bool full = std::fscanf(f, "%lu %lu %lu", &inside, &outside, &count) == 3 && inside == 0 && outside == 0 &&
              count > 65535;
  std::fclose(f);
  return full;
}

}  // namespace qbtest
