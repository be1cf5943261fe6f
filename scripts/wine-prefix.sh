#!/usr/bin/env bash
# Makes (once) the Wine prefix that the Windows tests run in, and starts its wineserver for the run.
set -euo pipefail
prefix=${1:?usage: wine-prefix.sh PREFIX}
export WINEPREFIX=$prefix WINEDEBUG=-all
if [ ! -f "$prefix/system.reg" ]; then
    mkdir -p "$prefix"
    # No display is needed to make a prefix; keep wineboot from asking for Mono or Gecko.
    WINEDLLOVERRIDES="mscoree,mshtml=" wineboot -i >/dev/null 2>&1
fi
wineserver -p >/dev/null 2>&1 || true
# The first Wine program to meet the server starts Wine's own services (services.exe, plugplay,
# ...), which live as long as the persistent server and keep that program's output open. Started
# from a test, they would hold the test runner's output pipe, and it would wait for them for ever.
# Started here, their output goes nowhere.
wineboot >/dev/null 2>&1 || true
echo "wine prefix ready: $prefix"
