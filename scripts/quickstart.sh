#!/bin/sh
# From a fresh clone: install the packages, build and install both modules,
# then show the product working.
set -eu
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
./scripts/install.sh "$@"
