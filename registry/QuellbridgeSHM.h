#pragma once
// QuellbridgeSHM: one instance's handle on the shared-memory registry.
//
// Membership (Open, ClaimSlot, heartbeat Beat, ReapStaleSlots, Close) lives
// in QuellbridgeSHM.cpp, pairing and the settings exchange in
// QuellbridgeSHMPairing.cpp, the per-block publish/read primitives in
// QuellbridgeSHMExchange.cpp.
//
// Everything is best effort and silent: when joining failed, or the own slot
// is gone, every operation does nothing and returns its empty result. No
// operation throws, and no lock error escapes (see RobustMutex.h).
//
// Lock modes: operations marked "single try" make one non-blocking attempt
// and never sleep, so they are safe on the audio thread; "with retry" ones
// may wait up to about half a second (50 x 10 ms) and are for the editor,
// heartbeat and host main threads.
//
// Own slot: every step that writes or reads the own slot first checks, under
// the lock, that the slot still carries this instance's id and is alive. A
// slot freed as stale and claimed by a newcomer is therefore never touched;
// the heartbeat then claims a fresh slot (see Beat).
//
// Untrusted contents: readers bound everything (SlotGroups.h); non-finite
// values never come out: malformed groups are flagged, spectra and levels
// filtered to 0.
//
// Threads: Open and Close run on the host's main thread while no other
// thread uses the handle (before the heartbeat starts and after it stops).
// Everything else may run on any thread concurrently.

#include <atomic>
#include <boost/interprocess/mapped_region.hpp>
#include <boost/interprocess/shared_memory_object.hpp>
#include <cstdint>
#include <mutex>
#include <optional>

#include "registry/RegistryLayout.h"
#include "registry/RobustMutex.h"
#include "registry/SlotGroups.h"

namespace qb {

// One entry of the instance list.
struct QBInstanceInfo {
  uint64_t instanceId;
  char displayName[kNameSize];  // always terminated, at most 63 characters
};
static_assert(sizeof(QBInstanceInfo) == 72);

// The other live instances, in slot order. Fixed capacity, no allocation.
struct QBInstanceList {
  int32_t count = 0;
  QBInstanceInfo items[kSlotCount] = {};

  int size() const noexcept { return count; }
  bool empty() const noexcept { return count == 0; }
  const QBInstanceInfo& operator[](int i) const noexcept { return items[i]; }
  const QBInstanceInfo* begin() const noexcept { return items; }
  const QBInstanceInfo* end() const noexcept { return items + count; }
};

// Which slot a group operation addresses: the own one, or the one of the
// instance named by remoteId.
enum class SlotTarget { Own, Peer };

// Outcome of reading a settings group.
enum class GroupRead {
  Read,       // out holds the group (all values finite)
  Malformed,  // the stored group held non-finite values: those fields hold
              // defaults and are marked in out.nonFinite; the rest as stored
  Busy,       // lock busy (or unusable): keep the last-seen counter, try later
  Absent,     // not joined, own slot lost, no peer, or peer not found
};

// Outcome of one heartbeat.
enum class BeatResult {
  Refreshed,    // own slot marked alive with the current time
  Rejoined,     // own slot was lost; a free slot was claimed in its place
  Busy,         // lock busy: beat skipped
  NoSlot,       // own slot lost and no free slot: running unpaired for now
  Unavailable,  // registry not joined
};

// Change counters of the default groups written at start-up (0 = not written).
struct QBGroupCounters {
  uint64_t bandSeq = 0;
  uint64_t hpLpSeq = 0;
  uint64_t controlsSeq = 0;
};

// What one audio block reads from the registry under a single try of the lock.
struct QBBlockInputs {
  bool ownSlotRead = false;  // the lock was had and the own slot is still ours
  bool bypassed = false;     // own bypass flag; the cached one when not read
  GroupRead bands = GroupRead::Absent;
  GroupRead hpLp = GroupRead::Absent;
  GroupRead controls = GroupRead::Absent;
  QBBandGroup bandGroup;
  QBHpLpGroup hpLpGroup;
  QBControlsGroup controlsGroup;
  bool peerFound = false;  // an alive slot carries remoteId (its spectrum was copied)
};

class QuellbridgeSHM {
 public:
  static constexpr int kStaleAgeSeconds = 10;
  static constexpr int kValidationChecks = 100;
  static constexpr long kValidationPauseNs = 10'000'000;  // 10 ms

  QuellbridgeSHM() = default;
  ~QuellbridgeSHM() { Close(); }
  QuellbridgeSHM(const QuellbridgeSHM&) = delete;
  QuellbridgeSHM& operator=(const QuellbridgeSHM&) = delete;

  // ---- Membership ------------------------------------------------------

  // Removes the registry segment when no slot in it shows a recent sign of
  // life (a heartbeat within maxAgeSeconds of now), or when it is too small
  // and not just being created. Only ever removes the object it examined.
  // Holds no registry lock; errors are swallowed.
  static void ForceCleanIfStale(int maxAgeSeconds) noexcept;

  // Joins the registry: under the process-wide sInitMutex, runs the stale
  // check, creates the segment (or joins and validates an existing one for
  // up to 100 x 10 ms, replacing it when invalid), maps it, initialises a
  // segment it created, and claims the lowest free slot (when none is free,
  // slots whose heartbeat went stale count as free). Returns IsOpen().
  // Main thread, once, before any other operation.
  bool Open() noexcept;

  // Frees the own slot (with retry; the rest of the slot stays as it was),
  // unmaps and closes. The segment itself stays. Main thread, after the
  // heartbeat has stopped.
  void Close() noexcept;

  // Leaves the registry but keeps the mapping: frees the own slot (with
  // retry) and marks the handle closed, so every operation, the heartbeat
  // included, becomes a no-op.
  void FreeOwnSlot() noexcept;

  // One heartbeat (single try): refreshes alive and heartbeat of the own
  // slot (reviving it if a sweep freed it and nobody claimed it since); when
  // the slot was lost (claimed by someone else, or none was free),
  // claims the lowest free slot instead, zeroed, with this id, the last name
  // given to SetDisplayName and peerId = remoteId, and reports Rejoined so the
  // owner can write its groups again. Heartbeat thread.
  BeatResult Beat() noexcept;

  // Frees every alive slot of another instance whose heartbeat is older than
  // the stale age; recomputes slotHighWater. With retry. Editor thread.
  void ReapStaleSlots() noexcept;

  // Copies at most 63 characters into the own slot's displayName (with
  // retry) and remembers them for a later re-claim.
  void SetDisplayName(const char* name) noexcept;

  // Completes a lock whose first attempt found the mutex busy (up to 50
  // attempts 10 ms apart). Returns whether the lock is now held.
  static bool TryLockWithRetry(RegistryLock& lock) noexcept { return lock.Retry(); }

  bool IsOpen() const noexcept { return open.load(std::memory_order_acquire); }
  int32_t SlotIndex() const noexcept { return slotIndex.load(std::memory_order_relaxed); }
  uint64_t InstanceId() const noexcept { return instanceId; }
  uint64_t RemoteId() const noexcept { return remoteId.load(std::memory_order_relaxed); }
  bool CachedBypass() const noexcept { return cachedBypass.load(std::memory_order_relaxed); }
  // The mapped segment, null when the registry is unusable. For tools and
  // tests that inspect it; never write through it outside the lock.
  QBRegistry* Header() const noexcept { return header; }

  // ---- Pairing and settings exchange (with retry unless noted) ---------

  // Lowest alive slot carrying id, -1 when none, id 0, or unavailable.
  int FindSlot(uint64_t id) noexcept;

  // Every alive slot except the own one, in slot order, names bounded.
  // Empty when unavailable or the lock could not be had.
  QBInstanceList ListInstances() noexcept;

  // Pairs with id (0 unpairs): remoteId = id always; then, if the own slot is
  // had, own peerId = id, the former partner (if it still names this
  // instance) and the new partner's former partner (if it still names the
  // new partner) are released, and the new partner's peerId = own id.
  void SetRemoteId(uint64_t id) noexcept;

  // Sets the bypass flag of the instance carrying id; nothing for 0 or unknown.
  void SetBypassOf(uint64_t id, bool flag) noexcept;

  // Single try. The flag of the instance carrying id; false for 0, unknown or
  // unavailable; std::nullopt when the lock was busy (unknown: the caller
  // should not act on it).
  std::optional<bool> ReadBypassOf(uint64_t id) noexcept;

  // Refreshes cachedBypass from the own slot (single try), then writes its
  // negation into the own slot (with retry). Returns the value written, or
  // std::nullopt when nothing was written.
  std::optional<bool> ToggleOwnBypass() noexcept;

  // Own slot: the three controls, controlsSeq += 1. Returns the new counter,
  // 0 when nothing was written (also for non-finite values). SingleTry for
  // callers on the audio thread (host automation).
  uint64_t WriteControls(float attackMs, float releaseMs, float makeupDb,
                         LockMode mode = LockMode::WithRetry) noexcept;

  // Peer slot (remoteId): the three controls, its controlsSeq += 1.
  void WriteRemoteControls(float attackMs, float releaseMs, float makeupDb) noexcept;

  // The peer's controls; 10, 100, 0 when there is no peer. A non-finite
  // stored value reads as its default.
  void ReadRemoteControls(float& attackMs, float& releaseMs, float& makeupDb) noexcept;

  // bandCount = count limited to [0, 3], that many entries copied (enabled
  // stored as 0/1, padding zero; later entries left as they were), bandSeq
  // += 1. Returns the new counter, 0 when nothing was written (no slot, null
  // bands with count > 0, non-finite values).
  uint64_t WriteBands(SlotTarget target, int count, const QBBand* bands) noexcept;

  // hpHz and lpHz, hpLpSeq += 1. Returns the new counter, 0 when nothing was
  // written.
  uint64_t WriteHpLp(SlotTarget target, float hpHz, float lpHz) noexcept;

  // Reads a settings group of the own or the peer's slot with the given lock
  // mode (SingleTry on the audio thread).
  GroupRead ReadBands(SlotTarget target, LockMode mode, QBBandGroup& out) noexcept;
  GroupRead ReadHpLp(SlotTarget target, LockMode mode, QBHpLpGroup& out) noexcept;
  GroupRead ReadControls(SlotTarget target, LockMode mode, QBControlsGroup& out) noexcept;

  // ---- Per-block primitives: single try, no allocation, never sleep -----

  // remoteId = own slot's peerId. Returns whether it was read.
  bool RefreshRemoteId() noexcept;

  // The own bypass flag; refreshes cachedBypass. Busy or unavailable: the
  // cached value.
  bool ReadOwnBypass() noexcept;

  // Copies the first count entries (clamped to [0, 1024]) of the spectrum of
  // the first alive slot carrying remoteId into out, entries that are not
  // finite and >= 0 as 0; the rest of out is left as it was (the audio path
  // copies only the bins its transform has). Returns whether a peer was
  // found; out is untouched otherwise.
  bool CopyPeerSpectrum(float (&out)[kSpectrumBins], int count = kSpectrumBins) noexcept;

  // Everything a block reads, under one single try: remoteId = own peerId,
  // the own bypass flag (refreshing cachedBypass), the three groups of the
  // own slot, and the first peerBins entries (clamped to [0, 1024]; 0 = none)
  // of the peer's spectrum into peerSpectrum, sanitised like CopyPeerSpectrum.
  // With a busy lock nothing is read: bypassed is the cached flag, the groups
  // are Busy and peerFound is false. Never sleeps, never allocates.
  void ReadBlockInputs(float (&peerSpectrum)[kSpectrumBins], int peerBins, QBBlockInputs& out) noexcept;

  // Everything a block publishes, under one single try: the own
  // gainReduction, the first spectrumBins entries of the own spectrum (0 =
  // leave it), bandLevels, and heartbeat = time(). Returns whether it was
  // written.
  bool PublishBlockOutputs(const float (&gainReductionDb)[3], const float* spectrum, int spectrumBins,
                           const float (&bandLevels)[3]) noexcept;

  // The gain reduction of the own or the peer's slot, non-finite values as 0.
  // Returns whether it was read; out is untouched otherwise.
  bool ReadGainReduction(SlotTarget target, LockMode mode, float (&out)[3]) noexcept;

  void PublishGainReduction(const float (&gainReductionDb)[3]) noexcept;
  // The first n (clamped to [0, 1024]) entries of the own spectrum; the rest
  // keep their contents.
  void PublishSpectrum(const float* magnitudes, int n) noexcept;
  // bandLevels and heartbeat = time().
  void PublishBandLevels(const float (&levels)[3]) noexcept;
  // Bypass block: own spectrum, bandLevels and gainReduction zero,
  // heartbeat = time(), under one lock attempt.
  void PublishBypassed() noexcept;

  // ---- Non-audio writes of the own slot (with retry) -------------------

  void WriteFftSize(int32_t fftSize) noexcept;
  // The editor's 256-point analyser curve.
  void PublishEditorSpectrum(const float (&curveDb)[kEditorSpectrumPoints]) noexcept;
  // Default band, high/low-pass and controls; returns the three new counters.
  QBGroupCounters WriteDefaultGroups() noexcept;

 private:
  // Claims the lowest free slot (freeing stale slots of others when none is
  // free) for this instance. Lock held. Returns the index or -1.
  int ClaimSlot(QBRegistry& registry) noexcept;

  // Own slot under a held lock, null when it no longer belongs to us.
  QBSlot* OwnSlotLocked() const noexcept;
  // Own or peer slot under a held lock, null when there is none.
  QBSlot* TargetSlotLocked(SlotTarget target) const noexcept;
  bool Usable() const noexcept { return IsOpen() && header != nullptr; }

  bool OpenLocked() noexcept;
  void ResetMembers() noexcept;

  // Runs write(ownSlot) under one lock of the given mode while the own slot
  // is still ours.
  template <class Fn>
  void WithOwnSlot(LockMode mode, Fn&& write) noexcept;
  template <class Fn>
  GroupRead ReadGroup(SlotTarget target, LockMode mode, Fn&& read) noexcept;

  // Set by Open; cleared by Close and FreeOwnSlot. Read by every thread.
  std::atomic<bool> open{false};
  // Written by Open, Close and a re-claiming Beat (under the registry lock);
  // read everywhere.
  std::atomic<int32_t> slotIndex{-1};
  // Written by Open and Close only.
  uint64_t instanceId = 0;
  // Written by SetRemoteId (any thread) and RefreshRemoteId (audio, editor).
  std::atomic<uint64_t> remoteId{0};
  // Written by ReadOwnBypass and ToggleOwnBypass; read by any thread.
  std::atomic<bool> cachedBypass{false};
  // Owned by Open and Close.
  boost::interprocess::shared_memory_object shm;
  boost::interprocess::mapped_region region;
  QBRegistry* header = nullptr;

  // Last name given to SetDisplayName, for a re-claim; guarded by nameMutex.
  mutable std::mutex nameMutex;
  char ownName[kNameSize] = "Quellbridge";
};

}  // namespace qb
