#pragma once
// Who Quellbridge is to a host: the configuration record shared by both
// modules, and the identity strings the VST3 and CLAP entries publish.

#include "plinth/Config.h"

namespace qb {

inline constexpr const char* kPluginName = "Quellbridge";
inline constexpr const char* kMakerName = "Halvorn";
inline constexpr const char* kVersionString = "1.2.0";
inline constexpr const char* kDescription = "Spectral dynamics processor with inter-plugin sidechain";
inline constexpr const char* kClapId = "com.halvorn.quellbridge";
inline constexpr int kUniqueId = plinth::FourCC("Hvqb");  // 0x48767162
inline constexpr int kMakerId = plinth::FourCC("Hvrn");   // 0x4876726E
static_assert(kUniqueId == 0x48767162 && kMakerId == 0x4876726E);

// Latency before the first reset: the path delays by twice the transform
// length, and the default transform is 1024 samples long.
inline constexpr int kDefaultLatency = 2 * 1024;

const plinth::Config& QuellbridgeConfig();

}  // namespace qb
