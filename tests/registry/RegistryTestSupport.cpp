#include "RegistryTestSupport.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>

#include "registry/RobustMutex.h"

namespace qbtest {

namespace bip = boost::interprocess;

bool SegmentExists() {
  struct stat st {};
  return stat(kSegmentPath.c_str(), &st) == 0;
}

uint64_t SegmentInode() {
  struct stat st {};
  return stat(kSegmentPath.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_ino) : 0;
}

int64_t SegmentFileSize() {
  struct stat st {};
  return stat(kSegmentPath.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
}

unsigned SegmentMode() {
  struct stat st {};
  return stat(kSegmentPath.c_str(), &st) == 0 ? static_cast<unsigned>(st.st_mode & 07777) : 0;
}

std::vector<uint8_t> SegmentBytes() {
  std::ifstream in(kSegmentPath, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void RemoveSegment() { bip::shared_memory_object::remove(qb::kRegistryName); }

bool RawRegistry::Remap() {
  registry = nullptr;
  try {
    bip::shared_memory_object opened(bip::open_only, qb::kRegistryName, bip::read_write);
    bip::mapped_region mapped(opened, bip::read_write, 0, qb::kRegistrySize);
    shm.swap(opened);
    region.swap(mapped);
    registry = static_cast<qb::QBRegistry*>(region.get_address());
  } catch (...) {
    registry = nullptr;
  }
  return registry != nullptr;
}

void PrepareSegment(int64_t size, const std::function<void(qb::QBRegistry&)>& fill, bool fresh) {
  RemoveSegment();
  bip::permissions perms;
  perms.set_permissions(0644);
  bip::shared_memory_object created(bip::create_only, qb::kRegistryName, bip::read_write, perms);
  created.truncate(size);
  if (size >= static_cast<int64_t>(qb::kRegistrySize) && fill) {
    bip::mapped_region mapped(created, bip::read_write, 0, qb::kRegistrySize);
    fill(*static_cast<qb::QBRegistry*>(mapped.get_address()));
  }
  if (!fresh) {
    timespec times[2];
    clock_gettime(CLOCK_REALTIME, &times[0]);
    times[0].tv_sec -= 60;
    times[1] = times[0];
    futimens(created.get_mapping_handle().handle, times);
  }
}

void MakeValid(qb::QBRegistry& r) {
  r.version = qb::kRegistryVersion;
  qb::InitRobustMutex(r.mutex);
  r.magic = qb::kRegistryMagic;
}

void MakeAliveSlot(qb::QBRegistry& r, int i, uint64_t id, int64_t heartbeat) {
  std::memset(static_cast<void*>(&r.slots[i]), 0, sizeof r.slots[i]);
  r.slots[i].instanceId = id;
  r.slots[i].alive = 1;
  r.slots[i].heartbeat = heartbeat;
  std::strcpy(r.slots[i].displayName, "prepared");
}

int RunInChild(const std::function<int()>& body) {
  const pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    int rc = 99;
    try {
      rc = body();
    } catch (...) {
      rc = 98;
    }
    _exit(rc);
  }
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

LockHeldElsewhere::LockHeldElsewhere() {
  int locked[2], release[2];
  if (pipe(locked) != 0) return;
  if (pipe(release) != 0) {
    close(locked[0]);
    close(locked[1]);
    return;
  }
  const pid_t pid = fork();
  if (pid == 0) {
    close(locked[0]);
    close(release[1]);
    RawRegistry raw;
    char ok = 0;
    if (raw.Mapped() && pthread_mutex_lock(&raw->mutex) == 0) ok = 1;
    if (write(locked[1], &ok, 1) != 1) _exit(3);
    char go;
    if (read(release[0], &go, 1) < 0) _exit(4);
    if (ok) pthread_mutex_unlock(&raw->mutex);
    _exit(ok ? 0 : 2);
  }
  close(locked[1]);
  close(release[0]);
  char ok = 0;
  if (pid > 0 && read(locked[0], &ok, 1) == 1 && ok == 1) {
    child = pid;
    releaseFd = release[1];
  } else {
    close(release[1]);
    if (pid > 0) waitpid(pid, nullptr, 0);
  }
  close(locked[0]);
}

void LockHeldElsewhere::Release() {
  if (child <= 0) return;
  const char go = 1;
  [[maybe_unused]] const ssize_t sent = write(releaseFd, &go, 1);
  close(releaseFd);
  waitpid(child, nullptr, 0);
  child = -1;
  releaseFd = -1;
}

LockHeldElsewhere::~LockHeldElsewhere() { Release(); }

bool LockAndDieInChild() {
  return RunInChild([] {
           RawRegistry raw;
           if (!raw.Mapped()) return 1;
           if (pthread_mutex_lock(&raw->mutex) != 0) return 2;
           // Dies holding the lock, with the segment still mapped (as a
           // crashing process would), so the kernel marks the owner dead.
           _exit(0);
         }) == 0;
}

}  // namespace qbtest
