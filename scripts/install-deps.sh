#!/bin/sh
# Installs every Debian package that building, testing, fuzzing and the
# renderer need (ardour and qtractor: real hosts whose plug-in scanners the
# tests run against the built modules). Idempotent; runs as root or through sudo.
set -eu

PACKAGES="
  build-essential cmake ninja-build pkg-config git
  clang libclang-rt-14-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  dpf-source juce-modules-source-data python3-glad
  libx11-dev libxext-dev libxrandr-dev libxcursor-dev
  libgl-dev libgl1-mesa-dri libglx-mesa0
  libfontconfig-dev fonts-dejavu-core
  libboost-dev libfftw3-dev libstb-dev xvfb xauth
  libsndfile1-dev python3 python3-matplotlib python3-numpy
  util-linux
  ardour qtractor
"

if [ "$(id -u)" -eq 0 ]; then
  SUDO=""
elif command -v sudo >/dev/null 2>&1; then
  SUDO="sudo"
else
  echo "install-deps: run as root or install sudo" >&2
  exit 1
fi

missing=""
for p in $PACKAGES; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing="$missing $p"
  fi
done

if [ -z "$missing" ]; then
  echo "install-deps: all packages present"
  exit 0
fi

echo "install-deps: installing$missing"
$SUDO apt-get update
# shellcheck disable=SC2086
$SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends $missing
