#include "HostStream.h"

#include <algorithm>
#include <cstring>

namespace qbhost {

using namespace Steinberg;

tresult PLUGIN_API MemoryStream::read(void* buffer, int32 numBytes, int32* numBytesRead) {
  if (numBytesRead) *numBytesRead = 0;
  if (!buffer || numBytes < 0) return kInvalidArgument;
  size_t n = std::min(static_cast<size_t>(numBytes), mBytes.size() - std::min(mPos, mBytes.size()));
  if (mMaxPiece > 0) n = std::min(n, static_cast<size_t>(mMaxPiece));
  if (n) std::memcpy(buffer, mBytes.data() + mPos, n);
  mPos += n;
  if (numBytesRead) *numBytesRead = static_cast<int32>(n);
  return kResultOk;
}

tresult PLUGIN_API MemoryStream::write(void* buffer, int32 numBytes, int32* numBytesWritten) {
  if (numBytesWritten) *numBytesWritten = 0;
  if (!buffer || numBytes < 0) return kInvalidArgument;
  size_t n = static_cast<size_t>(numBytes);
  if (mMaxPiece > 0) n = std::min(n, static_cast<size_t>(mMaxPiece));
  if (mPos + n > mBytes.size()) mBytes.resize(mPos + n);
  if (n) std::memcpy(mBytes.data() + mPos, buffer, n);
  mPos += n;
  if (numBytesWritten) *numBytesWritten = static_cast<int32>(n);
  return kResultOk;
}

tresult PLUGIN_API MemoryStream::seek(int64 pos, int32 mode, int64* result) {
  int64 base = 0;
  if (mode == kIBSeekCur)
    base = static_cast<int64>(mPos);
  else if (mode == kIBSeekEnd)
    base = static_cast<int64>(mBytes.size());
  else if (mode != kIBSeekSet)
    return kInvalidArgument;
  const int64 target = base + pos;
  if (target < 0) return kInvalidArgument;
  mPos = static_cast<size_t>(target);
  if (result) *result = target;
  return kResultOk;
}

tresult PLUGIN_API MemoryStream::tell(int64* pos) {
  if (!pos) return kInvalidArgument;
  *pos = static_cast<int64>(mPos);
  return kResultOk;
}

tresult PLUGIN_API MemoryStream::queryInterface(const TUID iid, void** obj) {
  if (!obj) return kInvalidArgument;
  if (FUnknownPrivate::iidEqual(iid, FUnknown::iid) || FUnknownPrivate::iidEqual(iid, IBStream::iid)) {
    addRef();
    *obj = static_cast<IBStream*>(this);
    return kResultOk;
  }
  *obj = nullptr;
  return kNoInterface;
}

}  // namespace qbhost
