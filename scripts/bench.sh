#!/usr/bin/env bash
# Builds the benchmarks natively (Release, in build-bench), runs every one of them (or those the
# arguments pick, e.g. --benchmark_filter=Refresh) and prints one line per figure: the benchmark,
# its time, its ratio to the dependent chain where it has one, then its other counters (requests
# and connections per host, refusals, ...). The program's own output is kept beside the table.
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
RESULTS="$BUILD_BENCH/bench_results.json"
"$BUILD_BENCH/bench/engine_bench" --benchmark_out="$RESULTS" --benchmark_out_format=json "$@"

python3 - "$RESULTS" <<'PY'
import json, sys

# Google Benchmark's own members; every other number of a run is one of the benchmark's counters.
OWN = {"name", "family_index", "per_family_instance_index", "run_name", "run_type", "repetitions",
       "repetition_index", "threads", "iterations", "real_time", "cpu_time", "time_unit",
       "aggregate_name", "aggregate_unit", "label", "error_occurred", "error_message"}
TO_MS = {"ns": 1e-6, "us": 1e-3, "ms": 1.0, "s": 1e3}

def figure(value):
    return str(int(value)) if float(value).is_integer() else "%.4g" % value

runs = json.load(open(sys.argv[1])).get("benchmarks", [])
width = max([len("benchmark")] + [len(run["name"]) for run in runs])
print()
print("%-*s %10s %8s  %s" % (width, "benchmark", "time_ms", "x_chain", "counters"))
for run in runs:
    if run.get("error_occurred"):
        print("%-*s %10s %8s  error: %s" % (width, run["name"], "-", "-", run.get("error_message", "")))
        continue
    counters = {k: v for k, v in run.items() if k not in OWN and isinstance(v, (int, float))}
    ms = counters.pop("wall_ms", None)
    if ms is None and "real_time" in run:
        ms = run["real_time"] * TO_MS.get(run.get("time_unit", "ns"), 1e-6)
    ratio = counters.pop("times_chain", None)
    rest = "  ".join("%s=%s" % (k, figure(v)) for k, v in sorted(counters.items()))
    print("%-*s %10s %8s  %s" % (width, run["name"], "-" if ms is None else "%.1f" % ms,
                                  "-" if ratio is None else "%.2f" % ratio, rest))
PY
