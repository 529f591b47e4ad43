#pragma once
// Restores arbitrary bytes as a state chunk into a live instance and checks
// what must hold whatever the bytes: no crash, no read past the chunk, finite
// parameters in range, terminated names, sane registry contents, finite audio
// from the instance and from the peer a restore may have written into, and a
// save that reads back to itself. Shared by the fuzzer and the corpus replay.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/Quellbridge.h"
#include "plinth/ByteChunk.h"

namespace qbfuzz {

class StateFuzzBench {
 public:
  // The name of the second instance; chunks naming it as their peer re-pair
  // with it and replay their shadow into it.
  static constexpr const char* kPeerName = "Fuzz Peer";

  StateFuzzBench();
  ~StateFuzzBench();
  StateFuzzBench(const StateFuzzBench&) = delete;
  StateFuzzBench& operator=(const StateFuzzBench&) = delete;

  // Restores the input into the target instance (after resetting it to its
  // default state, unpaired) and checks every invariant. Returns the first
  // one violated, or an empty string.
  std::string Run(const uint8_t* data, size_t size);

 private:
  std::string CheckInstance(qb::Quellbridge& plugin, const char* which);
  std::string ProcessFinite(qb::Quellbridge& plugin, const char* which);

  std::unique_ptr<qb::Quellbridge> target;
  std::unique_ptr<qb::Quellbridge> peer;
  plinth::IByteChunk defaults;
  std::vector<double> buffers;
  double phase = 0.0;
};

}  // namespace qbfuzz
