#pragma once
// An IBStream over a byte vector, as hosts use for component state. Reads and
// writes may be limited to small pieces to act like hosts whose streams
// deliver state piecemeal.

#include <atomic>
#include <cstdint>
#include <vector>

#include "pluginterfaces/base/ibstream.h"

namespace qbhost {

class MemoryStream final : public Steinberg::IBStream {
 public:
  MemoryStream() = default;
  explicit MemoryStream(std::vector<uint8_t> bytes, int maxPiece = 0) : mBytes(std::move(bytes)), mMaxPiece(maxPiece) {}

  Steinberg::tresult PLUGIN_API read(void* buffer, Steinberg::int32 numBytes, Steinberg::int32* numBytesRead) override;
  Steinberg::tresult PLUGIN_API write(void* buffer, Steinberg::int32 numBytes, Steinberg::int32* numBytesWritten) override;
  Steinberg::tresult PLUGIN_API seek(Steinberg::int64 pos, Steinberg::int32 mode, Steinberg::int64* result) override;
  Steinberg::tresult PLUGIN_API tell(Steinberg::int64* pos) override;

  Steinberg::tresult PLUGIN_API queryInterface(const Steinberg::TUID iid, void** obj) override;
  // Lives on the host's stack or in its members: counted, never deleted.
  Steinberg::uint32 PLUGIN_API addRef() override { return ++mRefs; }
  Steinberg::uint32 PLUGIN_API release() override { return --mRefs; }

  const std::vector<uint8_t>& Bytes() const { return mBytes; }
  void Rewind() { mPos = 0; }

 private:
  std::vector<uint8_t> mBytes;
  size_t mPos = 0;
  int mMaxPiece = 0;  // 0: any size
  std::atomic<Steinberg::uint32> mRefs{1};
};

}  // namespace qbhost
