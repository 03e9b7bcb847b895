#!/usr/bin/env bash
# Runs every test: sets the machine up, builds natively with AddressSanitizer and UBSan and runs
# the test programs through CTest, then cross-builds for Windows and runs engine_tests.exe under
# Wine, and drives the window's Refresh there against the fakes over TLS. Ends with one line
# "N passed, N failed" and a non-zero status when anything failed.
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
cd "$CORVANE_ROOT"

# An undefined-behaviour report shows where it happened and ends the program, so CTest sees it.
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

PASSED=0
FAILED=0
FAILED_NAMES="" # one failure a line
T0=$(date +%s)

elapsed() { echo "$(($(date +%s) - $1)) s"; }

finish() {
    echo "== total time $(elapsed "$T0")"
    # The failures are named again last, where a log cut to its end still shows them.
    local name
    while IFS= read -r name; do
        [ -n "$name" ] && echo "!! failed: $name"
    done <<<"$FAILED_NAMES"
    echo "$PASSED passed, $FAILED failed"
    [ "$FAILED" -eq 0 ]
    exit $?
}

# Adds the results of one test program (or one part of it), read from its GoogleTest XML report.
# A program that failed without a report (a crash, a sanitizer abort, its time limit: status 124)
# or whose report shows no failure although it exited with an error (a leak found at exit) counts
# as one failure more, named after the test it was in when the program noted one
# (tests/test_main.cpp). With "quiet", only a part that failed says so.
count_program() {
    local name="$1" xml="$2" program_failed="$3" quiet="${4:-}" counts p f started what
    # The name failures are filed under: the program, without the suite a native part adds.
    local program="${name##* }"
    [ "${name%% *}" = native ] && program="${program%%.*}"
    if [ -f "$xml" ]; then
        counts="$(awk '
            /<testsuites / {
                match($0, / tests="[0-9]+"/); t = substr($0, RSTART + 8, RLENGTH - 9)
                match($0, / failures="[0-9]+"/); f = substr($0, RSTART + 11, RLENGTH - 12)
                match($0, / disabled="[0-9]+"/); d = substr($0, RSTART + 11, RLENGTH - 12)
            }
            /<testsuite / && match($0, / skipped="[0-9]+"/) { s += substr($0, RSTART + 10, RLENGTH - 11) }
            END { print t - f - d - s, f + 0 }' "$xml")"
        p="${counts% *}"
        f="${counts#* }"
        FAILED_NAMES="$FAILED_NAMES$(awk -v program="$program" '
            /<testcase / {
                match($0, / name="[^"]*"/); n = substr($0, RSTART + 7, RLENGTH - 8)
                match($0, / classname="[^"]*"/); c = substr($0, RSTART + 12, RLENGTH - 13)
            }
            /<failure / && !seen[c "." n]++ { printf "\n%s:%s.%s", program, c, n }' "$xml")"
    else
        p=0
        f=0
    fi
    started=""
    [ -f "$xml.started" ] && started="$(head -c 300 "$xml.started" | tr -d '\r\n')"
    if [ "$program_failed" -eq 124 ]; then
        what="timed out${started:+: $started}"
        echo "!! $name $what"
        FAILED_NAMES="$FAILED_NAMES"$'\n'"$program:$what"
        f=$((f + 1))
    elif [ "$program_failed" -ne 0 ] && [ "$f" -eq 0 ]; then
        echo "!! $name failed without a failing test (crash, sanitizer report or missing report)"
        FAILED_NAMES="$FAILED_NAMES"$'\n'"$program:crashed${started:+ in $started}"
        f=1
    elif [ ! -f "$xml" ]; then
        # A program that crashed under Wine may end with status 0 all the same.
        echo "!! $name left no report (a crash?)"
        FAILED_NAMES="$FAILED_NAMES"$'\n'"$program:no-report${started:+ in $started}"
        f=1
    fi
    [ -z "$quiet" ] || [ "$f" -ne 0 ] && echo "== $name: $p passed, $f failed"
    PASSED=$((PASSED + p))
    FAILED=$((FAILED + f))
}

echo "== setting up dependencies"
T=$(date +%s)
if ! bash "$CORVANE_ROOT/scripts/deps.sh"; then
    echo "!! dependency setup failed"
    FAILED=$((FAILED + 1))
    finish
fi
echo "== dependencies: $(elapsed "$T")"

# Native: everything, benchmarks compiled but not run.
T=$(date +%s)
echo "== native build in $CORVANE_BUILD_NATIVE"
if native_build; then
    # Each suite of each test program is a CTest part of its own, with its own report in
    # $results (cmake/test_parts.cmake); the parts run side by side.
    results="$CORVANE_BUILD_NATIVE/test-results"
    rm -rf "$results" "$CORVANE_BUILD_NATIVE/Testing/Temporary/LastTestsFailed.log"
    mkdir -p "$results"
    T_CTEST=$(date +%s)
    (cd "$CORVANE_BUILD_NATIVE" && ctest --output-on-failure -j "$CORVANE_JOBS" </dev/null) | tee "$results/ctest.log"
    echo "== native tests (CTest): $(elapsed "$T_CTEST")"
    failed_log="$CORVANE_BUILD_NATIVE/Testing/Temporary/LastTestsFailed.log"
    native_passed=$PASSED
    native_failed=$FAILED
    parts=0
    for name in $(cd "$CORVANE_BUILD_NATIVE" && ctest -N | sed -n 's/^ *Test *#[0-9]*: *//p'); do
        program_failed=0
        if [ -f "$failed_log" ] && cut -d: -f2- "$failed_log" | grep -Fxq -- "$name"; then
            program_failed=1
            # CTest's own line for a part it stopped: "... Test #12: <name> ....***Timeout 900.01 sec".
            grep -Eq "Test +#[0-9]+: ${name//./\\.} \.*\*+Timeout" "$results/ctest.log" && program_failed=124
        fi
        count_program "native $name" "$results/${name//\//-}.xml" "$program_failed" quiet
        parts=$((parts + 1))
    done
    echo "== native: $((PASSED - native_passed)) passed, $((FAILED - native_failed)) failed in $parts parts"
else
    echo "!! native build failed"
    FAILED=$((FAILED + 1))
fi
echo "== native build and tests: $(elapsed "$T")"

# Windows: the cross build, then engine_tests.exe (and shell_tests.exe) under Wine.
T=$(date +%s)
echo "== Windows build in $CORVANE_BUILD_WIN"
if win_build; then
    results="$CORVANE_BUILD_WIN/test-results"
    rm -rf "$results"
    mkdir -p "$results"
    if wine_prefix_init; then
        for program in engine_tests shell_tests; do
            [ -f "$CORVANE_BUILD_WIN/tests/$program.exe" ] || continue
            echo "== running $program.exe under Wine"
            rc=0
            (cd "$CORVANE_BUILD_WIN/tests" &&
                with_display timeout 900 bash -c '"$1" "./$4.exe" --gtest_brief=1 "--gtest_output=xml:Z:$2"
                    rc=$?; "$3" -k 2>/dev/null; exit $rc' _ \
                    "$CORVANE_WINE" "$results/$program.xml" "$CORVANE_WINESERVER" "$program" </dev/null) || rc=$?
            count_program "Wine $program.exe" "$results/$program.xml" "$rc"
        done
        # The popups that grow with their answer, on a 1024 x 768 screen as well.
        if [ -f "$CORVANE_BUILD_WIN/tests/shell_tests.exe" ]; then
            rc=0
            (cd "$CORVANE_BUILD_WIN/tests" && CORVANE_SCREEN=1024x768x24 &&
                with_display bash -c '"$1" ./shell_tests.exe --gtest_brief=1 --gtest_filter="$4" "--gtest_output=xml:Z:$2"
                    rc=$?; "$3" -k 2>/dev/null; exit $rc' _ "$CORVANE_WINE" "$results/shell_tests_1024.xml" \
                    "$CORVANE_WINESERVER" 'TaskPopupWindow.LongAnswersStayInsideTheWorkArea' </dev/null) || rc=$?
            count_program "Wine shell_tests.exe@1024x768" "$results/shell_tests_1024.xml" "$rc"
        fi
        # A hundred of the window's Refreshes over Schannel against the fakes over TLS: no crash.
        if [ -f "$CORVANE_BUILD_WIN/tests/shell_tests.exe" ]; then
            echo "== Refresh loop under Wine"
            if bash "$CORVANE_ROOT/tests/wine_refresh_loop.sh" 100 </dev/null; then
                PASSED=$((PASSED + 1))
            else
                echo "!! the Refresh loop under Wine failed"
                FAILED=$((FAILED + 1))
            fi
        fi
    else
        echo "!! could not create the Wine prefix"
        FAILED=$((FAILED + 1))
    fi
else
    echo "!! Windows build failed"
    FAILED=$((FAILED + 1))
fi
echo "== Windows build and tests: $(elapsed "$T")"

finish
