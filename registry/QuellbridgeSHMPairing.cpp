// Pairing, bypass flags and the settings groups exchanged between partners.
#include <cmath>
#include <cstring>

#include "registry/QuellbridgeSHM.h"

namespace qb {

int QuellbridgeSHM::FindSlot(uint64_t id) noexcept {
  if (!Usable() || id == 0) return -1;
  RegistryLock lock(header->mutex, LockMode::WithRetry);
  if (!lock) return -1;
  return FindAliveSlot(*header, id);
}

QBInstanceList QuellbridgeSHM::ListInstances() noexcept {
  QBInstanceList list;
  if (!Usable()) return list;
  RegistryLock lock(header->mutex, LockMode::WithRetry);
  if (!lock) return list;
  for (const QBSlot& s : header->slots) {
    if (!SlotIsAlive(s) || s.instanceId == instanceId) continue;
    QBInstanceInfo& info = list.items[list.count++];
    info.instanceId = s.instanceId;
    CopyBoundedName(s.displayName, info.displayName);
  }
  return list;
}

void QuellbridgeSHM::SetRemoteId(uint64_t id) noexcept {
  remoteId.store(id, std::memory_order_relaxed);
  if (!Usable() || SlotIndex() < 0) return;
  RegistryLock lock(header->mutex, LockMode::WithRetry);
  if (!lock) return;
  QBSlot* own = OwnSlotLocked();
  if (!own) return;
  // Also under the lock, so a concurrent refresh from the old peerId cannot
  // leave the handle on the former partner.
  remoteId.store(id, std::memory_order_relaxed);
  const uint64_t self = instanceId;
  const uint64_t old = own->peerId;
  own->peerId = id;
  // Releases every alive slot of `partner` that still names `named`.
  auto release = [this](uint64_t partner, uint64_t named) {
    for (QBSlot& s : header->slots)
      if (SlotIsAlive(s) && s.instanceId == partner && s.peerId == named) s.peerId = 0;
  };
  if (old != 0 && old != id) release(old, self);
  if (id == 0) return;
  const int j = FindAliveSlot(*header, id);
  if (j < 0) return;
  QBSlot& partner = header->slots[j];
  const uint64_t previous = partner.peerId;
  if (previous != 0 && previous != self) release(previous, id);
  partner.peerId = self;
}

void QuellbridgeSHM::SetBypassOf(uint64_t id, bool flag) noexcept {
  if (!Usable() || id == 0) return;
  RegistryLock lock(header->mutex, LockMode::WithRetry);
  if (!lock) return;
  const int j = FindAliveSlot(*header, id);
  if (j >= 0) header->slots[j].bypass = flag ? 1 : 0;
}

std::optional<bool> QuellbridgeSHM::ReadBypassOf(uint64_t id) noexcept {
  if (!Usable() || id == 0) return false;
  RegistryLock lock(header->mutex, LockMode::SingleTry);
  if (!lock) return std::nullopt;
  const int j = FindAliveSlot(*header, id);
  return j >= 0 && header->slots[j].bypass != 0;
}

std::optional<bool> QuellbridgeSHM::ToggleOwnBypass() noexcept {
  if (!Usable() || SlotIndex() < 0) return std::nullopt;
  ReadOwnBypass();
  const bool flag = !CachedBypass();
  RegistryLock lock(header->mutex, LockMode::WithRetry);
  if (!lock) return std::nullopt;
  QBSlot* own = OwnSlotLocked();
  if (!own) return std::nullopt;
  own->bypass = flag ? 1 : 0;
  cachedBypass.store(flag, std::memory_order_relaxed);
  return flag;
}

namespace {

bool AllFinite(float a, float b, float c = 0.0f) { return std::isfinite(a) && std::isfinite(b) && std::isfinite(c); }

void StoreControls(QBSlot& s, float attackMs, float releaseMs, float makeupDb) {
  s.attackMs = attackMs;
  s.releaseMs = releaseMs;
  s.makeupDb = makeupDb;
  ++s.controlsSeq;
}

}  // namespace

uint64_t QuellbridgeSHM::WriteControls(float attackMs, float releaseMs, float makeupDb, LockMode mode) noexcept {
  if (!Usable() || SlotIndex() < 0 || !AllFinite(attackMs, releaseMs, makeupDb)) return 0;
  RegistryLock lock(header->mutex, mode);
  if (!lock) return 0;
  QBSlot* own = OwnSlotLocked();
  if (!own) return 0;
  StoreControls(*own, attackMs, releaseMs, makeupDb);
  return own->controlsSeq;
}

void QuellbridgeSHM::WriteRemoteControls(float attackMs, float releaseMs, float makeupDb) noexcept {
  if (!Usable() || RemoteId() == 0 || !AllFinite(attackMs, releaseMs, makeupDb)) return;
  RegistryLock lock(header->mutex, LockMode::WithRetry);
  if (!lock) return;
  if (QBSlot* peer = TargetSlotLocked(SlotTarget::Peer)) StoreControls(*peer, attackMs, releaseMs, makeupDb);
}

void QuellbridgeSHM::ReadRemoteControls(float& attackMs, float& releaseMs, float& makeupDb) noexcept {
  attackMs = kDefaultAttackMs;
  releaseMs = kDefaultReleaseMs;
  makeupDb = kDefaultMakeupDb;
  if (!Usable() || RemoteId() == 0) return;
  RegistryLock lock(header->mutex, LockMode::WithRetry);
  if (!lock) return;
  const QBSlot* peer = TargetSlotLocked(SlotTarget::Peer);
  if (!peer) return;
  if (std::isfinite(peer->attackMs)) attackMs = peer->attackMs;
  if (std::isfinite(peer->releaseMs)) releaseMs = peer->releaseMs;
  if (std::isfinite(peer->makeupDb)) makeupDb = peer->makeupDb;
}

uint64_t QuellbridgeSHM::WriteBands(SlotTarget target, int count, const QBBand* bands) noexcept {
  const int n = count < 0 ? 0 : (count > kMaxBands ? kMaxBands : count);
  if (n > 0 && !bands) return 0;
  QBBand stored[kMaxBands] = {};
  for (int i = 0; i < n; ++i) {
    if (!IsFiniteBand(bands[i])) return 0;
    stored[i] = NormalisedBand(bands[i]);
  }
  if (!Usable()) return 0;
  if (target == SlotTarget::Own ? SlotIndex() < 0 : RemoteId() == 0) return 0;
  RegistryLock lock(header->mutex, LockMode::WithRetry);
  if (!lock) return 0;
  QBSlot* s = TargetSlotLocked(target);
  if (!s) return 0;
  s->bandCount = n;
  std::memcpy(s->bands, stored, sizeof(QBBand) * static_cast<std::size_t>(n));
  return ++s->bandSeq;
}

uint64_t QuellbridgeSHM::WriteHpLp(SlotTarget target, float hpHz, float lpHz) noexcept {
  if (!Usable() || !AllFinite(hpHz, lpHz)) return 0;
  if (target == SlotTarget::Own ? SlotIndex() < 0 : RemoteId() == 0) return 0;
  RegistryLock lock(header->mutex, LockMode::WithRetry);
  if (!lock) return 0;
  QBSlot* s = TargetSlotLocked(target);
  if (!s) return 0;
  s->hpHz = hpHz;
  s->lpHz = lpHz;
  return ++s->hpLpSeq;
}

template <class Fn>
GroupRead QuellbridgeSHM::ReadGroup(SlotTarget target, LockMode mode, Fn&& read) noexcept {
  if (!Usable()) return GroupRead::Absent;
  if (target == SlotTarget::Own ? SlotIndex() < 0 : RemoteId() == 0) return GroupRead::Absent;
  RegistryLock lock(header->mutex, mode);
  if (!lock) return GroupRead::Busy;
  const QBSlot* s = TargetSlotLocked(target);
  if (!s) return GroupRead::Absent;
  return read(*s) ? GroupRead::Read : GroupRead::Malformed;
}

GroupRead QuellbridgeSHM::ReadBands(SlotTarget target, LockMode mode, QBBandGroup& out) noexcept {
  return ReadGroup(target, mode, [&out](const QBSlot& s) { return ReadBandGroup(s, out); });
}

GroupRead QuellbridgeSHM::ReadHpLp(SlotTarget target, LockMode mode, QBHpLpGroup& out) noexcept {
  return ReadGroup(target, mode, [&out](const QBSlot& s) { return ReadHpLpGroup(s, out); });
}

GroupRead QuellbridgeSHM::ReadControls(SlotTarget target, LockMode mode, QBControlsGroup& out) noexcept {
  return ReadGroup(target, mode, [&out](const QBSlot& s) { return ReadControlsGroup(s, out); });
}

QBGroupCounters QuellbridgeSHM::WriteDefaultGroups() noexcept {
  QBGroupCounters counters;
  counters.bandSeq = WriteBands(SlotTarget::Own, 1, &kDefaultBand);
  counters.hpLpSeq = WriteHpLp(SlotTarget::Own, kDefaultHpHz, kDefaultLpHz);
  counters.controlsSeq = WriteControls(kDefaultAttackMs, kDefaultReleaseMs, kDefaultMakeupDb);
  return counters;
}

}  // namespace qb
