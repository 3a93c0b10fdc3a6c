#!/usr/bin/env bash
# An https refresh of the shared files (47 distinct files of 20 000 bytes; with the listing, 48
# requests) by TFilesUpdater through the nginx front of tests/windows/update/transport, with the
# session's cap on connections ([Rede] Conexoes) at 6 (the default) and 2 against no cap, in the
# same run. Each refresh runs in a process of its own (Wine's pool of connections outlives the
# sessions), the sides alternating; prints each refresh's requests and connections as the front
# logged them, the median time of BENCH_RUNS refreshes of each (default 5) and their ratios.
# Needs both trees built first. Usage: bench/windows/connection_cap.sh
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
cd "$root"
export AUREVIA_HEADLESS=1
exe=build/windows/tests/windows/update/transport/windows_update_transport_front.exe
service=build/native/tools/fileservice/aurevia-fileservice
runs=${BENCH_RUNS:-5}
state=${BENCH_DIR:-/tmp/aurevia-bench-connections}
[ -x "$service" ] && [ -f "$exe" ] || { echo "build first: scripts/build"; exit 1; }
tests/windows/update/transport/front.sh start "$service" "$state"
trap 'tests/windows/update/transport/front.sh stop "$state"' EXIT
median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }

refresh() {  # cap (0: none); prints the test's figures line
    AUREVIA_TEST_FRONT_STATE=$state AUREVIA_FRONT_REFRESH=shared AUREVIA_FRONT_CONNECTIONS=$1 scripts/wine-run "$exe" \
        --gtest_filter=Front.AnHttpsRefreshReusesItsConnections | grep '^refresh ' | tr -d '\r' |
        sed "s/side=shared/cap=$1/"
}

# Wine's first start in a prefix costs seconds: warm it up outside the measurement.
refresh 6 >/dev/null
declare -A times
for run in $(seq 1 "$runs"); do
    caps="0 6 2"
    [ $((run % 2)) = 0 ] && caps="2 6 0"
    for cap in $caps; do
        line=$(refresh "$cap")
        [ -n "$line" ] || { echo "the refresh with cap $cap failed"; exit 1; }
        echo "$line"
        times[$cap]+="$(sed -E 's/.* ms=([0-9.]+).*/\1/' <<<"$line") "
    done
done
median_of() { tr ' ' '\n' <<<"${times[$1]}" | grep . | median; }
none=$(median_of 0) six=$(median_of 6) two=$(median_of 2)
printf 'median of %d: no cap %s ms, cap 6 %s ms, cap 2 %s ms\n' "$runs" "$none" "$six" "$two"
printf 'time ratio against no cap: cap 6 %s, cap 2 %s\n' \
    "$(awk "BEGIN { printf \"%.2f\", $six / $none }")" "$(awk "BEGIN { printf \"%.2f\", $two / $none }")"
