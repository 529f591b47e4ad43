#include "registry/SlotGroups.h"

#include <cmath>
#include <cstring>

namespace qb {

int32_t ClampBandCount(int32_t stored) noexcept {
  if (stored < 0) return 0;
  if (stored > kMaxBands) return kMaxBands;
  return stored;
}

void CopyBoundedName(const char* text, char (&out)[kNameSize]) noexcept {
  std::memset(out, 0, sizeof out);
  if (!text) return;
  for (int n = 0; n < kNameSize - 1 && text[n] != '\0'; ++n) out[n] = text[n];
}

bool IsFiniteBand(const QBBand& band) noexcept {
  return std::isfinite(band.freqLo) && std::isfinite(band.freqHi) && std::isfinite(band.thresholdDb) &&
         std::isfinite(band.ratio);
}

QBBand NormalisedBand(const QBBand& band) noexcept {
  QBBand out{};
  out.freqLo = band.freqLo;
  out.freqHi = band.freqHi;
  out.thresholdDb = band.thresholdDb;
  out.ratio = band.ratio;
  out.enabled = band.enabled != 0 ? 1 : 0;
  return out;
}

namespace {
// value when finite, else fallback with bit `bit` set in mask.
float FiniteOr(float value, float fallback, uint32_t bit, uint32_t& mask) {
  if (std::isfinite(value)) return value;
  mask |= 1u << bit;
  return fallback;
}
}  // namespace

bool ReadBandGroup(const QBSlot& slot, QBBandGroup& out) noexcept {
  out = QBBandGroup{};
  out.seq = slot.bandSeq;
  out.count = ClampBandCount(slot.bandCount);
  for (int i = 0; i < out.count; ++i) {
    const QBBand& b = slot.bands[i];
    QBBand& o = out.bands[i];
    o.freqLo = FiniteOr(b.freqLo, kDefaultBand.freqLo, 4 * i + 0, out.nonFinite);
    o.freqHi = FiniteOr(b.freqHi, kDefaultBand.freqHi, 4 * i + 1, out.nonFinite);
    o.thresholdDb = FiniteOr(b.thresholdDb, kDefaultBand.thresholdDb, 4 * i + 2, out.nonFinite);
    o.ratio = FiniteOr(b.ratio, kDefaultBand.ratio, 4 * i + 3, out.nonFinite);
    o.enabled = b.enabled != 0 ? 1 : 0;
  }
  return out.nonFinite == 0;
}

bool ReadHpLpGroup(const QBSlot& slot, QBHpLpGroup& out) noexcept {
  out = QBHpLpGroup{};
  out.seq = slot.hpLpSeq;
  out.hpHz = FiniteOr(slot.hpHz, kDefaultHpHz, 0, out.nonFinite);
  out.lpHz = FiniteOr(slot.lpHz, kDefaultLpHz, 1, out.nonFinite);
  return out.nonFinite == 0;
}

bool ReadControlsGroup(const QBSlot& slot, QBControlsGroup& out) noexcept {
  out = QBControlsGroup{};
  out.seq = slot.controlsSeq;
  out.attackMs = FiniteOr(slot.attackMs, kDefaultAttackMs, 0, out.nonFinite);
  out.releaseMs = FiniteOr(slot.releaseMs, kDefaultReleaseMs, 1, out.nonFinite);
  out.makeupDb = FiniteOr(slot.makeupDb, kDefaultMakeupDb, 2, out.nonFinite);
  return out.nonFinite == 0;
}

namespace {
// Finite and >= 0; false for NaN. Branch-free so that loops over it vectorise.
inline float MagnitudeOrZero(float v) {
  constexpr float kMax = 3.4028235e38f;
  return (v >= 0.0f && v <= kMax) ? v : 0.0f;
}
}  // namespace

void SanitizeMagnitudes(float* values, int count) noexcept {
  int i = 0;
  // Runs of a fixed length vectorise; the rest goes one by one.
  for (; i + 8 <= count; i += 8)
    for (int j = 0; j < 8; ++j) values[i + j] = MagnitudeOrZero(values[i + j]);
  for (; i < count; ++i) values[i] = MagnitudeOrZero(values[i]);
}

void SanitizeMagnitudes(float (&spectrum)[kSpectrumBins]) noexcept {
  for (float& v : spectrum) v = MagnitudeOrZero(v);
}

void SanitizeLevels(float* values, int count) noexcept {
  for (int i = 0; i < count; ++i) values[i] = std::isfinite(values[i]) ? values[i] : 0.0f;
}

bool WithinSeconds(int64_t a, int64_t b, int seconds) noexcept {
  // Unsigned distance: exact for any two int64 values.
  const uint64_t distance = a >= b ? static_cast<uint64_t>(a) - static_cast<uint64_t>(b)
                                   : static_cast<uint64_t>(b) - static_cast<uint64_t>(a);
  return seconds >= 0 && distance <= static_cast<uint64_t>(seconds);
}

int FindAliveSlot(const QBRegistry& registry, uint64_t id) noexcept {
  if (id == 0) return -1;
  for (int i = 0; i < kSlotCount; ++i)
    if (SlotIsAlive(registry.slots[i]) && registry.slots[i].instanceId == id) return i;
  return -1;
}

}  // namespace qb
