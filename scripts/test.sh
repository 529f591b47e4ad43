#!/bin/sh
# Runs the whole test suite: installs missing packages, then builds and tests
# the release tree and the AddressSanitizer+UBSan and ThreadSanitizer trees.
# Every test runs with a private /dev/shm, so real instances on this machine
# are never disturbed.
#   scripts/test.sh [release|asan|tsan ...]   (default: all three)
set -eu
cd "$(dirname "$0")/.."

./scripts/install-deps.sh

variants=${*:-"release asan tsan"}
jobs=$(nproc)
for v in $variants; do
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
