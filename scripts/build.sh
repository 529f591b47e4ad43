#!/bin/sh
# Configures and builds one variant of the tree.
#   scripts/build.sh [release|asan|tsan] [build-dir]
# Default: release into ./build.
set -eu
cd "$(dirname "$0")/.."

variant=${1:-release}
case "$variant" in
  release) dir=${2:-build}; flags="-DCMAKE_BUILD_TYPE=Release -DQB_SANITIZE=none" ;;
  asan) dir=${2:-build-asan}; flags="-DCMAKE_BUILD_TYPE=RelWithDebInfo -DQB_SANITIZE=address -DQB_BUILD_BENCH=OFF" ;;
  tsan) dir=${2:-build-tsan}; flags="-DCMAKE_BUILD_TYPE=RelWithDebInfo -DQB_SANITIZE=thread -DQB_BUILD_BENCH=OFF" ;;
  *) echo "build.sh: unknown variant '$variant' (release, asan, tsan)" >&2; exit 2 ;;
esac

# shellcheck disable=SC2086
cmake -S . -B "$dir" -G Ninja $flags
cmake --build "$dir" --parallel "$(nproc)"
