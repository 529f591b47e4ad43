#pragma once
// Edits a saved Quellbridge state the way a reloaded project presents it:
// the instance's own name, the name of the peer it was paired with, the band
// set and the parameter values. The plug-in re-pairs instances by these
// names when the state is loaded.

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "BandLayout.h"
#include "HostedPlugin.h"
#include "registry/StateChunk.h"

namespace qbrender {

inline constexpr int kChunkParamCount = 14;
// The VST3 stream carries the chunk followed by the host bypass state.
inline constexpr int kVst3BypassBytes = 4;

struct ChunkEdit {
  std::string ownName;   // at most 63 characters are stored
  std::string peerName;  // likewise
  BandLayout bands;
  std::array<double, kChunkParamCount> params{};  // plain values in parameter id order
};

// The stream size a format's module saves: the chunk alone (CLAP) or the
// chunk and the bypass word (VST3).
size_t SavedStateSize(qbhost::Format format);

// Patches state (as saved by the module) in place: names, band count, edges
// and enables, the parameter block, and no shadow copy of a peer, so the
// plug-in has nothing of an earlier peer to push into the new one. Anything
// else (the editor size, the VST3 bypass word) stays as saved. Fails,
// leaving state untouched, when state is not a Quellbridge state.
bool EditSavedState(std::vector<uint8_t>& state, qbhost::Format format, const ChunkEdit& edit, std::string& error);

// Reads a name field as the plug-in would: at most 63 characters.
std::string ChunkName(const char (&field)[64]);

}  // namespace qbrender
