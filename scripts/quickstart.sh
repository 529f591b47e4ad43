#!/bin/sh
# From a fresh clone: install the packages, build and install both modules
# and the renderer, then hear and see a pair work: the renderer loads the
# installed CLAP module as a host would, pairs two instances and writes the
# demo (track, key, ducked track and a figure) into ./quellbridge-demo.
#   scripts/quickstart.sh [--system]
set -eu
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
./scripts/install.sh "$@"

if [ "${1:-}" = "--system" ]; then
  render=/usr/local/bin/quellbridge-render
else
  render="$HOME/.local/bin/quellbridge-render"
fi
echo
echo "==== Rendering the demo through the installed CLAP module"
"$render" --format clap --out-dir quellbridge-demo
