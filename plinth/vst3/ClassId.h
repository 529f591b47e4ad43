#pragma once
// A VST3 class id: 16 bytes built from four 32-bit words, each stored most
// significant byte first (the layout of the SDK's non-COM FUID).

#include <array>
#include <cstdint>

namespace plinth::vst3 {

using ClassId = std::array<uint8_t, 16>;

constexpr ClassId MakeClassId(uint32_t w1, uint32_t w2, uint32_t w3, uint32_t w4) {
  const uint32_t words[4] = {w1, w2, w3, w4};
  ClassId id{};
  for (int w = 0; w < 4; ++w)
    for (int b = 0; b < 4; ++b) id[static_cast<size_t>(w * 4 + b)] = static_cast<uint8_t>(words[w] >> (24 - 8 * b));
  return id;
}

}  // namespace plinth::vst3
