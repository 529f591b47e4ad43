#!/bin/sh
# The plug-in scanners of two real Linux hosts accept the modules:
# Ardour's VST3 scanner and Qtractor's CLAP scanner.
#   scan-with-real-hosts.sh VST3_BUNDLE CLAP_FILE
set -eu
bundle=$1
clap=$2
ardour_scan=/usr/lib/ardour7/ardour-vst3-scanner
qtractor_scan=/usr/lib/x86_64-linux-gnu/qtractor/qtractor_plugin_scan
status=0

# The scanners keep caches under HOME; keep them out of the user's.
HOME=$(mktemp -d)
export HOME XDG_CACHE_HOME="$HOME/.cache"
trap 'rm -rf "$HOME"' EXIT

if [ -x "$ardour_scan" ]; then
  out=$(LD_LIBRARY_PATH=/usr/lib/ardour7 "$ardour_scan" -f -v "$bundle" 2>&1) || true
  for want in 'Found Plugin: Quellbridge' 'uid="F2AEE70D00DE4F4E4876726E48767162"' 'vendor="Halvorn"' \
              'category="Fx|Dynamics"' 'version="1.2.0"' 'sdk-version="VST 3.8.0"' 'n_aux_inputs="2"'; do
    if ! printf '%s\n' "$out" | grep -qF "$want"; then
      echo "Ardour's VST3 scanner: missing '$want' in:"; printf '%s\n' "$out"; status=1
    fi
  done
  echo "Ardour VST3 scan: ok"
else
  echo "Ardour's VST3 scanner is not installed (scripts/install-deps.sh installs it)"; status=1
fi

if [ -x "$qtractor_scan" ]; then
  out=$(printf 'CLAP:%s\n' "$clap" | "$qtractor_scan" 2>&1) || true
  # type|name|audio ins:outs|midi ins:outs|params|flags|path|index|id
  if ! printf '%s\n' "$out" | grep -qE "^CLAP\|Quellbridge\|2:2\|0:0\|14:0\|"; then
    echo "Qtractor's CLAP scanner did not list Quellbridge with 14 parameters:"; printf '%s\n' "$out"; status=1
  else
    echo "Qtractor CLAP scan: ok"
  fi
else
  echo "Qtractor's CLAP scanner is not installed (scripts/install-deps.sh installs it)"; status=1
fi
exit $status
