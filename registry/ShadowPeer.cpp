#include "registry/ShadowPeer.h"

#include <cstring>
#include <ctime>

#include "registry/QuellbridgeSHM.h"

namespace qb {

void ShadowPeer::Clear() noexcept {
  *this = ShadowPeer{};
  for (float& r : ratios) r = 4.0f;
}

void ShadowPeer::RecordBands(const QBBand* bands, int count) noexcept {
  if (!bands || count < 1) {
    Clear();
    return;
  }
  const int n = count < kMaxBands ? count : kMaxBands;
  for (float& f : freqs) f = 0.0f;
  bandCount = n;
  for (int i = 0; i < n; ++i) {
    freqs[2 * i] = bands[i].freqLo;
    freqs[2 * i + 1] = bands[i].freqHi;
    thresholds[i] = bands[i].thresholdDb;
    ratios[i] = bands[i].ratio;
    enabled[i] = bands[i].enabled != 0;
  }
  applied = false;
}

void ShadowPeer::RecordHpLp(float hpHz, float lpHz) noexcept {
  hp = hpHz;
  lp = lpHz;
  if (bandCount == 0) bandCount = 1;
  applied = false;
}

void ShadowPeer::RecordControls(float attackMs, float releaseMs, float makeupDb) noexcept {
  attack = attackMs;
  release = releaseMs;
  makeup = makeupDb;
  if (bandCount == 0) bandCount = 1;
  applied = false;
}

bool ShadowPeer::HasWellFormedBand() const noexcept {
  const int n = bandCount < kMaxBands ? bandCount : kMaxBands;
  for (int i = 0; i < n; ++i)
    if (freqs[2 * i + 1] > freqs[2 * i]) return true;
  return false;
}

int ShadowPeer::BuildBands(QBBand (&out)[kMaxBands]) const noexcept {
  const int n = bandCount < 0 ? 0 : (bandCount < kMaxBands ? bandCount : kMaxBands);
  for (int i = 0; i < n; ++i) {
    out[i] = QBBand{};
    out[i].freqLo = freqs[2 * i];
    out[i].freqHi = freqs[2 * i + 1];
    out[i].thresholdDb = thresholds[i];
    out[i].ratio = ratios[i];
    out[i].enabled = enabled[i] ? 1 : 0;
  }
  return n;
}

void ApplyShadowPeerToSHM(ShadowPeer& shadow, QuellbridgeSHM& registry) noexcept {
  if (!shadow.Armed() || !registry.IsOpen() || registry.RemoteId() == 0) return;
  registry.WriteHpLp(SlotTarget::Peer, shadow.hp, shadow.lp);
  registry.WriteRemoteControls(shadow.attack, shadow.release, shadow.makeup);
  if (shadow.HasWellFormedBand()) {
    QBBand bands[kMaxBands];
    const int n = shadow.BuildBands(bands);
    registry.WriteBands(SlotTarget::Peer, n, bands);
  }
  shadow.applied = true;
}

namespace {

bool LooksAlive(const QBSlot& slot, int64_t now) noexcept {
  return SlotIsAlive(slot) && HeartbeatIsFresh(now, slot.heartbeat, QuellbridgeSHM::kStaleAgeSeconds);
}

int64_t Now() noexcept { return static_cast<int64_t>(std::time(nullptr)); }

}  // namespace

RepairCandidate FindRepairCandidate(QuellbridgeSHM& registry, const char (&name)[kNameSize]) noexcept {
  RepairCandidate found;
  QBRegistry* r = registry.Header();
  if (!registry.IsOpen() || !r || name[0] == '\0') return found;
  char wanted[kNameSize];
  CopyBoundedName(name, wanted);
  RegistryLock lock(r->mutex, LockMode::WithRetry);
  if (!lock) return found;
  const int64_t now = Now();
  const uint64_t self = registry.InstanceId();
  for (const QBSlot& s : r->slots) {
    if (!LooksAlive(s, now) || s.instanceId == 0 || s.instanceId == self) continue;
    char slotName[kNameSize];
    CopyBoundedName(s.displayName, slotName);
    if (std::strncmp(slotName, wanted, kNameSize) != 0) continue;
    const uint64_t partner = s.peerId;
    if (partner != 0 && partner != self && partner != s.instanceId) {
      const int j = FindAliveSlot(*r, partner);
      if (j >= 0 && LooksAlive(r->slots[j], now)) continue;  // paired with a live instance
    }
    found.id = s.instanceId;
    found.heartbeat = s.heartbeat;
    break;
  }
  return found;
}

PartnerLook LookAtPartner(QuellbridgeSHM& registry, uint64_t id) noexcept {
  PartnerLook look;
  QBRegistry* r = registry.Header();
  if (!registry.IsOpen() || !r || id == 0) return look;
  RegistryLock lock(r->mutex, LockMode::WithRetry);
  if (!lock) {
    look.state = PartnerState::Busy;
    return look;
  }
  const int j = FindAliveSlot(*r, id);
  if (j < 0) return look;
  const QBSlot& s = r->slots[j];
  look.heartbeat = s.heartbeat;
  CopyBoundedName(s.displayName, look.name);
  look.state = LooksAlive(s, Now()) ? PartnerState::Alive : PartnerState::Stale;
  return look;
}

}  // namespace qb
