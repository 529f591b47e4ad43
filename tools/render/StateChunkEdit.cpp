#include "StateChunkEdit.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace qbrender {
namespace {

static_assert(sizeof(qb::QBStateChunk::params) == kChunkParamCount * sizeof(double));
static_assert(std::endian::native == std::endian::little, "the state chunk is little-endian");

void WriteName(char (&field)[64], const std::string& name) {
  std::memset(field, 0, sizeof field);
  std::memcpy(field, name.data(), std::min(name.size(), sizeof field - 1));
}

}  // namespace

size_t SavedStateSize(qbhost::Format format) {
  return qb::kStateChunkSize + (format == qbhost::Format::Vst3 ? kVst3BypassBytes : 0);
}

bool EditSavedState(std::vector<uint8_t>& state, qbhost::Format format, const ChunkEdit& edit, std::string& error) {
  const size_t expected = SavedStateSize(format);
  if (state.size() != expected) {
    error = "the module saved a " + std::to_string(state.size()) + "-byte state where a " +
            std::to_string(expected) + "-byte Quellbridge state was expected";
    return false;
  }
  if (edit.bands.count < 1 || edit.bands.count > 3) {
    error = "band count out of range";
    return false;
  }
  qb::QBStateChunk chunk;
  std::memcpy(&chunk, state.data(), sizeof chunk);

  WriteName(chunk.instanceName, edit.ownName);
  WriteName(chunk.peerName, edit.peerName);
  chunk.bandCount = edit.bands.count;
  std::memcpy(chunk.bandFreqs, edit.bands.chunkFreqs, sizeof chunk.bandFreqs);
  for (uint8_t& enabled : chunk.bandEnabled) enabled = 1;
  chunk.shadowBandCount = 0;
  std::memcpy(chunk.params, edit.params.data(), sizeof chunk.params);

  std::memcpy(state.data(), &chunk, sizeof chunk);
  return true;
}

std::string ChunkName(const char (&field)[64]) { return std::string(field, strnlen(field, sizeof field - 1)); }

}  // namespace qbrender
