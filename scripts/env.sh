# Paths and settings shared by the scripts; sourced, never run.
#
# CORVANE_DEPS         folder of the third-party builds (default: <repo>/.deps); point it at an
#                      existing .deps to skip rebuilding OpenSSL and curl in a second checkout
# CORVANE_BUILD_NATIVE native build folder (default: <repo>/build-native)
# CORVANE_BUILD_WIN    Windows build folder (default: <repo>/build-win)
# CORVANE_JOBS         parallel build and test jobs (default: the number of cores)
# CORVANE_SCREEN       size of the private Xvfb screen (default: 1366x768x24, a common laptop's)

CORVANE_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
CORVANE_DEPS="${CORVANE_DEPS:-$CORVANE_ROOT/.deps}"
CORVANE_WIN_PREFIX="$CORVANE_DEPS/win64"
CORVANE_BUILD_NATIVE="${CORVANE_BUILD_NATIVE:-$CORVANE_ROOT/build-native}"
CORVANE_BUILD_WIN="${CORVANE_BUILD_WIN:-$CORVANE_ROOT/build-win}"
CORVANE_JOBS="${CORVANE_JOBS:-$(nproc 2>/dev/null || echo 2)}"
CORVANE_SCREEN="${CORVANE_SCREEN:-1366x768x24}"
CORVANE_TOOLCHAIN="$CORVANE_ROOT/cmake/mingw-w64-x86_64.cmake"

# Debian ships the 64-bit loader outside PATH.
CORVANE_WINE=/usr/lib/wine/wine64
CORVANE_WINESERVER=/usr/lib/wine/wineserver64
[ -x "$CORVANE_WINESERVER" ] || CORVANE_WINESERVER=/usr/lib/wine/wineserver

# A private Wine prefix inside the Windows build folder, quiet, without the Mono and Gecko prompts.
wine_env() {
    export WINEPREFIX="$CORVANE_BUILD_WIN/wineprefix"
    export WINEARCH=win64
    export WINEDEBUG=-all
    export WINEDLLOVERRIDES="mscoree,mshtml="
}

# Creates the Wine prefix once; later calls return at once.
wine_prefix_init() {
    wine_env
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        mkdir -p "$WINEPREFIX"
        echo "== creating the Wine prefix in $WINEPREFIX"
        with_display "$CORVANE_WINE" wineboot -i >/dev/null 2>&1 || true
        "$CORVANE_WINESERVER" -w || true
        [ -f "$WINEPREFIX/system.reg" ] || return 1
    fi
    wine_debugger_off
}

# A program that crashes under Wine ends at once with its backtrace on stderr: the debugger Wine
# starts for it shows no crash dialog, which on a display nobody sees would keep the run waiting
# until its time-out. (Its exit status is then not always a failure; the runs count a missing
# report as one.) Set once per prefix, older prefixes included.
wine_debugger_off() {
    local done_mark="$WINEPREFIX/.debugger-off"
    [ -f "$done_mark" ] && return 0
    "$CORVANE_WINE" reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Auto /t REG_SZ \
        /d 1 /f >/dev/null 2>&1 &&
        "$CORVANE_WINE" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f \
            >/dev/null 2>&1 || return 1
    "$CORVANE_WINESERVER" -w || true
    touch "$done_mark"
}

# Runs a command with an X display: the current one, or a private Xvfb when there is none.
with_display() {
    if [ -n "${DISPLAY:-}" ]; then
        "$@"
    else
        xvfb-run -a -s "-screen 0 $CORVANE_SCREEN" "$@"
    fi
}

# Runs a Windows program under Wine in the prefix. On a private Xvfb display the Wine server is
# stopped before the display goes away, so no Wine process loses its X connection.
wine_run() {
    wine_env
    if [ -n "${DISPLAY:-}" ]; then
        "$CORVANE_WINE" "$@"
    else
        xvfb-run -a -s "-screen 0 $CORVANE_SCREEN" bash -c '"$1" "${@:3}"; rc=$?; "$2" -k 2>/dev/null; exit $rc' _ \
            "$CORVANE_WINE" "$CORVANE_WINESERVER" "$@"
    fi
}

# Configures and builds the native tree. Extra arguments are build targets.
native_build() {
    cmake -S "$CORVANE_ROOT" -B "$CORVANE_BUILD_NATIVE" -DCMAKE_BUILD_TYPE=Debug \
        -DCORVANE_SANITIZE=ON -DCORVANE_BENCH=ON >/dev/null
    cmake --build "$CORVANE_BUILD_NATIVE" -j "$CORVANE_JOBS" ${1:+--target "$@"}
}

# Configures and builds the Windows tree with the cross toolchain. Extra arguments are targets.
win_build() {
    cmake -S "$CORVANE_ROOT" -B "$CORVANE_BUILD_WIN" -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE="$CORVANE_TOOLCHAIN" -DCORVANE_WIN_PREFIX="$CORVANE_WIN_PREFIX" >/dev/null
    cmake --build "$CORVANE_BUILD_WIN" -j "$CORVANE_JOBS" ${1:+--target "$@"}
}
