// Replays the committed fuzzing corpus through the state checks in every
// build (no libFuzzer needed): real chunks, truncated, with odd counts and
// hostile values.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "StateFuzzBench.h"

namespace {

TEST(StateCorpus, EveryInputKeepsTheInvariants) {
  std::vector<std::filesystem::path> inputs;
  for (const auto& entry : std::filesystem::directory_iterator(QB_FUZZ_CORPUS_DIR))
    if (entry.is_regular_file()) inputs.push_back(entry.path());
  std::sort(inputs.begin(), inputs.end());
  ASSERT_GE(inputs.size(), 10u) << QB_FUZZ_CORPUS_DIR;

  qbfuzz::StateFuzzBench bench;
  for (const auto& path : inputs) {
    std::ifstream file(path, std::ios::binary);
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    EXPECT_EQ(bench.Run(bytes.data(), bytes.size()), "") << path.filename();
  }
  // And twice in a row, in reverse: nothing depends on what came before.
  for (auto it = inputs.rbegin(); it != inputs.rend(); ++it) {
    std::ifstream file(*it, std::ios::binary);
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    EXPECT_EQ(bench.Run(bytes.data(), bytes.size()), "") << it->filename();
  }
}

}  // namespace
