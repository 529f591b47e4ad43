#include "plinth/vst3/StateStream.h"

#include <algorithm>

namespace plinth::vst3 {

using namespace Steinberg;

bool ReadWholeStream(IBStream& stream, std::vector<uint8_t>& out, size_t maxBytes) {
  constexpr int32 kPiece = 4096;
  uint8_t piece[kPiece];
  bool gotAny = false;
  for (;;) {
    int32 got = 0;
    const tresult result = stream.read(piece, kPiece, &got);
    // A stream that claims more than it was asked for is not trusted with it.
    got = std::clamp<int32>(got, 0, kPiece);
    if (got > 0) {
      if (out.size() + static_cast<size_t>(got) > maxBytes) return false;
      out.insert(out.end(), piece, piece + got);
      gotAny = true;
    }
    if (result != kResultOk) return gotAny || result == kResultFalse;
    if (got == 0) return true;
  }
}

bool WriteWholeStream(IBStream& stream, const uint8_t* data, size_t size) {
  size_t done = 0;
  while (done < size) {
    const auto piece = static_cast<int32>(std::min<size_t>(size - done, size_t(1) << 20));
    int32 written = 0;
    const tresult result = stream.write(const_cast<uint8_t*>(data + done), piece, &written);
    if (written <= 0 || written > piece) return false;
    done += static_cast<size_t>(written);
    if (result != kResultOk && done < size) return false;
  }
  return true;
}

}  // namespace plinth::vst3
