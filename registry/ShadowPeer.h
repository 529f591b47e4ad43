#pragma once
// The shadow copy of the peer: what this instance's editor last wrote into
// the paired instance's slot (its bands, high/low-pass and controls). It is
// saved with this instance's state, and after a project reload it is pushed
// into the re-found peer's slot once, so edits made from this side survive.
//
// Plain data and pure operations; the owner guards it (Quellbridge's
// persistMutex).

#include <cstdint>

#include "registry/RegistryLayout.h"

namespace qb {

class QuellbridgeSHM;

struct ShadowPeer {
  int32_t bandCount = 0;  // 0..3; 0 = no shadow peer
  float freqs[6] = {};    // lo0, hi0, lo1, hi1, lo2, hi2
  float thresholds[3] = {};
  float ratios[3] = {};
  bool enabled[3] = {true, true, true};
  float hp = 20.0f;
  float lp = 20000.0f;
  float attack = 10.0f;
  float release = 100.0f;
  float makeup = 0.0f;
  bool applied = false;  // not persisted: armed while false

  // Forgets the peer (ratios 4, the rest as after construction).
  void Clear() noexcept;
  // Null or count < 1 clears. Otherwise the edges of the first min(count, 3)
  // bands (others zeroed), their thresholds, ratios and enables; entries
  // beyond the count keep their values. Arms the shadow.
  void RecordBands(const QBBand* bands, int count) noexcept;
  void RecordHpLp(float hpHz, float lpHz) noexcept;
  void RecordControls(float attackMs, float releaseMs, float makeupDb) noexcept;

  // Whether a shadow exists and has not been pushed since it was armed.
  bool Armed() const noexcept { return bandCount >= 1 && !applied; }
  // Whether any of the first bandCount bands is well formed (hi > lo).
  bool HasWellFormedBand() const noexcept;
  // The first bandCount bands as registry records.
  int BuildBands(QBBand (&out)[kMaxBands]) const noexcept;
};

// Pushes an armed shadow into the slot of the handle's current peer
// (remoteId): high/low-pass, controls, and the bands when one of them is well
// formed, each with its change counter, so the peer's audio path adopts them.
// Marks the shadow applied whether or not the peer was found. With retry:
// never on the audio thread.
void ApplyShadowPeerToSHM(ShadowPeer& shadow, QuellbridgeSHM& registry) noexcept;

// ---- Re-pairing by name after a reload -------------------------------------
//
// Slots of a process that ended without leaving (a crashed host, a restarted
// plug-in sandbox) stay alive in the registry with their names until a sweep
// frees them. A reloaded instance therefore takes only a partner that looks
// alive and is free, and counts a pairing made by name as restored only once
// that partner has shown a newer sign of life.

// Progress of the search for the former peer. Guarded by the owner
// (Quellbridge's persistMutex).
struct NameRepair {
  bool pending = false;       // looking for the persisted peer name
  uint64_t candidate = 0;     // paired with by name, not yet seen alive since
  int64_t candidateBeat = 0;  // its heartbeat when it was paired with
  bool shadowGiven = false;   // the shadow was replayed into candidate
};

struct RepairCandidate {
  uint64_t id = 0;  // 0 = none
  int64_t heartbeat = 0;
};

// The lowest slot other than the own one whose name equals `name` (over 64
// bytes, bounded), whose heartbeat is fresh, and which is free: unpaired,
// paired with this instance, or paired with an instance that is gone or
// stale. None when the lock was not had. With retry.
RepairCandidate FindRepairCandidate(QuellbridgeSHM& registry, const char (&name)[kNameSize]) noexcept;

enum class PartnerState { Busy, Gone, Stale, Alive };

struct PartnerLook {
  PartnerState state = PartnerState::Gone;
  int64_t heartbeat = 0;
  char name[kNameSize] = {};  // terminated
};

// How the instance carrying id looks now: gone (no alive slot), stale (no
// fresh heartbeat) or alive, with its heartbeat and name; busy when the lock
// was not had. With retry.
PartnerLook LookAtPartner(QuellbridgeSHM& registry, uint64_t id) noexcept;

}  // namespace qb
