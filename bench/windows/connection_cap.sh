#!/usr/bin/env bash
# An https refresh of the shared files (47 distinct files of 20 000 bytes; with the listing, 48
# requests) by TFilesUpdater through the nginx front of tests/windows/update/transport, with the
# session's cap on connections ([Rede] Conexoes) at 6 (the default) and 2 against no cap, in the
# same run. Each refresh runs in a process of its own (Wine's pool of connections outlives the
# sessions), the sides alternating; prints each refresh's requests and connections as the front
# logged them, the median time of BENCH_RUNS refreshes of each (default 5) and their ratios.
# Needs both trees built first. Usage: bench/windows/connection_cap.sh
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/front_refresh.sh"
state=${BENCH_DIR:-/tmp/aurevia-bench-connections}
start_front "$state"

refresh() { front_refresh "$state" shared "cap=$1" AUREVIA_FRONT_CONNECTIONS="$1"; }  # cap (0: none)
alternate refresh 0 6 2
none=$(median_of 0) six=$(median_of 6) two=$(median_of 2)
printf 'median of %d: no cap %s ms, cap 6 %s ms, cap 2 %s ms\n' "$runs" "$none" "$six" "$two"
printf 'time ratio against no cap: cap 6 %s, cap 2 %s\n' \
    "$(awk "BEGIN { printf \"%.2f\", $six / $none }")" "$(awk "BEGIN { printf \"%.2f\", $two / $none }")"
