#!/usr/bin/env bash
# Builds the benchmarks natively (Release, in build-bench) and runs them. Arguments go to the
# benchmark program, e.g. --benchmark_filter=Tx.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
BUILD_BENCH="${CORVANE_BUILD_BENCH:-$CORVANE_ROOT/build-bench}"

bash "$CORVANE_ROOT/scripts/deps.sh" --native
cmake -S "$CORVANE_ROOT" -B "$BUILD_BENCH" -DCMAKE_BUILD_TYPE=Release -DCORVANE_SANITIZE=OFF \
    -DCORVANE_BENCH=ON >/dev/null
if ! compgen -G "$CORVANE_ROOT/bench/*.cpp" >/dev/null; then
    echo "no benchmarks yet (bench/*.cpp)"
    exit 0
fi
cmake --build "$BUILD_BENCH" -j "$CORVANE_JOBS" --target engine_bench
"$BUILD_BENCH/bench/engine_bench" "$@"
