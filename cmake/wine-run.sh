#!/bin/sh
# Runs a Windows program of this build under Wine, in the build's private prefix.
# HALYARD_WINEPREFIX is set by scripts/test; otherwise the prefix sits beside the binaries' build tree.
: "${HALYARD_WINEPREFIX:=$(cd "$(dirname "$0")/.." && pwd)/build/wineprefix}"
export WINEPREFIX="$HALYARD_WINEPREFIX"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    mkdir -p "$WINEPREFIX"
    wineboot -i >/dev/null 2>&1
fi
exec wine "$@"
