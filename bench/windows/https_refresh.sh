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
. "$(dirname "${BASH_SOURCE[0]}")/front_refresh.sh"
state=${BENCH_DIR:-/tmp/aurevia-bench-https}
start_front "$state"
start_front "$state-close"
sed -i 's/^\( *server_name _;\)$/\1\n    keepalive_timeout 0;/' "$state-close/front/aurevia.conf"
kill -HUP "$(cat "$state-close/nginx.pid")"
sleep 1

refresh() {  # side: shared, per-request or per-connection
    case "$1" in
    per-connection) front_refresh "$state-close" shared "side=$1" ;;
    *) front_refresh "$state" "$1" "side=$1" ;;
    esac
}
alternate refresh shared per-request per-connection
median_shared=$(median_of shared)
median_per_request=$(median_of per-request)
median_per_connection=$(median_of per-connection)
printf 'median of %d: one session per update %s ms, a session per request %s ms, a connection per request %s ms\n' \
    "$runs" "$median_shared" "$median_per_request" "$median_per_connection"
printf 'time ratio against one session: a session per request %s, a connection per request %s\n' \
    "$(awk "BEGIN { printf \"%.2f\", $median_per_request / $median_shared }")" \
    "$(awk "BEGIN { printf \"%.2f\", $median_per_connection / $median_shared }")"
