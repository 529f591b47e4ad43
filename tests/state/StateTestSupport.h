#pragma once
// Helpers for the state tests: chunks as bytes and as the wire record, named
// instances, and a view of the registry slots under the registry lock.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "QuellbridgeFixture.h"
#include "RegistryTestSupport.h"
#include "registry/RobustMutex.h"
#include "registry/StateChunk.h"

namespace qbstate {

using Bytes = std::vector<uint8_t>;

inline Bytes Save(qb::Quellbridge& plugin) {
  plinth::IByteChunk chunk;
  if (!plugin.SerializeState(chunk)) return {};
  return Bytes(chunk.GetData(), chunk.GetData() + chunk.Size());
}

inline int Load(qb::Quellbridge& plugin, const Bytes& bytes, int startPos = 0) {
  plinth::IByteChunk chunk;
  chunk.Assign(bytes.data(), static_cast<int>(bytes.size()));
  return plugin.UnserializeState(chunk, startPos);
}

// The first 354 bytes as the wire record (zeros where the bytes are missing).
inline qb::QBStateChunk Decode(const Bytes& bytes) {
  qb::QBStateChunk c{};
  std::memcpy(&c, bytes.data(), std::min(bytes.size(), sizeof c));
  return c;
}

inline Bytes Encode(const qb::QBStateChunk& c) {
  const auto* p = reinterpret_cast<const uint8_t*>(&c);
  return Bytes(p, p + sizeof c);
}

// Writes text into a 64-byte name field, the rest zeroed.
inline void SetName(char (&field)[qb::kNameSize], const std::string& text) {
  std::memset(field, 0, sizeof field);
  std::memcpy(field, text.data(), std::min(text.size(), sizeof field));
}

inline std::string Text(const char (&field)[qb::kNameSize]) { return std::string(field, strnlen(field, sizeof field)); }

// A band as the registry stores it.
inline qb::QBBand Band(float lo, float hi, float thresholdDb, float ratio, bool enabled) {
  qb::QBBand b{};
  b.freqLo = lo;
  b.freqHi = hi;
  b.thresholdDb = thresholdDb;
  b.ratio = ratio;
  b.enabled = enabled ? 1 : 0;
  return b;
}

// An instance restored from a chunk that differs from the default one only
// in its names (so tests can name instances as a host's project would).
inline void Rename(qb::Quellbridge& plugin, const std::string& name, const std::string& peerName) {
  qb::QBStateChunk c = Decode(Save(plugin));
  SetName(c.instanceName, name);
  SetName(c.peerName, peerName);
  Load(plugin, Encode(c));
}

// Read and write access to the registry segment, independent of any handle.
class Registry {
 public:
  Registry() { raw.Remap(); }
  bool Mapped() const { return raw.Mapped(); }

  // Copy of slot i, taken under the registry lock.
  qb::QBSlot Slot(int i) {
    qb::QBSlot copy{};
    qb::RegistryLock lock(raw->mutex, qb::LockMode::WithRetry);
    if (lock) std::memcpy(static_cast<void*>(&copy), &raw.Slot(i), sizeof copy);
    return copy;
  }
  qb::QBSlot SlotOf(const qb::Quellbridge& plugin) { return Slot(plugin.Registry().SlotIndex()); }

  // Index of the alive slot named name, -1 when none.
  int Find(const std::string& name) {
    qb::RegistryLock lock(raw->mutex, qb::LockMode::WithRetry);
    for (int i = 0; i < qb::kSlotCount; ++i)
      if (raw.Slot(i).alive == 1 && Text(raw.Slot(i).displayName) == name) return i;
    return -1;
  }

  // Runs edit on slot i under the registry lock.
  template <class Fn>
  void Edit(int i, Fn&& edit) {
    qb::RegistryLock lock(raw->mutex, qb::LockMode::WithRetry);
    if (lock) edit(raw.Slot(i));
  }

  qbtest::RawRegistry raw;
};

struct Counters {
  uint64_t bands = 0, hpLp = 0, controls = 0;
  bool operator==(const Counters&) const = default;
};

inline Counters CountersOf(const qb::QBSlot& s) { return {s.bandSeq, s.hpLpSeq, s.controlsSeq}; }

inline std::ostream& operator<<(std::ostream& os, const Counters& c) {
  return os << "{bands " << c.bands << ", hp/lp " << c.hpLp << ", controls " << c.controls << "}";
}

}  // namespace qbstate
