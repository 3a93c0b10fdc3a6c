#!/usr/bin/env bash
# An https refresh of the shared files (47 distinct files of 20 000 bytes; with the listing, 48
# requests) by TFilesUpdater through the nginx front of tests/windows/update/transport, with the
# WinHTTP session the update shares against a peer that opens a session per request, in the same
# run. Each refresh runs in a process of its own (the front test's
# AnHttpsRefreshReusesItsConnections with AUREVIA_FRONT_REFRESH set), the sides alternating; prints
# each refresh's requests, connections and full TLS handshakes as the front logged them, the median
# time of BENCH_RUNS refreshes of each (default 5) and their ratios.
# A third side models a client that opens a connection per request (what a session per request
# costs where sessions do not share connections, as on Windows): the shared session against a
# second front with keep-alive off, so that every request makes its own connection and handshake.
# Needs scripts/build (both trees) first. Usage: bench/windows/https_refresh.sh
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
cd "$root"
export AUREVIA_HEADLESS=1
exe=build/windows/tests/windows/update/transport/windows_update_transport_front.exe
service=build/native/tools/fileservice/aurevia-fileservice
runs=${BENCH_RUNS:-5}
state=${BENCH_DIR:-/tmp/aurevia-bench-https}
[ -x "$service" ] && [ -f "$exe" ] || { echo "build first: scripts/build"; exit 1; }
tests/windows/update/transport/front.sh start "$service" "$state"
trap 'tests/windows/update/transport/front.sh stop "$state"; tests/windows/update/transport/front.sh stop "$state-close"' EXIT
tests/windows/update/transport/front.sh start "$service" "$state-close"
sed -i 's/^\( *server_name _;\)$/\1\n    keepalive_timeout 0;/' "$state-close/front/aurevia.conf"
kill -HUP "$(cat "$state-close/nginx.pid")"
sleep 1
median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }

refresh() {  # side: shared, per-request or per-connection; prints the test's figures line
    local front=$state side=$1
    [ "$side" = per-connection ] && front=$state-close side=shared
    AUREVIA_TEST_FRONT_STATE=$front AUREVIA_FRONT_REFRESH=$side scripts/wine-run "$exe" \
        --gtest_filter=Front.AnHttpsRefreshReusesItsConnections | grep '^refresh ' | tr -d '\r' |
        sed "s/side=$side/side=$1/"
}

# Wine's first start in a prefix costs seconds: warm it up outside the measurement.
refresh shared >/dev/null
declare -A times
for run in $(seq 1 "$runs"); do
    sides="shared per-request per-connection"
    [ $((run % 2)) = 0 ] && sides="per-connection per-request shared"
    for side in $sides; do
        line=$(refresh "$side")
        [ -n "$line" ] || { echo "the $side refresh failed"; exit 1; }
        echo "$line"
        times[$side]+="$(sed -E 's/.* ms=([0-9.]+).*/\1/' <<<"$line") "
    done
done
median_of() { tr ' ' '\n' <<<"${times[$1]}" | grep . | median; }
median_shared=$(median_of shared)
median_per_request=$(median_of per-request)
median_per_connection=$(median_of per-connection)
printf 'median of %d: one session per update %s ms, a session per request %s ms, a connection per request %s ms\n' \
    "$runs" "$median_shared" "$median_per_request" "$median_per_connection"
printf 'time ratio against one session: a session per request %s, a connection per request %s\n' \
    "$(awk "BEGIN { printf \"%.2f\", $median_per_request / $median_shared }")" \
    "$(awk "BEGIN { printf \"%.2f\", $median_per_connection / $median_shared }")"
