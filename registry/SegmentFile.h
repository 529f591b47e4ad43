#pragma once
// The registry's shared-memory object on its own: exclusive creation with
// fixed permissions and reserved storage, opening, size, and a removal that
// only ever removes the object it examined. Boost.Interprocess holds the
// descriptor; sizing and identity checks use the descriptor it exposes.
// None of these throw.

#include <boost/interprocess/shared_memory_object.hpp>
#include <cstdint>

namespace qb {

namespace bip = boost::interprocess;

enum class SegmentOpenResult {
  Done,     // out holds the object
  Exists,   // creation: an object of that name exists already
  Missing,  // opening: no object of that name
  Failed,   // anything else (permissions, resources)
};

// Creates the object exclusively (O_CREAT | O_EXCL, read-write), sets mode
// 0644 with fchmod so the umask cannot narrow it, and sizes it to
// kRegistrySize with reserved storage (SizeSegment). An object it created
// but could not size is removed again.
SegmentOpenResult CreateSegmentExclusive(const char* name, bip::shared_memory_object& out) noexcept;

// Opens an existing object read-write or read-only.
SegmentOpenResult OpenSegment(const char* name, bip::mode_t mode, bip::shared_memory_object& out) noexcept;

// Sizes a freshly created object: posix_fallocate (retried on EINTR) so that
// the pages exist and a full /dev/shm cannot fault later, then ftruncate
// (retried on EINTR) where allocation is unsupported or as a final step.
bool SizeSegment(int fd, std::int64_t size) noexcept;

// Size of the open object, -1 when it cannot be read.
std::int64_t SegmentSize(const bip::shared_memory_object& shm) noexcept;

// Last modification time of the open object (creation and sizing set it;
// writes through a mapping do not), in seconds; INT64_MIN when unreadable.
std::int64_t SegmentModifiedAt(const bip::shared_memory_object& shm) noexcept;

// Removes the name only while it still refers to the object shm holds, so a
// segment another process has just created in its place is never removed.
void RemoveSegmentIfSame(const char* name, const bip::shared_memory_object& shm) noexcept;

// Descriptor of an open object, -1 for none.
int SegmentFd(const bip::shared_memory_object& shm) noexcept;

}  // namespace qb
