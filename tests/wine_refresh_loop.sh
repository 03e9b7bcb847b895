#!/usr/bin/env bash
# Drives the window's Refresh under Wine, with Schannel, against the fake services over TLS, and
# counts crashes: tls_fake_server (native) serves a funded wallet and a gallery frame with records
# under a self-signed certificate made here; shell_tests.exe runs the RefreshLoop case against it.
# A crashed run is started again for the Refreshes still to do. Ends with "N refreshes, K crashes"
# and fails when a Refresh crashed or came back wrong.
#
#   tests/wine_refresh_loop.sh [REFRESHES]   (default 100; builds both programs first)
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/env.sh"
cd "$CORVANE_ROOT"

REFRESHES="${1:-100}"
work="$(mktemp -d)"
server_pid=""
cleanup() {
    [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

if ! { native_build tls_fake_server && win_build shell_tests; } >"$work/build.log" 2>&1; then
    tail -n 30 "$work/build.log"
    echo "!! building tls_fake_server or shell_tests failed"
    exit 1
fi
wine_prefix_init || { echo "!! could not create the Wine prefix"; exit 1; }

openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1 -addext subjectAltName=DNS:127.0.0.1,IP:127.0.0.1 \
    -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null || { echo "!! openssl req failed"; exit 1; }
"$CORVANE_BUILD_NATIVE/tests/tls_fake_server" "$work/loop.conf" "$work/cert.pem" "$work/key.pem" \
    >"$work/server.log" 2>&1 &
server_pid=$!
for _ in $(seq 100); do
    grep -q '^cert=' "$work/loop.conf" 2>/dev/null && break
    sleep 0.1
done
grep -q '^cert=' "$work/loop.conf" 2>/dev/null || { echo "!! the TLS fake did not start"; cat "$work/server.log"; exit 1; }

T0=$(date +%s)
done_count=0
crashes=0
failures=0
runs=0
while [ "$done_count" -lt "$REFRESHES" ] && [ "$runs" -lt $((REFRESHES + 1)) ]; do
    runs=$((runs + 1))
    log="$work/run$runs.log"
    (cd "$CORVANE_BUILD_WIN/tests" &&
        CORVANE_TLS_LOOP="Z:$work/loop.conf" CORVANE_TLS_LOOP_COUNT=$((REFRESHES - done_count)) \
            with_display timeout 900 bash -c '"$1" ./shell_tests.exe --gtest_filter=RefreshLoop.*; rc=$?
                "$2" -k 2>/dev/null; exit $rc' _ "$CORVANE_WINE" "$CORVANE_WINESERVER") >"$log" 2>&1 </dev/null
    done_count=$((done_count + $(grep -c '^refresh-loop: refresh [0-9]* done' "$log")))
    if ! grep -q '^\[==========\] 1 test from 1 test suite ran' "$log"; then
        crashes=$((crashes + 1))
        echo "!! run $runs ended without finishing (crash); its last lines:"
        tail -n 5 "$log"
    elif ! grep -q '^\[  PASSED  \] 1 test' "$log"; then
        failures=$((failures + 1))
        grep -E 'Failure|Expected|Which is|Value of|refresh-loop: new connections to' "$log" | head -n 20
        break
    fi
done
last="$work/run$runs.log"
grep -E '^refresh-loop: refresh (1|2) done' "$work"/run1.log
grep '^refresh-loop: new connections to' "$last"
kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
server_pid=""
grep '^tls_fake_server: connections' "$work/server.log"
echo "== took $(($(date +%s) - T0)) s in $runs run(s)"
echo "$done_count refreshes, $crashes crashes"
[ "$crashes" -eq 0 ] && [ "$failures" -eq 0 ] && [ "$done_count" -ge "$REFRESHES" ]
