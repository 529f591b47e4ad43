#include "registry/SegmentFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/interprocess/exceptions.hpp>
#include <cerrno>
#include <cstdint>

#include "registry/RegistryLayout.h"

namespace qb {
namespace {

constexpr mode_t kSegmentMode = 0644;

SegmentOpenResult ResultOf(int nativeError) {
  if (nativeError == EEXIST) return SegmentOpenResult::Exists;
  if (nativeError == ENOENT) return SegmentOpenResult::Missing;
  return SegmentOpenResult::Failed;
}

bool SameObject(int fdA, int fdB) {
  struct stat a {}, b {};
  return fstat(fdA, &a) == 0 && fstat(fdB, &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace

int SegmentFd(const bip::shared_memory_object& shm) noexcept { return shm.get_mapping_handle().handle; }

bool SizeSegment(int fd, std::int64_t size) noexcept {
  int rc;
  do {
    rc = posix_fallocate(fd, 0, static_cast<off_t>(size));
  } while (rc == EINTR);
  if (rc != 0 && rc != EOPNOTSUPP && rc != ENODEV) return false;
  while (ftruncate(fd, static_cast<off_t>(size)) != 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

SegmentOpenResult CreateSegmentExclusive(const char* name, bip::shared_memory_object& out) noexcept {
  try {
    bip::permissions perms;
    perms.set_permissions(kSegmentMode);
    bip::shared_memory_object created(bip::create_only, name, bip::read_write, perms);
    if (!SizeSegment(SegmentFd(created), static_cast<std::int64_t>(kRegistrySize))) {
      RemoveSegmentIfSame(name, created);
      return SegmentOpenResult::Failed;
    }
    out.swap(created);
    return SegmentOpenResult::Done;
  } catch (const bip::interprocess_exception& e) {
    return ResultOf(e.get_native_error());
  } catch (...) {
    return SegmentOpenResult::Failed;
  }
}

SegmentOpenResult OpenSegment(const char* name, bip::mode_t mode, bip::shared_memory_object& out) noexcept {
  try {
    bip::shared_memory_object opened(bip::open_only, name, mode);
    out.swap(opened);
    return SegmentOpenResult::Done;
  } catch (const bip::interprocess_exception& e) {
    return ResultOf(e.get_native_error());
  } catch (...) {
    return SegmentOpenResult::Failed;
  }
}

std::int64_t SegmentSize(const bip::shared_memory_object& shm) noexcept {
  struct stat st {};
  const int fd = SegmentFd(shm);
  if (fd < 0 || fstat(fd, &st) != 0) return -1;
  return static_cast<std::int64_t>(st.st_size);
}

std::int64_t SegmentModifiedAt(const bip::shared_memory_object& shm) noexcept {
  struct stat st {};
  const int fd = SegmentFd(shm);
  if (fd < 0 || fstat(fd, &st) != 0) return INT64_MIN;
  return static_cast<std::int64_t>(st.st_mtim.tv_sec);
}

void RemoveSegmentIfSame(const char* name, const bip::shared_memory_object& shm) noexcept {
  const int own = SegmentFd(shm);
  if (own < 0) return;
  bip::shared_memory_object current;
  if (OpenSegment(name, bip::read_only, current) != SegmentOpenResult::Done) return;
  if (SameObject(own, SegmentFd(current))) bip::shared_memory_object::remove(name);
}

}  // namespace qb
