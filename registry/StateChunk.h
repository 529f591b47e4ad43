#pragma once
// The state chunk hosts store in projects and presets: 354 bytes, values back
// to back without padding, little-endian, no magic and no version. It is a
// wire format: saved projects rely on every offset below.

#include <cstddef>
#include <cstdint>

namespace qb {

#pragma pack(push, 1)
struct QBStateChunk {
  char instanceName[64];
  int32_t bandCount;       // 1..3
  float bandFreqs[6];      // lo0, hi0, lo1, hi1, lo2, hi2 (Hz)
  uint8_t bandEnabled[3];
  char peerName[64];       // the peer this instance was paired with
  int32_t shadowBandCount; // 0..3, 0 = no shadow peer
  float shadowFreqs[6];
  float shadowThresholds[3];
  float shadowRatios[3];
  uint8_t shadowEnabled[3];
  float shadowHp;
  float shadowLp;
  float shadowAttack;
  float shadowRelease;
  float shadowMakeup;
  double params[14];       // plain values in parameter order
  int32_t editorWidth;     // 960 when never reported
  int32_t editorHeight;    // 600 when never reported
};
#pragma pack(pop)

static_assert(sizeof(QBStateChunk) == 354);
static_assert(offsetof(QBStateChunk, instanceName) == 0);
static_assert(offsetof(QBStateChunk, bandCount) == 64);
static_assert(offsetof(QBStateChunk, bandFreqs) == 68);
static_assert(offsetof(QBStateChunk, bandEnabled) == 92);
static_assert(offsetof(QBStateChunk, peerName) == 95);
static_assert(offsetof(QBStateChunk, shadowBandCount) == 159);
static_assert(offsetof(QBStateChunk, shadowFreqs) == 163);
static_assert(offsetof(QBStateChunk, shadowThresholds) == 187);
static_assert(offsetof(QBStateChunk, shadowRatios) == 199);
static_assert(offsetof(QBStateChunk, shadowEnabled) == 211);
static_assert(offsetof(QBStateChunk, shadowHp) == 214);
static_assert(offsetof(QBStateChunk, shadowLp) == 218);
static_assert(offsetof(QBStateChunk, shadowAttack) == 222);
static_assert(offsetof(QBStateChunk, shadowRelease) == 226);
static_assert(offsetof(QBStateChunk, shadowMakeup) == 230);
static_assert(offsetof(QBStateChunk, params) == 234);
static_assert(offsetof(QBStateChunk, editorWidth) == 346);
static_assert(offsetof(QBStateChunk, editorHeight) == 350);

// Everything before the parameter block.
inline constexpr int kStatePersistedBytes = offsetof(QBStateChunk, params);
inline constexpr int kStateChunkSize = sizeof(QBStateChunk);
inline constexpr int kDefaultEditorWidth = 960;
inline constexpr int kDefaultEditorHeight = 600;

}  // namespace qb
