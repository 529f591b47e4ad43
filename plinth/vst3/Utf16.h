#pragma once
// Conversions between the UTF-8 strings of the framework and the UTF-16
// strings of the VST3 interfaces.

#include <string>

#include "pluginterfaces/base/ftypes.h"

namespace plinth::vst3 {

// Writes text into a zero-terminated UTF-16 buffer of `capacity` units,
// truncating at a character boundary. capacity must be at least 1.
void CopyToUtf16(const char* utf8, Steinberg::char16* out, int capacity);

// Reads at most `capacity` units of a zero-terminated UTF-16 string.
std::string FromUtf16(const Steinberg::char16* text, int capacity);

}  // namespace plinth::vst3
