#!/bin/sh
# Builds the state-chunk fuzzer (clang, libFuzzer, AddressSanitizer + UBSan)
# in its own build tree and runs it: first the committed corpus
# (tests/fuzz/corpus), then fuzzing for the given time. New inputs go to a
# scratch corpus in the build tree; a crashing input is saved under
# tests/fuzz/artifacts/ there and the script fails.
#   scripts/fuzz.sh [seconds] [build-dir]   (default: 20 s, build-fuzz)
set -eu
cd "$(dirname "$0")/.."

seconds=${1:-20}
dir=${2:-build-fuzz}
case "$seconds" in
  ''|*[!0-9]*) echo "fuzz.sh: seconds must be a whole number (got '$seconds')" >&2; exit 2 ;;
esac

# Coverage instrumentation for everything the target links; the sanitizers
# come from QB_SANITIZE=address.
CC=clang CXX=clang++ cmake -S . -B "$dir" -G Ninja \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQB_SANITIZE=address -DQB_FUZZ=ON -DQB_FUZZ_SECONDS="$seconds" \
  -DQB_BUILD_BENCH=OFF -DQB_BUILD_TOOLS=OFF \
  -DCMAKE_C_FLAGS=-fsanitize=fuzzer-no-link -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link
cmake --build "$dir" --target qb_state_fuzzer --parallel "$(nproc)"

ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir "$dir" -R '^qb_state_fuzz$' --output-on-failure
