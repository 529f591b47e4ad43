#pragma once
// A growable byte buffer for plug-in state. Values are stored little-endian,
// back to back, without padding. Every read is bounds-checked: it returns the
// position after the value, or -1 when the chunk is too short (or the start
// position is negative), and then leaves the destination untouched.

#include <bit>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <vector>

namespace plinth {

static_assert(std::endian::native == std::endian::little, "state chunks are stored in native little-endian order");

class IByteChunk {
 public:
  // Appends size bytes; returns the new size.
  int PutBytes(const void* data, int size);
  // Copies size bytes from startPos into dest; returns startPos + size or -1.
  int GetBytes(void* dest, int size, int startPos) const;

  template <typename T>
  int Put(const T* value) {
    static_assert(std::is_trivially_copyable_v<T>);
    return PutBytes(value, static_cast<int>(sizeof(T)));
  }
  template <typename T>
  int Get(T* value, int startPos) const {
    static_assert(std::is_trivially_copyable_v<T>);
    return GetBytes(value, static_cast<int>(sizeof(T)), startPos);
  }

  // True when size bytes are available at startPos.
  bool Has(int startPos, int size) const;

  int Size() const { return static_cast<int>(mBytes.size()); }
  const uint8_t* GetData() const { return mBytes.data(); }
  uint8_t* GetData() { return mBytes.data(); }
  void Resize(int size) { mBytes.resize(size > 0 ? static_cast<size_t>(size) : 0); }
  void Clear() { mBytes.clear(); }
  // Replaces the contents with a copy of size bytes.
  void Assign(const void* data, int size);

 private:
  std::vector<uint8_t> mBytes;
};

}  // namespace plinth
