#include "RegistryView.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstddef>
#include <cstring>

#include "registry/RegistryLayout.h"

namespace qbrender {

std::string RegistryShmName() { return std::string("/") + qb::kRegistryName; }
std::string RegistryPath() { return std::string("/dev/shm/") + qb::kRegistryName; }

std::unique_ptr<RegistryView> RegistryView::Open(std::string& reason) { return OpenNamed(RegistryShmName(), reason); }

std::unique_ptr<RegistryView> RegistryView::OpenNamed(const std::string& shmName, std::string& reason) {
  const int fd = shm_open(shmName.c_str(), O_RDONLY, 0);
  if (fd < 0) {
    reason = errno == ENOENT ? "there is no instance registry (" + shmName + ")"
                             : "cannot open the instance registry " + shmName + ": " + std::strerror(errno);
    return nullptr;
  }
  struct stat st {};
  if (fstat(fd, &st) != 0 || st.st_size < static_cast<off_t>(qb::kRegistrySize)) {
    close(fd);
    reason = "the instance registry " + shmName + " is smaller than " + std::to_string(qb::kRegistrySize) + " bytes";
    return nullptr;
  }
  void* base = mmap(nullptr, qb::kRegistrySize, PROT_READ, MAP_SHARED, fd, 0);
  close(fd);
  if (base == MAP_FAILED) {
    reason = "cannot map the instance registry " + shmName + ": " + std::strerror(errno);
    return nullptr;
  }
  return std::unique_ptr<RegistryView>(new RegistryView(static_cast<const unsigned char*>(base)));
}

RegistryView::~RegistryView() { munmap(const_cast<unsigned char*>(mBase), qb::kRegistrySize); }

template <typename T>
T RegistryView::Read(size_t offset) const {
  T value;
  std::memcpy(&value, mBase + offset, sizeof value);
  return value;
}

size_t RegistryView::SlotOffset(int index) const {
  return offsetof(qb::QBRegistry, slots) + static_cast<size_t>(index) * sizeof(qb::QBSlot);
}

bool RegistryView::Initialised() const {
  return Read<int32_t>(offsetof(qb::QBRegistry, version)) == qb::kRegistryVersion &&
         Read<uint32_t>(offsetof(qb::QBRegistry, magic)) == qb::kRegistryMagic;
}

std::optional<SlotSnapshot> RegistryView::Slot(int index) const {
  if (index < 0 || index >= qb::kSlotCount) return std::nullopt;
  const size_t slot = SlotOffset(index);
  if (Read<uint8_t>(slot + offsetof(qb::QBSlot, alive)) != 1) return std::nullopt;
  SlotSnapshot s;
  s.index = index;
  s.instanceId = Read<uint64_t>(slot + offsetof(qb::QBSlot, instanceId));
  s.peerId = Read<uint64_t>(slot + offsetof(qb::QBSlot, peerId));
  s.fftSize = Read<int32_t>(slot + offsetof(qb::QBSlot, fftSize));
  char name[qb::kNameSize];
  std::memcpy(name, mBase + slot + offsetof(qb::QBSlot, displayName), sizeof name);
  s.name.assign(name, strnlen(name, sizeof name - 1));
  return s;
}

std::vector<SlotSnapshot> RegistryView::LiveSlots() const {
  std::vector<SlotSnapshot> out;
  for (int i = 0; i < qb::kSlotCount; ++i)
    if (auto s = Slot(i)) out.push_back(*s);
  return out;
}

std::optional<SlotSnapshot> RegistryView::FindByName(const std::string& name) const {
  for (int i = 0; i < qb::kSlotCount; ++i) {
    auto s = Slot(i);
    if (s && s->name == name) return s;
  }
  return std::nullopt;
}

uint64_t RegistryView::PeerId(int index) const {
  if (index < 0 || index >= qb::kSlotCount) return 0;
  return Read<uint64_t>(SlotOffset(index) + offsetof(qb::QBSlot, peerId));
}

void RegistryView::GainReduction(int index, float out[3]) const {
  for (int band = 0; band < 3; ++band) out[band] = 0.0f;
  if (index < 0 || index >= qb::kSlotCount) return;
  const size_t at = SlotOffset(index) + offsetof(qb::QBSlot, gainReduction);
  for (int band = 0; band < 3; ++band) {
    const float v = Read<float>(at + static_cast<size_t>(band) * sizeof(float));
    out[band] = !std::isfinite(v) ? 0.0f : v > 0.0f ? 0.0f : v < kGainReductionFloorDb ? kGainReductionFloorDb : v;
  }
}

}  // namespace qbrender
