// Registry membership: stale check, joining, slot claim, heartbeat, sweep,
// leaving.
#include "registry/QuellbridgeSHM.h"

#include <unistd.h>

#include <cstring>
#include <ctime>

#include "registry/SegmentFile.h"

namespace qb {
namespace {

namespace bip = boost::interprocess;

// Serialises Open (and its stale check) among the instances of one process.
std::mutex sInitMutex;

// How often Open goes round create / join / replace before it gives up;
// more than one round only when other processes create or remove the
// segment at the same moment.
constexpr int kJoinRounds = 3;

int64_t Now() noexcept { return static_cast<int64_t>(std::time(nullptr)); }

uint32_t LoadMagic(const QBRegistry& r) noexcept { return __atomic_load_n(&r.magic, __ATOMIC_ACQUIRE); }
int32_t LoadVersion(const QBRegistry& r) noexcept { return __atomic_load_n(&r.version, __ATOMIC_RELAXED); }

int HighWater(const QBRegistry& r) noexcept {
  int high = 0;
  for (int i = 0; i < kSlotCount; ++i)
    if (SlotIsAlive(r.slots[i])) high = i + 1;
  return high;
}

// Frees alive slots of others whose heartbeat is not fresh. Lock held.
void FreeStaleSlots(QBRegistry& r, uint64_t ownId, int64_t now) noexcept {
  for (QBSlot& s : r.slots)
    if (SlotIsAlive(s) && s.instanceId != ownId && !HeartbeatIsFresh(now, s.heartbeat, QuellbridgeSHM::kStaleAgeSeconds))
      s.alive = 0;
}

// A segment smaller than the registry whose size changed this recently may
// be one another process has just created and not yet sized.
constexpr int kCreationGraceSeconds = 2;

enum class Validity { Valid, Invalid };

// Waits (up to 100 x 10 ms) for a segment another process may still be
// creating: first for its size, then for its magic. A creator only ever
// grows a segment from 0 to the registry size, and writes the version before
// the magic, so a larger segment or a wrong version is invalid at once. On
// success map holds a read-write mapping of it.
Validity WaitUntilValid(const bip::shared_memory_object& seg, bip::mapped_region& map) {
  for (int check = 0; check < QuellbridgeSHM::kValidationChecks; ++check) {
    if (check > 0) SleepResumingNs(QuellbridgeSHM::kValidationPauseNs);
    if (!map.get_address()) {
      const int64_t size = SegmentSize(seg);
      if (size > static_cast<int64_t>(kRegistrySize) || size < 0) return Validity::Invalid;
      if (size < static_cast<int64_t>(kRegistrySize)) continue;
      bip::mapped_region mapped(seg, bip::read_write, 0, kRegistrySize);
      map.swap(mapped);
    }
    const auto& r = *static_cast<const QBRegistry*>(map.get_address());
    if (LoadMagic(r) == kRegistryMagic) return LoadVersion(r) == kRegistryVersion ? Validity::Valid : Validity::Invalid;
  }
  return Validity::Invalid;
}

// Everything but the magic, which the creator publishes once it holds a slot.
bool InitialiseSegment(QBRegistry& r) noexcept {
  std::memset(static_cast<void*>(&r), 0, sizeof r);
  r.version = kRegistryVersion;
  if (!InitRobustMutex(r.mutex)) return false;
  r.slotHighWater = 0;
  return true;
}

// Joiners wait for the magic, and the stale check of other processes leaves a
// segment without it alone. Published only after the creator claimed its
// slot, so the segment is never valid without a live slot: a stale check
// racing with the creation would otherwise remove it, leaving the creator
// alone in a segment nobody else can find.
void PublishMagic(QBRegistry& r) noexcept { __atomic_store_n(&r.magic, kRegistryMagic, __ATOMIC_RELEASE); }

}  // namespace

void QuellbridgeSHM::ForceCleanIfStale(int maxAgeSeconds) noexcept {
  try {
    bip::shared_memory_object seg;
    if (OpenSegment(kRegistryName, bip::read_only, seg) != SegmentOpenResult::Done) return;
    const int64_t size = SegmentSize(seg);
    if (size < static_cast<int64_t>(kRegistrySize)) {
      // Unless its creator may still be sizing it.
      if (size < 0 || !WithinSeconds(Now(), SegmentModifiedAt(seg), kCreationGraceSeconds))
        RemoveSegmentIfSame(kRegistryName, seg);
      return;
    }
    bip::mapped_region view(seg, bip::read_only, 0, kRegistrySize);
    const auto& r = *static_cast<const QBRegistry*>(view.get_address());
    // Still being initialised by its creator: leave it alone.
    if (LoadMagic(r) != kRegistryMagic) return;
    const int64_t now = Now();
    for (const QBSlot& s : r.slots) {
      const uint8_t alive = __atomic_load_n(&s.alive, __ATOMIC_RELAXED);
      const int64_t beat = __atomic_load_n(&s.heartbeat, __ATOMIC_RELAXED);
      if (alive == 1 && HeartbeatIsFresh(now, beat, maxAgeSeconds)) return;
    }
    RemoveSegmentIfSame(kRegistryName, seg);
  } catch (...) {
  }
}

void QuellbridgeSHM::ResetMembers() noexcept {
  header = nullptr;
  open.store(false, std::memory_order_release);
  slotIndex.store(-1, std::memory_order_relaxed);
  instanceId = 0;
  remoteId.store(0, std::memory_order_relaxed);
}

bool QuellbridgeSHM::Open() noexcept {
  Close();
  ResetMembers();
  try {
    std::lock_guard<std::mutex> init(sInitMutex);
    ForceCleanIfStale(kStaleAgeSeconds);
    return OpenLocked();
  } catch (...) {
    header = nullptr;
    open.store(false, std::memory_order_release);
    return false;
  }
}

bool QuellbridgeSHM::OpenLocked() noexcept {
  bip::shared_memory_object seg;
  bip::mapped_region map;
  bool created = false;
  bool joined = false;
  for (int round = 0; round < kJoinRounds && !joined; ++round) {
    const SegmentOpenResult made = CreateSegmentExclusive(kRegistryName, seg);
    if (made == SegmentOpenResult::Done) {
      created = joined = true;
      break;
    }
    // Creation failed for whatever reason: join the existing segment.
    const SegmentOpenResult opened = OpenSegment(kRegistryName, bip::read_write, seg);
    if (opened == SegmentOpenResult::Missing && made == SegmentOpenResult::Exists) continue;  // removed meanwhile
    if (opened != SegmentOpenResult::Done) return false;  // e.g. not ours to write
    try {
      if (WaitUntilValid(seg, map) == Validity::Valid) {
        joined = true;
        break;
      }
    } catch (...) {
      return false;
    }
    // Wrong size, or never became valid: replace it.
    bip::mapped_region unmapped;
    map.swap(unmapped);
    RemoveSegmentIfSame(kRegistryName, seg);
    bip::shared_memory_object none;
    seg.swap(none);
  }
  if (!joined) return false;

  if (created) {
    try {
      bip::mapped_region fresh(seg, bip::read_write, 0, kRegistrySize);
      map.swap(fresh);
    } catch (...) {
      RemoveSegmentIfSame(kRegistryName, seg);
      return false;
    }
  }
  shm.swap(seg);
  region.swap(map);
  auto* r = static_cast<QBRegistry*>(region.get_address());
  if (created && !InitialiseSegment(*r)) {
    // Never published: take it away rather than let others wait for it.
    RemoveSegmentIfSame(kRegistryName, shm);
    return false;
  }

  header = r;
  instanceId = (static_cast<uint64_t>(getpid()) << 32) ^ static_cast<uint64_t>(reinterpret_cast<uintptr_t>(this));

  RegistryLock lock(header->mutex, LockMode::WithRetry);
  if (!lock) {
    if (created) PublishMagic(*r);
    header = nullptr;
    return false;
  }
  const int index = ClaimSlot(*header);
  if (created) PublishMagic(*r);
  if (index < 0) {
    header = nullptr;
    return false;
  }
  slotIndex.store(index, std::memory_order_relaxed);
  open.store(true, std::memory_order_release);
  return true;
}

int QuellbridgeSHM::ClaimSlot(QBRegistry& r) noexcept {
  const int64_t now = Now();
  auto lowestFree = [&r] {
    for (int i = 0; i < kSlotCount; ++i)
      if (!SlotIsAlive(r.slots[i])) return i;
    return -1;
  };
  int index = lowestFree();
  if (index < 0) {
    // All taken: slots whose owners stopped beating do not count.
    FreeStaleSlots(r, instanceId, now);
    index = lowestFree();
    if (index < 0) return -1;
  }
  QBSlot& s = r.slots[index];
  std::memset(static_cast<void*>(&s), 0, sizeof s);
  s.instanceId = instanceId;
  s.alive = 1;
  s.heartbeat = now;
  {
    std::lock_guard<std::mutex> names(nameMutex);
    CopyBoundedName(ownName, s.displayName);
  }
  if (r.slotHighWater <= index) r.slotHighWater = index + 1;
  return index;
}

QBSlot* QuellbridgeSHM::OwnSlotLocked() const noexcept {
  const int32_t index = slotIndex.load(std::memory_order_relaxed);
  if (!header || index < 0 || index >= kSlotCount) return nullptr;
  QBSlot& s = header->slots[index];
  return SlotIsAlive(s) && s.instanceId == instanceId ? &s : nullptr;
}

QBSlot* QuellbridgeSHM::TargetSlotLocked(SlotTarget target) const noexcept {
  if (target == SlotTarget::Own) return OwnSlotLocked();
  const int index = FindAliveSlot(*header, remoteId.load(std::memory_order_relaxed));
  return index >= 0 ? &header->slots[index] : nullptr;
}

void QuellbridgeSHM::FreeOwnSlot() noexcept {
  if (!Usable()) return;
  open.store(false, std::memory_order_release);
  if (SlotIndex() < 0) return;
  RegistryLock lock(header->mutex, LockMode::WithRetry);
  // Without the lock the slot goes stale and is swept later.
  if (lock) {
    if (QBSlot* own = OwnSlotLocked()) own->alive = 0;
  }
}

void QuellbridgeSHM::Close() noexcept {
  FreeOwnSlot();
  ResetMembers();
  try {
    bip::mapped_region noRegion;
    region.swap(noRegion);
    bip::shared_memory_object noSegment;
    shm.swap(noSegment);
  } catch (...) {
  }
}

BeatResult QuellbridgeSHM::Beat() noexcept {
  if (!Usable()) return BeatResult::Unavailable;
  RegistryLock lock(header->mutex, LockMode::SingleTry);
  if (!lock) return BeatResult::Busy;
  // Re-checked under the lock: a handle that has left never comes back.
  if (!IsOpen()) return BeatResult::Unavailable;
  const int32_t index = SlotIndex();
  if (index >= 0 && index < kSlotCount && header->slots[index].instanceId == instanceId) {
    // Also revives a slot a sweep freed while nobody claimed it.
    header->slots[index].alive = 1;
    header->slots[index].heartbeat = Now();
    return BeatResult::Refreshed;
  }
  const int claimed = ClaimSlot(*header);
  slotIndex.store(claimed, std::memory_order_relaxed);
  if (claimed < 0) return BeatResult::NoSlot;
  // Keep the pairing this instance works with.
  header->slots[claimed].peerId = remoteId.load(std::memory_order_relaxed);
  return BeatResult::Rejoined;
}

void QuellbridgeSHM::ReapStaleSlots() noexcept {
  if (!Usable()) return;
  const int64_t now = Now();
  RegistryLock lock(header->mutex, LockMode::WithRetry);
  if (!lock) return;
  FreeStaleSlots(*header, instanceId, now);
  header->slotHighWater = HighWater(*header);
}

void QuellbridgeSHM::SetDisplayName(const char* name) noexcept {
  char bounded[kNameSize];
  CopyBoundedName(name, bounded);
  {
    std::lock_guard<std::mutex> names(nameMutex);
    std::memcpy(ownName, bounded, sizeof ownName);
  }
  if (!Usable() || SlotIndex() < 0) return;
  RegistryLock lock(header->mutex, LockMode::WithRetry);
  if (!lock) return;
  if (QBSlot* own = OwnSlotLocked()) std::memcpy(own->displayName, bounded, sizeof bounded);
}

}  // namespace qb
