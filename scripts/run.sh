#!/usr/bin/env bash
# Sets the machine up, builds Corvane for Windows and starts it under Wine (on a private Xvfb
# display when there is no DISPLAY). Ends with the program's exit status.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
cd "$CORVANE_ROOT"

bash "$CORVANE_ROOT/scripts/deps.sh"

win_build Corvane
exe="$CORVANE_BUILD_WIN/Corvane.exe"
wine_prefix_init
echo "== starting $exe"
cd "$CORVANE_BUILD_WIN"
rc=0
wine_run "$exe" || rc=$?
exit "$rc"
