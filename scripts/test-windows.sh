#!/usr/bin/env bash
# Runs the Windows build's tests under Wine: ctest --preset windows, with one
# Wine server and Wine's own services kept up for the whole run.
#
# Without that, the first test to start a server also starts the services,
# which inherit that test's output pipes; ctest then waits for them, and so
# for every other test that keeps the server alive. Started here, with their
# output sent elsewhere, they hold nothing of ctest's.
set -euo pipefail
cd "$(dirname "$0")/.."

export WINEPREFIX="$PWD/build/windows/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="  # no Mono or Gecko installers
export DISPLAY=                             # console programs only; no X server needed
wine=/usr/lib/wine/wine64
server=/usr/lib/wine/wineserver

mkdir -p "$WINEPREFIX"
if [[ ! -f "$WINEPREFIX/system.reg" ]]; then
  echo "setting up a fresh Wine prefix in $WINEPREFIX (takes a while once)"
fi
"$server" -p >/dev/null 2>&1 </dev/null
trap '"$server" -k >/dev/null 2>&1 || true' EXIT
"$wine" wineboot --init >/dev/null 2>&1 </dev/null

ctest --preset windows "$@"
