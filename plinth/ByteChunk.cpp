#include "plinth/ByteChunk.h"

#include <limits>

namespace plinth {

int IByteChunk::PutBytes(const void* data, int size) {
  if (size <= 0 || !data) return Size();
  const auto* p = static_cast<const uint8_t*>(data);
  mBytes.insert(mBytes.end(), p, p + size);
  return Size();
}

bool IByteChunk::Has(int startPos, int size) const {
  if (startPos < 0 || size < 0) return false;
  return static_cast<int64_t>(startPos) + size <= static_cast<int64_t>(mBytes.size());
}

int IByteChunk::GetBytes(void* dest, int size, int startPos) const {
  if (!Has(startPos, size)) return -1;
  if (size > 0) std::memcpy(dest, mBytes.data() + startPos, static_cast<size_t>(size));
  return startPos + size;
}

void IByteChunk::Assign(const void* data, int size) {
  mBytes.clear();
  PutBytes(data, size);
}

}  // namespace plinth
