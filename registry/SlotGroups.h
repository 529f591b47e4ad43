#pragma once
// What is read out of a registry slot, bounded in one place.
//
// Registry contents are untrusted: any process that can map the segment can
// write any bytes. The readers here never read outside the slot, clamp
// counts, bound every name to 63 characters plus a terminating zero, and
// never hand out a non-finite float:
// - a settings group (bands, high/low-pass, controls) holding a non-finite
//   value in a field that counts is reported as malformed: each such field
//   reads as its default and is marked in the group's `nonFinite` mask, so a
//   caller can ignore exactly those fields and still take the others;
// - spectra and levels are filtered value by value: anything that is not a
//   finite number >= 0 (magnitudes) or not finite (levels) reads as 0.
// All functions are pure, allocation-free and safe on the audio thread.

#include <cstdint>

#include "registry/RegistryLayout.h"

namespace qb {

// The band group of a slot: entries [0, count) valid, the rest zero.
struct QBBandGroup {
  int32_t count = 0;  // 0..kMaxBands
  QBBand bands[kMaxBands] = {};
  uint64_t seq = 0;  // bandSeq; 0 = never written
  // Bit 4 * band + field (0 freqLo, 1 freqHi, 2 thresholdDb, 3 ratio) is set
  // when the stored value was not finite; the field then holds the default.
  uint32_t nonFinite = 0;
  bool Finite(int band, int field) const noexcept { return !(nonFinite >> (4 * band + field) & 1u); }
};

struct QBHpLpGroup {
  float hpHz = 20.0f;
  float lpHz = 20000.0f;
  uint64_t seq = 0;  // hpLpSeq
  uint32_t nonFinite = 0;  // bit 0 hpHz, bit 1 lpHz (then the default)
};

struct QBControlsGroup {
  float attackMs = 10.0f;
  float releaseMs = 100.0f;
  float makeupDb = 0.0f;
  uint64_t seq = 0;  // controlsSeq
  uint32_t nonFinite = 0;  // bit 0 attackMs, bit 1 releaseMs, bit 2 makeupDb (then the default)
};

// The default groups every instance writes into its slot at start-up.
inline constexpr QBBand kDefaultBand{20.0f, 20000.0f, -20.0f, 4.0f, 1, {0, 0, 0}};
inline constexpr float kDefaultHpHz = 20.0f;
inline constexpr float kDefaultLpHz = 20000.0f;
inline constexpr float kDefaultAttackMs = 10.0f;
inline constexpr float kDefaultReleaseMs = 100.0f;
inline constexpr float kDefaultMakeupDb = 0.0f;

// bandCount as stored, clamped to [0, kMaxBands].
int32_t ClampBandCount(int32_t stored) noexcept;

// Copies a name into out: at most 63 bytes up to the first zero, the rest of
// out zeroed, so out is terminated whatever the source holds. Reads no more
// than 63 bytes of text (a stored name need not be terminated); null text
// gives an empty name.
void CopyBoundedName(const char* text, char (&out)[kNameSize]) noexcept;

bool IsFiniteBand(const QBBand& band) noexcept;

// Readers of a slot's groups. They return false when the group is malformed
// (a non-finite value among the valid entries); those fields then hold their
// defaults and are marked in out.nonFinite, the others and the counter are
// as stored.
bool ReadBandGroup(const QBSlot& slot, QBBandGroup& out) noexcept;
bool ReadHpLpGroup(const QBSlot& slot, QBHpLpGroup& out) noexcept;
bool ReadControlsGroup(const QBSlot& slot, QBControlsGroup& out) noexcept;

// In place: every entry that is not a finite number >= 0 becomes 0.
void SanitizeMagnitudes(float* values, int count) noexcept;
// The same for a whole spectrum; its fixed length lets the compiler vectorise.
void SanitizeMagnitudes(float (&spectrum)[kSpectrumBins]) noexcept;
// In place: every non-finite entry becomes 0.
void SanitizeLevels(float* values, int count) noexcept;

// A band as it is stored: enabled normalised to 0/1, padding zeroed.
QBBand NormalisedBand(const QBBand& band) noexcept;

// Whether two times in seconds lie at most seconds apart, in either order.
// Safe for any values (no overflow).
bool WithinSeconds(int64_t a, int64_t b, int seconds) noexcept;

// Whether a heartbeat counts as a recent sign of life at time now: it lies
// no more than maxAgeSeconds before now, nor more than maxAgeSeconds after
// it (a clock stepped back, or a value nobody alive wrote).
inline bool HeartbeatIsFresh(int64_t now, int64_t heartbeat, int maxAgeSeconds) noexcept {
  return WithinSeconds(now, heartbeat, maxAgeSeconds);
}

// alive is a byte anybody can write: only exactly 1 means claimed; anything
// else counts as free, so a junk value can neither match a lookup nor block
// a slot forever.
inline bool SlotIsAlive(const QBSlot& slot) noexcept { return slot.alive == 1; }

// Lowest index of an alive slot carrying id, or -1. id 0 never matches.
int FindAliveSlot(const QBRegistry& registry, uint64_t id) noexcept;

}  // namespace qb
