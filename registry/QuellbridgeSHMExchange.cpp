// Per-block primitives of the audio path and the editor: single try, no
// allocation, at most one 4 KiB copy under the lock. Sanitising of what was
// read happens after the lock is released.
#include <cstring>
#include <ctime>

#include "registry/QuellbridgeSHM.h"

namespace qb {

bool QuellbridgeSHM::RefreshRemoteId() noexcept {
  if (!Usable() || SlotIndex() < 0) return false;
  RegistryLock lock(header->mutex, LockMode::SingleTry);
  if (!lock) return false;
  const QBSlot* own = OwnSlotLocked();
  if (!own) return false;
  remoteId.store(own->peerId, std::memory_order_relaxed);
  return true;
}

bool QuellbridgeSHM::ReadOwnBypass() noexcept {
  if (!Usable() || SlotIndex() < 0) return CachedBypass();
  RegistryLock lock(header->mutex, LockMode::SingleTry);
  if (!lock) return CachedBypass();
  const QBSlot* own = OwnSlotLocked();
  if (!own) return CachedBypass();
  const bool bypassed = own->bypass != 0;
  cachedBypass.store(bypassed, std::memory_order_relaxed);
  return bypassed;
}

bool QuellbridgeSHM::CopyPeerSpectrum(float (&out)[kSpectrumBins], int count) noexcept {
  if (!Usable() || RemoteId() == 0) return false;
  const int n = count < 0 ? 0 : (count > kSpectrumBins ? kSpectrumBins : count);
  {
    RegistryLock lock(header->mutex, LockMode::SingleTry);
    if (!lock) return false;
    const QBSlot* peer = TargetSlotLocked(SlotTarget::Peer);
    if (!peer) return false;
    std::memcpy(out, peer->spectrum, sizeof(float) * static_cast<std::size_t>(n));
  }
  SanitizeMagnitudes(out, n);
  return true;
}

void QuellbridgeSHM::ReadBlockInputs(float (&peerSpectrum)[kSpectrumBins], int peerBins,
                                    QBBlockInputs& out) noexcept {
  out = QBBlockInputs{};
  out.bypassed = CachedBypass();
  if (!Usable()) return;
  const int n = peerBins < 0 ? 0 : (peerBins > kSpectrumBins ? kSpectrumBins : peerBins);
  {
    RegistryLock lock(header->mutex, LockMode::SingleTry);
    if (!lock) {
      out.bands = out.hpLp = out.controls = GroupRead::Busy;
      return;
    }
    if (const QBSlot* own = SlotIndex() >= 0 ? OwnSlotLocked() : nullptr) {
      out.ownSlotRead = true;
      remoteId.store(own->peerId, std::memory_order_relaxed);
      out.bypassed = own->bypass != 0;
      cachedBypass.store(out.bypassed, std::memory_order_relaxed);
      out.bands = ReadBandGroup(*own, out.bandGroup) ? GroupRead::Read : GroupRead::Malformed;
      out.hpLp = ReadHpLpGroup(*own, out.hpLpGroup) ? GroupRead::Read : GroupRead::Malformed;
      out.controls = ReadControlsGroup(*own, out.controlsGroup) ? GroupRead::Read : GroupRead::Malformed;
    }
    if (RemoteId() != 0) {
      if (const QBSlot* peer = TargetSlotLocked(SlotTarget::Peer)) {
        out.peerFound = true;
        std::memcpy(peerSpectrum, peer->spectrum, sizeof(float) * static_cast<std::size_t>(n));
      }
    }
  }
  if (out.peerFound) SanitizeMagnitudes(peerSpectrum, n);
}

bool QuellbridgeSHM::ReadGainReduction(SlotTarget target, LockMode mode, float (&out)[3]) noexcept {
  if (!Usable()) return false;
  if (target == SlotTarget::Own ? SlotIndex() < 0 : RemoteId() == 0) return false;
  {
    RegistryLock lock(header->mutex, mode);
    if (!lock) return false;
    const QBSlot* s = TargetSlotLocked(target);
    if (!s) return false;
    std::memcpy(out, s->gainReduction, sizeof out);
  }
  SanitizeLevels(out, 3);
  return true;
}

template <class Fn>
void QuellbridgeSHM::WithOwnSlot(LockMode mode, Fn&& write) noexcept {
  if (!Usable() || SlotIndex() < 0) return;
  RegistryLock lock(header->mutex, mode);
  if (!lock) return;
  if (QBSlot* own = OwnSlotLocked()) write(*own);
}

bool QuellbridgeSHM::PublishBlockOutputs(const float (&gainReductionDb)[3], const float* spectrum, int spectrumBins,
                                         const float (&bandLevels)[3]) noexcept {
  const int64_t now = static_cast<int64_t>(std::time(nullptr));
  const std::size_t n = static_cast<std::size_t>(
      !spectrum || spectrumBins <= 0 ? 0 : (spectrumBins > kSpectrumBins ? kSpectrumBins : spectrumBins));
  bool written = false;
  WithOwnSlot(LockMode::SingleTry, [&](QBSlot& own) {
    std::memcpy(own.gainReduction, gainReductionDb, sizeof own.gainReduction);
    if (n > 0) std::memcpy(own.spectrum, spectrum, n * sizeof(float));
    std::memcpy(own.bandLevels, bandLevels, sizeof own.bandLevels);
    own.heartbeat = now;
    written = true;
  });
  return written;
}

void QuellbridgeSHM::PublishGainReduction(const float (&gainReductionDb)[3]) noexcept {
  WithOwnSlot(LockMode::SingleTry,
              [&](QBSlot& own) { std::memcpy(own.gainReduction, gainReductionDb, sizeof own.gainReduction); });
}

void QuellbridgeSHM::PublishSpectrum(const float* magnitudes, int n) noexcept {
  if (!magnitudes || n <= 0) return;
  const std::size_t count = static_cast<std::size_t>(n > kSpectrumBins ? kSpectrumBins : n);
  WithOwnSlot(LockMode::SingleTry, [&](QBSlot& own) { std::memcpy(own.spectrum, magnitudes, count * sizeof(float)); });
}

void QuellbridgeSHM::PublishBandLevels(const float (&levels)[3]) noexcept {
  const int64_t now = static_cast<int64_t>(std::time(nullptr));
  WithOwnSlot(LockMode::SingleTry, [&](QBSlot& own) {
    std::memcpy(own.bandLevels, levels, sizeof own.bandLevels);
    own.heartbeat = now;
  });
}

void QuellbridgeSHM::PublishBypassed() noexcept {
  const int64_t now = static_cast<int64_t>(std::time(nullptr));
  WithOwnSlot(LockMode::SingleTry, [&](QBSlot& own) {
    std::memset(own.bandLevels, 0, sizeof own.bandLevels);
    own.heartbeat = now;
    std::memset(own.spectrum, 0, sizeof own.spectrum);
    std::memset(own.gainReduction, 0, sizeof own.gainReduction);
  });
}

void QuellbridgeSHM::WriteFftSize(int32_t fftSize) noexcept {
  WithOwnSlot(LockMode::WithRetry, [&](QBSlot& own) { own.fftSize = fftSize; });
}

void QuellbridgeSHM::PublishEditorSpectrum(const float (&curveDb)[kEditorSpectrumPoints]) noexcept {
  WithOwnSlot(LockMode::WithRetry,
              [&](QBSlot& own) { std::memcpy(own.editorSpectrum, curveDb, sizeof own.editorSpectrum); });
}

}  // namespace qb
