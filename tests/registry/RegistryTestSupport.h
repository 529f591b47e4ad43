#pragma once
// Helpers for the registry tests: direct access to the segment in the test's
// private /dev/shm (to prepare, inspect or corrupt it), child processes, and
// a lock held by another process.

#include <sys/types.h>

#include <boost/interprocess/mapped_region.hpp>
#include <boost/interprocess/shared_memory_object.hpp>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "registry/RegistryLayout.h"

namespace qbtest {

inline const std::string kSegmentPath = std::string("/dev/shm/") + qb::kRegistryName;

bool SegmentExists();
// Inode of the segment file, 0 when absent: tells a replaced segment apart.
uint64_t SegmentInode();
int64_t SegmentFileSize();
unsigned SegmentMode();
// The whole segment file as bytes (empty when absent).
std::vector<uint8_t> SegmentBytes();
void RemoveSegment();

// Read-write mapping of the existing segment, independent of any handle.
class RawRegistry {
 public:
  RawRegistry() { Remap(); }
  // Maps the segment that exists now (fixtures: after their handles joined).
  bool Remap();
  bool Mapped() const { return registry != nullptr; }
  qb::QBRegistry& operator*() const { return *registry; }
  qb::QBRegistry* operator->() const { return registry; }
  qb::QBSlot& Slot(int i) const { return registry->slots[i]; }

 private:
  boost::interprocess::shared_memory_object shm;
  boost::interprocess::mapped_region region;
  qb::QBRegistry* registry = nullptr;
};

// Replaces any segment with a new one of the given size, filled by fill
// (called only when size >= kRegistrySize; the bytes start zeroed). Its
// modification time is set a minute back, as for a segment left behind,
// unless fresh (as for one its creator is still setting up).
void PrepareSegment(int64_t size, const std::function<void(qb::QBRegistry&)>& fill = {}, bool fresh = false);
// Gives a zeroed registry a valid header (version, robust mutex, magic).
void MakeValid(qb::QBRegistry& r);
// Marks slot i alive with the given id and heartbeat.
void MakeAliveSlot(qb::QBRegistry& r, int i, uint64_t id, int64_t heartbeat);

// Runs body in a forked child and returns its exit status (body's result),
// or -1 when the child died from a signal. The child never returns into the
// test framework.
int RunInChild(const std::function<int()>& body);

// Returns the source line of the first failed check in a child body.
#define QB_CHILD_CHECK(cond) \
  do {                       \
    if (!(cond)) return __LINE__; \
  } while (false)

// Another process holds the registry lock from construction until Release()
// or destruction.
class LockHeldElsewhere {
 public:
  LockHeldElsewhere();
  ~LockHeldElsewhere();
  LockHeldElsewhere(const LockHeldElsewhere&) = delete;
  LockHeldElsewhere& operator=(const LockHeldElsewhere&) = delete;
  bool Holding() const { return child > 0; }
  // Lets the holder unlock and waits until it has exited.
  void Release();

 private:
  pid_t child = -1;
  int releaseFd = -1;
};

// A child process takes the registry lock and exits without releasing it.
// Returns whether the child locked and exited normally.
bool LockAndDieInChild();

}  // namespace qbtest
