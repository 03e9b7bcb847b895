#!/usr/bin/env bash
# Sets the machine up, builds Corvane for Windows and starts it under Wine (on a private Xvfb
# display when there is no DISPLAY). While the desktop program has no sources yet, builds
# everything, native and Windows, and lists the programs built.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
cd "$CORVANE_ROOT"

bash "$CORVANE_ROOT/scripts/deps.sh"

# The Corvane target exists once the shell has sources (see CMakeLists.txt).
if compgen -G "$CORVANE_ROOT/shell/*.cpp" >/dev/null; then
    win_build Corvane
    exe="$CORVANE_BUILD_WIN/Corvane.exe"
    wine_prefix_init
    echo "== starting $exe"
    cd "$CORVANE_BUILD_WIN"
    rc=0
    wine_run "$exe" || rc=$?
    exit "$rc"
fi

echo "== the desktop program has no sources yet: building everything"
native_build
win_build
echo "== programs built:"
{
    find "$CORVANE_BUILD_NATIVE" -path '*/CMakeFiles' -prune -o -type f -perm -u+x -print
    find "$CORVANE_BUILD_WIN" \( -path '*/CMakeFiles' -o -path '*/wineprefix' \) -prune -o -type f -name '*.exe' -print
} | sort | sed 's/^/   /'
