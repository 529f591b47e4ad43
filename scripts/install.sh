#!/bin/sh
# Builds the release tree and installs both modules where Linux hosts look:
# ~/.vst3/Quellbridge.vst3 and ~/.clap/Quellbridge.clap, or with --system
# /usr/lib/vst3 and /usr/lib/clap (through sudo when not root).
set -eu
cd "$(dirname "$0")/.."

system=OFF
[ "${1:-}" = "--system" ] && system=ON

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DQB_SANITIZE=none -DQB_SYSTEM_INSTALL=$system
cmake --build build --parallel "$(nproc)"
if [ "$system" = ON ] && [ "$(id -u)" -ne 0 ]; then
  sudo cmake --install build
else
  cmake --install build
fi
