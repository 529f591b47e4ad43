// Quellbridge's persisted state: the state chunk, the pull of the registry's
// groups into the parameters before saving, the push of a restored state into
// the own slot, the shadow peer, and re-pairing by name after a reload.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "core/Quellbridge.h"
#include "registry/SlotGroups.h"
#include "registry/StateChunk.h"

namespace qb {
namespace {

double Clamp(double v, double lo, double hi) { return v < lo ? lo : (v > hi ? hi : v); }

// Copies at most 63 characters of a stored, possibly unterminated, name.
void CopyName(const char* src, char (&dst)[kNameSize]) { CopyBoundedName(src, dst); }

// Reads a float at pos into dst when present; a non-finite value keeps dst.
// Returns the next position, or -1 when the chunk ends before it.
int ReadFiniteFloat(const plinth::IByteChunk& chunk, int pos, float& dst) {
  float v = 0.0f;
  const int next = chunk.Get(&v, pos);
  if (next >= 0 && std::isfinite(v)) dst = v;
  return next;
}

}  // namespace

// ---- Saving -------------------------------------------------------------

bool Quellbridge::SerializeState(plinth::IByteChunk& chunk) const {
  // Saving first takes over what editors left in the own slot. The parameter
  // objects are the host-visible state, so this is done even from a const save.
  const_cast<Quellbridge*>(this)->FlushSHMToParams();

  QBStateChunk c{};
  {
    std::lock_guard<std::mutex> lock(persistMutex);
    std::memcpy(c.instanceName, instanceName, kNameSize);
    c.bandCount = persistedBandCount.load(std::memory_order_relaxed);
    std::memcpy(c.bandFreqs, persistedBandFreqs, sizeof c.bandFreqs);
    for (int i = 0; i < 3; ++i) c.bandEnabled[i] = persistedBandEnabled[i] ? 1 : 0;
    std::memcpy(c.peerName, persistedPeerName, kNameSize);
    c.shadowBandCount = shadow.bandCount;
    std::memcpy(c.shadowFreqs, shadow.freqs, sizeof c.shadowFreqs);
    std::memcpy(c.shadowThresholds, shadow.thresholds, sizeof c.shadowThresholds);
    std::memcpy(c.shadowRatios, shadow.ratios, sizeof c.shadowRatios);
    for (int i = 0; i < 3; ++i) c.shadowEnabled[i] = shadow.enabled[i] ? 1 : 0;
    c.shadowHp = shadow.hp;
    c.shadowLp = shadow.lp;
    c.shadowAttack = shadow.attack;
    c.shadowRelease = shadow.release;
    c.shadowMakeup = shadow.makeup;
  }
  chunk.PutBytes(&c, kStatePersistedBytes);
  if (!SerializeParams(chunk)) return false;
  const int32_t width = GetEditorWidth() > 0 ? GetEditorWidth() : kDefaultEditorWidth;
  const int32_t height = GetEditorHeight() > 0 ? GetEditorHeight() : kDefaultEditorHeight;
  chunk.Put(&width);
  chunk.Put(&height);
  return true;
}

// ---- Loading ------------------------------------------------------------

int Quellbridge::UnserializeState(const plinth::IByteChunk& chunk, int startPos) {
  // A start outside the chunk holds nothing (and keeps the offsets below from
  // overflowing).
  const bool startInside = startPos >= 0 && startPos <= chunk.Size();
  const int p = startInside ? startPos : chunk.Size();
  int paramPos = -1;  // where the parameter block starts; -1 = unreadable
  {
    std::lock_guard<std::mutex> lock(persistMutex);
    // Each stage returns false when the chunk ends before its field.
    auto readPersisted = [&]() -> bool {
      char name[kNameSize];
      if (!startInside || chunk.GetBytes(name, kNameSize, p) < 0) {
        persistedBandCount.store(1, std::memory_order_relaxed);
        return false;
      }
      // The own slot's display name follows with the push below.
      if (name[0] != '\0') CopyName(name, instanceName);

      int32_t count = 0;
      if (chunk.Get(&count, p + offsetof(QBStateChunk, bandCount)) < 0) {
        persistedBandCount.store(1, std::memory_order_relaxed);
        return false;
      }
      if (count >= 1 && count <= 3) persistedBandCount.store(count, std::memory_order_relaxed);

      float freqs[6];
      uint8_t enabled[3];
      const bool haveFreqs = chunk.GetBytes(freqs, sizeof freqs, p + offsetof(QBStateChunk, bandFreqs)) >= 0;
      if (haveFreqs) {
        // A band with a non-finite edge is stored as 0..0, an invalid band:
        // its edges are rebuilt from the crossovers.
        for (int i = 0; i < 3; ++i) {
          const bool finite = std::isfinite(freqs[2 * i]) && std::isfinite(freqs[2 * i + 1]);
          persistedBandFreqs[2 * i] = finite ? freqs[2 * i] : 0.0f;
          persistedBandFreqs[2 * i + 1] = finite ? freqs[2 * i + 1] : 0.0f;
        }
      }
      const bool haveEnabled =
          chunk.GetBytes(enabled, sizeof enabled, p + offsetof(QBStateChunk, bandEnabled)) >= 0;
      if (haveEnabled)
        for (int i = 0; i < 3; ++i) persistedBandEnabled[i] = enabled[i] != 0;
      if (!haveFreqs || !haveEnabled) return false;
      return true;
    };
    auto readPeerAndShadow = [&]() -> bool {
      char peer[kNameSize];
      if (chunk.GetBytes(peer, kNameSize, p + offsetof(QBStateChunk, peerName)) < 0) return false;
      CopyName(peer, persistedPeerName);

      int32_t count = 0;
      int pos = chunk.Get(&count, p + offsetof(QBStateChunk, shadowBandCount));
      if (pos < 0) return false;
      if (count < 0 || count > 3) {
        // Unknown shadow: keep ours, and take the parameters from their own
        // place rather than misreading the shadow fields as parameter values.
        paramPos = p + offsetof(QBStateChunk, params);
        return true;
      }
      shadow.bandCount = count;
      shadow.applied = false;
      for (float& f : shadow.freqs)
        if ((pos = ReadFiniteFloat(chunk, pos, f)) < 0) return false;
      for (float& t : shadow.thresholds)
        if ((pos = ReadFiniteFloat(chunk, pos, t)) < 0) return false;
      for (float& r : shadow.ratios)
        if ((pos = ReadFiniteFloat(chunk, pos, r)) < 0) return false;
      for (bool& e : shadow.enabled) {
        uint8_t b = 0;
        if ((pos = chunk.Get(&b, pos)) < 0) return false;
        e = b != 0;
      }
      for (float* f : {&shadow.hp, &shadow.lp, &shadow.attack, &shadow.release, &shadow.makeup})
        if ((pos = ReadFiniteFloat(chunk, pos, *f)) < 0) return false;
      paramPos = pos;
      return true;
    };

    const bool persistedComplete = readPersisted();
    for (int i = 0; i < 3; ++i) liveBandEnabled[i].store(persistedBandEnabled[i], std::memory_order_relaxed);
    if (persistedComplete) readPeerAndShadow();
    repair = NameRepair{};
    repair.pending = persistedPeerName[0] != '\0';
  }

  int pos = UnserializeParams(chunk, paramPos);

  if (registry.IsOpen()) PushStateToOwnSlot();

  if (pos >= 0 && chunk.Has(pos, 8)) {
    int32_t width = 0, height = 0;
    chunk.Get(&width, pos);
    chunk.Get(&height, pos + 4);
    if (width > 0 && height > 0) {
      SetEditorSize(width, height);
      pos += 8;
    }
  }

  // A reloaded pair finds itself again by name without waiting for a beat.
  RepairAndReplayShadow();
  return pos;
}

// ---- The own slot ---------------------------------------------------------

void Quellbridge::PushStateToOwnSlot() {
  QBBand bands[kMaxBands] = {};
  int n = 1;
  bool enabled[3];
  char name[kNameSize];
  {
    std::lock_guard<std::mutex> lock(persistMutex);
    std::memcpy(name, instanceName, kNameSize);
    n = std::clamp<int>(persistedBandCount.load(std::memory_order_relaxed), 1, 3);
    bool edgesValid = true;
    for (int i = 0; i < n; ++i) edgesValid = edgesValid && persistedBandFreqs[2 * i] < persistedBandFreqs[2 * i + 1];
    float edges[6];
    if (edgesValid) {
      std::memcpy(edges, persistedBandFreqs, sizeof edges);
    } else {
      const float fl = static_cast<float>(ParamValue(kFreqLow));
      const float fh = static_cast<float>(ParamValue(kFreqHigh));
      const float rebuilt[3][6] = {{20.0f, 20000.0f, 0, 0, 0, 0},
                                   {20.0f, fl, fl, 20000.0f, 0, 0},
                                   {20.0f, fl, fl, fh, fh, 20000.0f}};
      std::memcpy(edges, rebuilt[n - 1], sizeof edges);
    }
    for (int i = 0; i < 3; ++i) enabled[i] = persistedBandEnabled[i];
    for (int i = 0; i < n; ++i) {
      bands[i].freqLo = edges[2 * i];
      bands[i].freqHi = edges[2 * i + 1];
      bands[i].thresholdDb = static_cast<float>(ParamValue(kThreshLow + i));
      bands[i].ratio = static_cast<float>(ParamValue(kRatioLow + i));
      bands[i].enabled = enabled[i] ? 1 : 0;
    }
  }
  // A write that could not be made keeps the last-seen counter, so the
  // slot's older contents are not taken over the restored values; the
  // heartbeat tries again.
  registry.SetDisplayName(name);
  const PartnerLook own = LookAtPartner(registry, registry.InstanceId());
  bool complete = own.state != PartnerState::Busy && std::strncmp(own.name, name, kNameSize) == 0;
  if (const uint64_t s = registry.WriteBands(SlotTarget::Own, n, bands)) {
    lastBandSeq.store(s);
    lastPushedBandSeq.store(s);
  } else {
    complete = false;
  }
  if (const uint64_t s = registry.WriteHpLp(SlotTarget::Own, static_cast<float>(ParamValue(kHP)),
                                            static_cast<float>(ParamValue(kLP))))
    lastHpLpSeq.store(s);
  else complete = false;
  if (const uint64_t s = registry.WriteControls(static_cast<float>(ParamValue(kAttack)),
                                                static_cast<float>(ParamValue(kRelease)),
                                                static_cast<float>(ParamValue(kMakeup))))
    lastControlsSeq.store(s);
  else complete = false;
  statePushPending.store(!complete && registry.IsOpen(), std::memory_order_relaxed);
}

// Takes over what editors left in the own slot.
// - Band layout (count, edges, enables): whenever the slot holds a band group
//   other than the one this instance pushed from its persisted members. The
//   layout lives only in the slot and the state, so nothing newer can be lost
//   by taking it, even when the audio path has adopted the group already.
// - Parameters: only from groups whose counter differs from the last one
//   applied or written. A group already applied is older than the
//   parameters, which the host may have changed since: taking it again would
//   undo those changes.
// While a restored state still waits to be pushed, the slot holds older
// contents and its layout is not taken.
void Quellbridge::FlushSHMToParams() {
  if (!registry.IsOpen()) return;
  // Sets a parameter and its processing target; fields the slot held as
  // non-finite are skipped.
  auto set = [this](int idx, double v, bool finite = true) {
    if (!finite) return;
    plinth::IParam* param = GetParam(idx);
    const double before = param->Value();
    param->Set(v);
    paramTargets[idx].store(param->Value(), std::memory_order_relaxed);
    if (param->Value() != before) InformHostOfParamChange(idx);
  };
  constexpr int kFreqLoField = 0, kFreqHiField = 1, kThresholdField = 2, kRatioField = 3;

  QBBandGroup bands;
  const GroupRead rb = registry.ReadBands(SlotTarget::Own, LockMode::WithRetry, bands);
  const bool haveBands = (rb == GroupRead::Read || rb == GroupRead::Malformed) && bands.seq != 0 && bands.count > 0;
  const int n = bands.count;
  if (haveBands && bands.seq != lastPushedBandSeq.load(std::memory_order_relaxed) &&
      !statePushPending.load(std::memory_order_relaxed)) {
    std::lock_guard<std::mutex> lock(persistMutex);
    persistedBandCount.store(n, std::memory_order_relaxed);
    for (float& f : persistedBandFreqs) f = 0.0f;
    for (int i = 0; i < n; ++i) {
      // A band with a non-finite edge is kept as 0..0, an invalid band.
      const bool finite = bands.Finite(i, kFreqLoField) && bands.Finite(i, kFreqHiField);
      persistedBandFreqs[2 * i] = finite ? bands.bands[i].freqLo : 0.0f;
      persistedBandFreqs[2 * i + 1] = finite ? bands.bands[i].freqHi : 0.0f;
    }
    for (int i = 0; i < 3; ++i) persistedBandEnabled[i] = i < n ? bands.bands[i].enabled != 0 : true;
    for (int i = 0; i < 3; ++i) liveBandEnabled[i].store(persistedBandEnabled[i], std::memory_order_relaxed);
  }
  if (haveBands && bands.seq != lastBandSeq.load(std::memory_order_relaxed)) {
    if (n == 1) set(kFreqLow, 20.0);
    else set(kFreqLow, Clamp(bands.bands[0].freqHi, 20.0, 2000.0), bands.Finite(0, kFreqHiField));
    if (n <= 2) set(kFreqHigh, 20000.0);
    else set(kFreqHigh, Clamp(bands.bands[1].freqHi, 500.0, 20000.0), bands.Finite(1, kFreqHiField));
    for (int i = 0; i < n; ++i) {
      set(kThreshLow + i, bands.bands[i].thresholdDb, bands.Finite(i, kThresholdField));
      set(kRatioLow + i, bands.bands[i].ratio, bands.Finite(i, kRatioField));
    }
    lastBandSeq.store(bands.seq, std::memory_order_relaxed);
  }

  QBHpLpGroup hpLp;
  const GroupRead rh = registry.ReadHpLp(SlotTarget::Own, LockMode::WithRetry, hpLp);
  if ((rh == GroupRead::Read || rh == GroupRead::Malformed) && hpLp.seq != 0 &&
      hpLp.seq != lastHpLpSeq.load(std::memory_order_relaxed)) {
    set(kHP, Clamp(hpLp.hpHz, 20.0, 1000.0), !(hpLp.nonFinite & 1u));
    set(kLP, Clamp(hpLp.lpHz, 1000.0, 20000.0), !(hpLp.nonFinite & 2u));
    lastHpLpSeq.store(hpLp.seq, std::memory_order_relaxed);
  }

  QBControlsGroup controls;
  const GroupRead rc = registry.ReadControls(SlotTarget::Own, LockMode::WithRetry, controls);
  if ((rc == GroupRead::Read || rc == GroupRead::Malformed) && controls.seq != 0 &&
      controls.seq != lastControlsSeq.load(std::memory_order_relaxed)) {
    set(kAttack, Clamp(controls.attackMs, 0.1, 300.0), !(controls.nonFinite & 1u));
    set(kRelease, Clamp(controls.releaseMs, 5.0, 2000.0), !(controls.nonFinite & 2u));
    set(kMakeup, Clamp(controls.makeupDb, -12.0, 24.0), !(controls.nonFinite & 4u));
    processor.setAttackTime(ParamValue(kAttack));
    processor.setReleaseTime(ParamValue(kRelease));
    lastControlsSeq.store(controls.seq, std::memory_order_relaxed);
  }
}

// ---- Setters ------------------------------------------------------------

void Quellbridge::SetInstanceName(const char* name) {
  if (!name) return;
  std::lock_guard<std::mutex> lock(persistMutex);
  CopyName(name, instanceName);
  registry.SetDisplayName(instanceName);
}

void Quellbridge::SetPersistedPeerName(const char* name) {
  std::lock_guard<std::mutex> lock(persistMutex);
  CopyName(name ? name : "", persistedPeerName);
}

void Quellbridge::SetPersistedBandFreqs(const float (&freqs)[6]) {
  std::lock_guard<std::mutex> lock(persistMutex);
  std::memcpy(persistedBandFreqs, freqs, sizeof persistedBandFreqs);
}

void Quellbridge::GetInstanceName(char (&out)[kNameSize]) const {
  std::lock_guard<std::mutex> lock(persistMutex);
  std::memcpy(out, instanceName, kNameSize);
}

void Quellbridge::GetPersistedPeerName(char (&out)[kNameSize]) const {
  std::lock_guard<std::mutex> lock(persistMutex);
  std::memcpy(out, persistedPeerName, kNameSize);
}

// ---- Shadow peer and re-pairing -------------------------------------------

void Quellbridge::ClearShadowPeer() {
  std::lock_guard<std::mutex> lock(persistMutex);
  shadow.Clear();
}

void Quellbridge::RecordShadowPeerBands(const QBBand* bands, int count) {
  std::lock_guard<std::mutex> lock(persistMutex);
  shadow.RecordBands(bands, count);
}

void Quellbridge::RecordShadowPeerHpLp(float hp, float lp) {
  std::lock_guard<std::mutex> lock(persistMutex);
  shadow.RecordHpLp(hp, lp);
}

void Quellbridge::RecordShadowPeerControls(float attack, float release, float makeup) {
  std::lock_guard<std::mutex> lock(persistMutex);
  shadow.RecordControls(attack, release, makeup);
}

void Quellbridge::ApplyShadowPeerToSHM() {
  std::lock_guard<std::mutex> lock(persistMutex);
  qb::ApplyShadowPeerToSHM(shadow, registry);
}

ShadowPeer Quellbridge::GetShadowPeer() const {
  std::lock_guard<std::mutex> lock(persistMutex);
  return shadow;
}

bool Quellbridge::RepairByName(const QBInstanceList& instances) {
  char wanted[kNameSize];
  GetPersistedPeerName(wanted);
  if (wanted[0] == '\0' || !registry.IsOpen()) return false;
  for (const QBInstanceInfo& info : instances) {
    if (std::strncmp(info.displayName, wanted, kNameSize) != 0) continue;
    registry.SetRemoteId(info.instanceId);
    return true;
  }
  return false;
}

// Heartbeat thread, after every beat: finishes writes the audio path or a
// restore could not make, then looks for the former peer.
void Quellbridge::OnHeartbeat() {
  if (!registry.IsOpen()) return;
  FlushPendingControls();
  if (statePushPending.load(std::memory_order_relaxed)) PushStateToOwnSlot();
  RepairAndReplayShadow();
}

// Heartbeat and restore: re-pairs a reloaded instance with its former peer by
// name and replays the shadow of the edits this side made to that peer once,
// only into an instance carrying the persisted peer name.
// - Once paired again (by name, or by anybody's choice) a reloaded instance
//   stops looking, so it never takes its old peer back from a newer pairing.
// - A partner found by name that goes stale or vanishes before it shows a
//   newer sign of life was left behind by an ended process: it is let go, the
//   shadow re-armed if it went there, and the search goes on.
// (With an editor open, the editor's poll re-pairs as well.)
void Quellbridge::RepairAndReplayShadow() {
  if (!registry.IsOpen()) return;
  std::lock_guard<std::mutex> lock(persistMutex);
  NameRepair& r = repair;
  if (persistedPeerName[0] == '\0') {
    r = NameRepair{};
    return;
  }
  if (!r.pending && !shadow.Armed()) return;

  registry.RefreshRemoteId();
  uint64_t peer = registry.RemoteId();
  PartnerLook look;
  if (peer != 0) {
    look = LookAtPartner(registry, peer);
    if (look.state == PartnerState::Busy) return;
  }
  const bool paired = peer != 0 && look.state == PartnerState::Alive;

  if (r.pending) {
    if (paired) {
      // Paired by somebody's choice, or the partner found by name is alive.
      if (peer != r.candidate || look.heartbeat != r.candidateBeat) r = NameRepair{};
    } else if (r.candidate != 0 && peer != r.candidate) {
      // Somebody paired the partner found by name elsewhere: a newer pairing.
      r = NameRepair{};
    } else {
      if (r.candidate != 0) {
        // Left behind by an ended process: stop ducking against its frozen
        // spectrum and keep the shadow for the real peer.
        if (r.shadowGiven) shadow.applied = false;
        registry.SetRemoteId(0);
        peer = 0;
        r.candidate = 0;
        r.shadowGiven = false;
      }
      const RepairCandidate c = FindRepairCandidate(registry, persistedPeerName);
      if (c.id == 0) return;
      registry.SetRemoteId(c.id);
      r.candidate = c.id;
      r.candidateBeat = c.heartbeat;
      peer = c.id;
      look.state = PartnerState::Alive;
      CopyName(persistedPeerName, look.name);
    }
  }

  if (!shadow.Armed() || peer == 0 || look.state != PartnerState::Alive) return;
  if (std::strncmp(look.name, persistedPeerName, kNameSize) != 0) return;
  qb::ApplyShadowPeerToSHM(shadow, registry);
  if (r.pending && peer == r.candidate) r.shadowGiven = true;
}

// Heartbeat thread: the own slot had been freed and taken by another
// instance; the heartbeat claimed a new one. Write name and groups again.
void Quellbridge::OnSlotRejoined() {
  ownSpectrumStale.store(true, std::memory_order_relaxed);
  PushStateToOwnSlot();
  controlsPending.store(false, std::memory_order_relaxed);
}

}  // namespace qb
