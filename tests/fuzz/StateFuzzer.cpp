// libFuzzer entry: every input is restored as a state chunk into a live
// instance, and the invariants of StateFuzzBench are checked. The process
// first moves into a private /dev/shm, so fuzzing never touches the registry
// of real instances on the machine.
#include <cstdio>
#include <cstdlib>

#include "PrivateShm.h"
#include "StateFuzzBench.h"

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  qbtest::EnsurePrivateShm(*argc, *argv);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static qbfuzz::StateFuzzBench bench;
  const std::string failure = bench.Run(data, size);
  if (!failure.empty()) {
    std::fprintf(stderr, "state invariant violated: %s\n", failure.c_str());
    std::abort();
  }
  return 0;
}
