#pragma once
// Moving whole state blobs through a host's IBStream, which may deliver or
// take the data in pieces of any size.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "pluginterfaces/base/ibstream.h"

namespace plinth::vst3 {

// Largest state accepted from a host; anything longer is not ours.
inline constexpr size_t kMaxStateBytes = size_t(64) << 20;

// Appends everything the stream still holds to out, reading until it reports
// no more data. False when the stream fails before giving anything, or
// holds more than maxBytes.
bool ReadWholeStream(Steinberg::IBStream& stream, std::vector<uint8_t>& out, size_t maxBytes = kMaxStateBytes);

// Writes all bytes, continuing after short writes. False when the stream
// stops taking data.
bool WriteWholeStream(Steinberg::IBStream& stream, const uint8_t* data, size_t size);

}  // namespace plinth::vst3
