# Shared by the project's scripts: installs what is missing and sets up the private Wine prefix.
# Sourced, not run.

HALYARD_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
export HALYARD_WINEPREFIX="${HALYARD_WINEPREFIX:-$HALYARD_ROOT/build/wineprefix}"
# With 32-bit Wine installed, the `wine` launcher starts every program, 64-bit ones too, through the
# 32-bit loader, which costs about 50 s of emulation each: 64-bit programs and the prefix's own tools
# go to the 64-bit loader directly.
if [ -x /usr/lib/wine/wine64 ]; then HALYARD_WINE64=/usr/lib/wine/wine64; else HALYARD_WINE64=wine; fi
halyard_wine64() { "$HALYARD_WINE64" "$@"; }

halyard_install_prerequisites() {
    local missing=()
    command -v cmake >/dev/null || missing+=(cmake)
    command -v x86_64-w64-mingw32-g++-posix >/dev/null || missing+=(g++-mingw-w64-x86-64-posix)
    command -v i686-w64-mingw32-g++-posix >/dev/null || missing+=(g++-mingw-w64-i686-posix)
    command -v wine >/dev/null || missing+=(wine wine64)
    [ -f /usr/src/googletest/CMakeLists.txt ] || missing+=(googletest)
    command -v make >/dev/null || missing+=(make)
    # The checkers of tarnmon's Prometheus and OpenMetrics output; the Python client for Debian's python3.
    command -v promtool >/dev/null || missing+=(prometheus)
    [ -d /usr/lib/python3/dist-packages/prometheus_client ] || missing+=(python3-prometheus-client)
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" != 0 ]; then
        echo "missing packages: ${missing[*]} (run as root to install them)" >&2
        return 1
    fi
    echo "installing: ${missing[*]}"
    apt-get update -q >/dev/null
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}" >/dev/null
}

halyard_build() {
    local preset
    for preset in "$@"; do
        cmake --preset "$preset" >/dev/null
        cmake --build --preset "$preset" -j "$(nproc)"
    done
}

# Creates the prefix on first use and keeps one wineserver up for the run; stopped on exit.
halyard_start_wine() {
    # loadperf=n: a stand-in counter-text loader placed in the prefix's system folder wins over Wine's.
    export WINEPREFIX="$HALYARD_WINEPREFIX" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;loadperf=n"
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        echo "creating Wine prefix $WINEPREFIX"
        mkdir -p "$WINEPREFIX"
        halyard_wine64 wineboot.exe -i >/dev/null 2>&1 || true
        wineserver -w
    fi
    # A server already running for this prefix (an earlier run's) serves as well.
    wineserver -p 2>/dev/null || true
    # Start Wine's own services now, detached from our output: a test run that started them
    # would leave them holding its output pipe, and CTest would wait for them for ever.
    halyard_wine64 cmd /c exit </dev/null >/dev/null 2>&1 || true
    trap 'WINEPREFIX="$HALYARD_WINEPREFIX" wineserver -k 2>/dev/null || true' EXIT
}

# 32-bit Wine, for scripts/test-x86. A kernel that cannot run 32-bit programs gets them run by
# qemu-user, registered for i386 executables with flag F: the interpreter is opened once, when it is
# registered, so it serves in every mount namespace. Run again, it only checks.
halyard_install_x86_wine() {
    local missing=()
    [ -x /usr/bin/qemu-i386-static ] || missing+=(qemu-user-static)
    [ -x /usr/lib/wine/wine ] || missing+=(wine32:i386)
    if [ ${#missing[@]} -ne 0 ]; then
        if [ "$(id -u)" != 0 ]; then
            echo "missing packages: ${missing[*]} (run as root to install them)" >&2
            return 1
        fi
        dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
        echo "installing: ${missing[*]}"
        apt-get update -q >/dev/null
        DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}" >/dev/null
    fi
    local binfmt=/proc/sys/fs/binfmt_misc
    if [ ! -e "$binfmt/qemu-i386" ] && ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
        [ -e "$binfmt/register" ] || mount -t binfmt_misc binfmt_misc "$binfmt"
        printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:F' >"$binfmt/register"
    fi
    # Without a reserved address space qemu cannot place what 32-bit Wine maps at fixed addresses:
    # Wine stops with "failed to map the shared user data".
    export QEMU_RESERVED_VA="${QEMU_RESERVED_VA:-0xffff0000}"
    [ -e "$binfmt/qemu-i386" ] && halyard_prepare_x86_emulation
    return 0
}

# qemu-user hands 32-bit Wine its faults without the trap number (see trap-number.c): a library
# preloaded into the 32-bit processes alone puts it back. Through $LIB the 64-bit processes that
# they start load an empty library of that name instead, without a warning.
halyard_prepare_x86_emulation() {
    if ! dpkg -s gcc-multilib >/dev/null 2>&1; then
        echo "installing: gcc-multilib"
        DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends gcc-multilib >/dev/null
    fi
    local out="$HALYARD_ROOT/build/x86-emulation"
    mkdir -p "$out/lib/i386-linux-gnu" "$out/lib/x86_64-linux-gnu"
    gcc -m32 -O2 -Wall -Wextra -Werror -shared -fPIC -o "$out/lib/i386-linux-gnu/libhalyard-trap-number.so" \
        "$HALYARD_ROOT/scripts/x86-emulation/trap-number.c" -ldl
    gcc -shared -fPIC -o "$out/lib/x86_64-linux-gnu/libhalyard-trap-number.so" -x c /dev/null
    export QEMU_SET_ENV="LD_PRELOAD=$out/\$LIB/libhalyard-trap-number.so"
}
