#!/usr/bin/env bash
# An https refresh of the shared files (48 distinct files of 20 000 bytes) by TFilesUpdater through
# the nginx front of tests/windows/front, with the WinHTTP session the update shares against a peer
# that opens a session per request, in the same run. Each refresh runs in a process of its own
# (the front test's AnHttpsRefreshReusesItsConnections with AUREVIA_FRONT_REFRESH set),
# the two sides alternating; prints each refresh's requests, connections and full TLS handshakes as
# the front logged them, the median time of BENCH_RUNS refreshes of each (default 5) and their ratio.
# Needs scripts/build (both trees) first. Usage: bench/windows/https_refresh.sh
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
cd "$root"
export AUREVIA_HEADLESS=1
exe=build/windows/tests/windows/front/windows_front.exe
service=build/native/tools/fileservice/aurevia-fileservice
runs=${BENCH_RUNS:-5}
state=${BENCH_DIR:-/tmp/aurevia-bench-https}
[ -x "$service" ] && [ -f "$exe" ] || { echo "build first: scripts/build"; exit 1; }
tests/windows/front/front.sh start "$service" "$state"
trap 'tests/windows/front/front.sh stop "$state"' EXIT
median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }

refresh() {  # side: shared or per-request; prints the test's figures line
    AUREVIA_TEST_FRONT_STATE=$state AUREVIA_FRONT_REFRESH=$1 scripts/wine-run "$exe" \
        --gtest_filter=Front.AnHttpsRefreshReusesItsConnections | grep '^refresh ' | tr -d '\r'
}

# Wine's first start in a prefix costs seconds: warm it up outside the measurement.
refresh shared >/dev/null
shared_ms=() per_request_ms=()
for run in $(seq 1 "$runs"); do
    sides="shared per-request"
    [ $((run % 2)) = 0 ] && sides="per-request shared"
    for side in $sides; do
        line=$(refresh "$side")
        [ -n "$line" ] || { echo "the $side refresh failed"; exit 1; }
        echo "$line"
        ms=$(sed -E 's/.* ms=([0-9.]+).*/\1/' <<<"$line")
        if [ "$side" = shared ]; then shared_ms+=("$ms"); else per_request_ms+=("$ms"); fi
    done
done
shared=$(printf '%s\n' "${shared_ms[@]}" | median)
per_request=$(printf '%s\n' "${per_request_ms[@]}" | median)
printf 'median of %d: one session per update %s ms, a session per request %s ms\n' "$runs" "$shared" "$per_request"
printf 'time ratio (session per request / one session): %s\n' \
    "$(awk "BEGIN { printf \"%.2f\", $per_request / $shared }")"
