#!/bin/sh
# Runs a Windows program of this build under Wine, in the build's private prefix.
# HALYARD_WINEPREFIX is set by scripts/test; otherwise the prefix sits beside the binaries' build tree.
: "${HALYARD_WINEPREFIX:=$(cd "$(dirname "$0")/.." && pwd)/build/wineprefix}"
export WINEPREFIX="$HALYARD_WINEPREFIX"
export WINEDEBUG=-all
# loadperf=n: the stand-in counter-text loader in the system folder, not Wine's own, which records nothing.
# HALYARD_DLL_OVERRIDES adds the caller's own (scripts/test-x86 disables the debugger).
export WINEDLLOVERRIDES="mscoree,mshtml=;loadperf=n${HALYARD_DLL_OVERRIDES:+;$HALYARD_DLL_OVERRIDES}"
# The 64-bit loader directly: with 32-bit Wine installed, the `wine` launcher would start every
# program through the 32-bit loader, which costs about 50 s of emulation each.
wine64=/usr/lib/wine/wine64
[ -x "$wine64" ] || wine64=wine
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    mkdir -p "$WINEPREFIX"
    "$wine64" wineboot.exe -i >/dev/null 2>&1
fi
# Tests that install counters name the stand-in loader here; it goes where the system's lies, never
# beside a program. Copied under another name and renamed, so parallel tests never see half a file.
if [ -n "${HALYARD_LOADPERF_STANDIN:-}" ]; then
    system32="$WINEPREFIX/drive_c/windows/system32"
    if ! cmp -s "$HALYARD_LOADPERF_STANDIN" "$system32/loadperf.dll"; then
        cp "$HALYARD_LOADPERF_STANDIN" "$system32/loadperf.dll.$$" && mv -f "$system32/loadperf.dll.$$" "$system32/loadperf.dll"
    fi
fi
# Under Wine a program that dies of an unhandled exception once it has run a second thread ends
# with exit code 0; only the test framework's closing line shows that a test program finished.
case " $* " in
*" --gtest_color=no "*)
    output=$(mktemp) || exit 1
    "$wine64" "$@" >"$output" 2>&1
    status=$?
    cat "$output"
    if [ "$status" -eq 0 ] && ! grep -q '^\[  PASSED  \]' "$output"; then
        echo "wine-run.sh: the test program ended before all its tests had run" >&2
        status=1
    fi
    rm -f "$output"
    exit "$status"
    ;;
esac
exec "$wine64" "$@"
