#pragma once
// A read-only view of the machine's instance registry for reports: the live
// instances, their names and peers, and the gain reduction an instance
// publishes. It takes no lock, since a report may be a block out of date, and
// bounds everything it reads: any process may have written the segment.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace qbrender {

struct SlotSnapshot {
  int index = -1;
  uint64_t instanceId = 0;
  uint64_t peerId = 0;
  std::string name;  // at most 63 characters
  int32_t fftSize = 0;
};

inline constexpr float kGainReductionFloorDb = -180.0f;

class RegistryView {
 public:
  // Maps the segment of that shared-memory name (with its leading slash)
  // read-only. Null, with the reason, when it is missing, too small or
  // cannot be mapped.
  static std::unique_ptr<RegistryView> Open(std::string& reason);
  static std::unique_ptr<RegistryView> OpenNamed(const std::string& shmName, std::string& reason);
  ~RegistryView();
  RegistryView(const RegistryView&) = delete;
  RegistryView& operator=(const RegistryView&) = delete;

  // True once the segment's creator finished initialising it.
  bool Initialised() const;
  // The slot if it is claimed by a live instance.
  std::optional<SlotSnapshot> Slot(int index) const;
  std::vector<SlotSnapshot> LiveSlots() const;
  // The first live slot, in slot order, carrying exactly this name.
  std::optional<SlotSnapshot> FindByName(const std::string& name) const;
  // The slot's current peer id (0 when the index is out of range).
  uint64_t PeerId(int index) const;
  // The slot's gain reduction (low, mid, high) in dB, bounded to
  // [kGainReductionFloorDb, 0]; a non-finite value reads as 0.
  void GainReduction(int index, float out[3]) const;

 private:
  explicit RegistryView(const unsigned char* base) : mBase(base) {}
  template <typename T>
  T Read(size_t offset) const;
  size_t SlotOffset(int index) const;

  const unsigned char* mBase;  // read-only mapping of the whole segment
};

// The registry's shared-memory name, as passed to shm_open.
std::string RegistryShmName();
// Where the segment shows up in the file system, for messages.
std::string RegistryPath();

}  // namespace qbrender
