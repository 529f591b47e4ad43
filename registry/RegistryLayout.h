#pragma once
// The instance registry segment: one POSIX shared-memory object that every
// Quellbridge instance on the machine (either module, any host process) maps.
// These records are a wire format between independently built binaries, so
// every width, offset and padding byte is fixed and checked below. The
// records are plain values: no pointers, no constructors. Anything read from
// them is untrusted and goes through the bounding readers of SlotGroups.h.

#include <pthread.h>

#include <cstddef>
#include <cstdint>

namespace qb {

// Name passed to shm_open with a leading slash.
inline constexpr const char* kRegistryName = "qb_spectral_registry";
inline constexpr std::size_t kRegistrySize = 85952;
inline constexpr int32_t kRegistryVersion = 8;
inline constexpr uint32_t kRegistryMagic = 0x51425247;
inline constexpr int kSlotCount = 16;
inline constexpr int kMaxBands = 3;
inline constexpr int kNameSize = 64;  // 63 characters and a terminating zero
inline constexpr int kSpectrumBins = 1024;
inline constexpr int kEditorSpectrumPoints = 256;

// One ducking band of a slot.
struct QBBand {
  float freqLo;       // lower band edge, Hz
  float freqHi;       // upper band edge, Hz (well formed when > freqLo)
  float thresholdDb;  // ducking threshold, dB
  float ratio;        // ducking ratio, 1 = no ducking
  uint8_t enabled;    // 1 = band active
  uint8_t pad[3];
};

// One instance's record. Free when alive != 1; claiming zeroes all of it.
struct QBSlot {
  uint64_t instanceId;  // owner's id, meaningful only while alive == 1
  uint64_t peerId;      // id of the paired instance, 0 = none
  char displayName[kNameSize];
  uint8_t alive;  // 1 = claimed by a live instance
  uint8_t pad0[3];
  int32_t fftSize;    // owner's transform length
  int64_t heartbeat;  // time() of the owner's last sign of life
  float bandLevels[3];
  float gainReduction[3];
  int32_t bandCount;  // valid entries of bands; readers clamp to [0, 3]
  uint8_t pad1[4];
  uint64_t bandSeq;  // change counter of bandCount and bands
  QBBand bands[kMaxBands];
  float hpHz;
  float lpHz;
  uint8_t pad2[4];
  uint64_t hpLpSeq;  // change counter of hpHz and lpHz
  float attackMs;
  float releaseMs;
  float makeupDb;
  uint8_t pad3[4];
  uint64_t controlsSeq;  // change counter of attackMs, releaseMs, makeupDb
  uint8_t bypass;        // 1 = owner passes its input through
  uint8_t reserved[7];
  float editorSpectrum[kEditorSpectrumPoints];  // owner editor's analyser curve, dB
  float spectrum[kSpectrumBins];                // owner's per-bin input magnitudes
};

// The whole segment.
struct QBRegistry {
  int32_t version;  // always kRegistryVersion in a valid segment
  uint8_t pad0[4];
  pthread_mutex_t mutex;  // process-shared robust mutex guarding everything below
  int32_t slotHighWater;  // one more than the highest slot index in use
  uint8_t pad1[4];
  QBSlot slots[kSlotCount];
  uint32_t magic;  // kRegistryMagic once the creator finished initialising; written last
  uint8_t pad2[4];
};

static_assert(sizeof(pthread_mutex_t) == 40, "the registry lock occupies 40 bytes (x86-64 glibc)");

static_assert(sizeof(QBBand) == 20);
static_assert(offsetof(QBBand, freqLo) == 0);
static_assert(offsetof(QBBand, freqHi) == 4);
static_assert(offsetof(QBBand, thresholdDb) == 8);
static_assert(offsetof(QBBand, ratio) == 12);
static_assert(offsetof(QBBand, enabled) == 16);

static_assert(sizeof(QBSlot) == 5368);
static_assert(offsetof(QBSlot, instanceId) == 0);
static_assert(offsetof(QBSlot, peerId) == 8);
static_assert(offsetof(QBSlot, displayName) == 16);
static_assert(offsetof(QBSlot, alive) == 80);
static_assert(offsetof(QBSlot, fftSize) == 84);
static_assert(offsetof(QBSlot, heartbeat) == 88);
static_assert(offsetof(QBSlot, bandLevels) == 96);
static_assert(offsetof(QBSlot, gainReduction) == 108);
static_assert(offsetof(QBSlot, bandCount) == 120);
static_assert(offsetof(QBSlot, bandSeq) == 128);
static_assert(offsetof(QBSlot, bands) == 136);
static_assert(offsetof(QBSlot, hpHz) == 196);
static_assert(offsetof(QBSlot, lpHz) == 200);
static_assert(offsetof(QBSlot, hpLpSeq) == 208);
static_assert(offsetof(QBSlot, attackMs) == 216);
static_assert(offsetof(QBSlot, releaseMs) == 220);
static_assert(offsetof(QBSlot, makeupDb) == 224);
static_assert(offsetof(QBSlot, controlsSeq) == 232);
static_assert(offsetof(QBSlot, bypass) == 240);
static_assert(offsetof(QBSlot, reserved) == 241);
static_assert(offsetof(QBSlot, editorSpectrum) == 248);
static_assert(offsetof(QBSlot, spectrum) == 1272);

static_assert(sizeof(QBRegistry) == kRegistrySize);
static_assert(offsetof(QBRegistry, version) == 0);
static_assert(offsetof(QBRegistry, mutex) == 8);
static_assert(offsetof(QBRegistry, slotHighWater) == 48);
static_assert(offsetof(QBRegistry, slots) == 56);
static_assert(offsetof(QBRegistry, magic) == 85944);

}  // namespace qb
