#!/bin/sh
# Runs the whole test suite: installs missing packages, then builds and tests
# the release tree, the AddressSanitizer+UBSan and ThreadSanitizer trees, and
# the state-chunk fuzzer (clang, libFuzzer: corpus replay plus a short run).
# Every test runs with a private /dev/shm, so real instances on this machine
# are never disturbed.
#   scripts/test.sh [release|asan|tsan|fuzz ...]   (default: all four)
set -eu
cd "$(dirname "$0")/.."

./scripts/install-deps.sh

variants=${*:-"release asan tsan fuzz"}
jobs=$(nproc)
for v in $variants; do
  if [ "$v" = fuzz ]; then
    echo "==== fuzz: build and run (build-test/fuzz)"
    ./scripts/fuzz.sh 20 build-test/fuzz
    continue
  fi
  dir="build-test/$v"
  echo "==== $v: build ($dir)"
  ./scripts/build.sh "$v" "$dir"
  echo "==== $v: test"
  # Sanitizers report through these; failures abort the test that hit them.
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    ctest --test-dir "$dir" --output-on-failure --parallel "$jobs" --timeout 900
done
echo "==== all tests passed ($variants)"
