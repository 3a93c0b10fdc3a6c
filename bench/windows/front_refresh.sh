# Sourced by the https refresh benches: an https refresh of the shared files by TFilesUpdater through
# the nginx front of tests/windows/update/transport (the front test's AnHttpsRefreshReusesItsConnections
# with AUREVIA_FRONT_REFRESH set), each in a process of its own, sides alternating. Changes to the
# checkout's folder. Sets: root, exe, service, runs (BENCH_RUNS, default 5). Defines:
#   start_front STATE          the test's front in STATE, stopped on exit
#   front_refresh STATE SIDE LABEL [VAR=VALUE...]
#                              one refresh of SIDE through the front in STATE, with VAR=VALUE in its
#                              environment; prints the test's figures line, its side named LABEL
#   alternate REFRESH SIDE...  after one refresh to warm Wine up, `runs` rounds of REFRESH SIDE for
#                              each side, in this order on odd rounds and the reverse on even ones;
#                              prints each figures line and keeps its time for median_of SIDE
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
cd "$root"
export AUREVIA_HEADLESS=1
exe=build/windows/tests/windows/update/transport/windows_update_transport_front.exe
service=build/native/tools/fileservice/aurevia-fileservice
runs=${BENCH_RUNS:-5}
[ -x "$service" ] && [ -f "$exe" ] || { echo "build first: scripts/build"; exit 1; }

fronts=()
trap 'for f in "${fronts[@]}"; do tests/windows/update/transport/front.sh stop "$f"; done' EXIT
start_front() {
    fronts+=("$1")
    tests/windows/update/transport/front.sh start "$service" "$1"
}

front_refresh() {
    local front=$1 side=$2 label=$3
    shift 3
    env "$@" AUREVIA_TEST_FRONT_STATE="$front" AUREVIA_FRONT_REFRESH="$side" scripts/wine-run "$exe" \
        --gtest_filter=Front.AnHttpsRefreshReusesItsConnections | grep '^refresh ' | tr -d '\r' |
        sed "s/side=$side/$label/"
}

declare -A times
alternate() {
    local refresh=$1 run side line i
    shift
    local forward=("$@") backward=()
    for ((i = $# - 1; i >= 0; i--)); do backward+=("${forward[i]}"); done
    # Wine's first start in a prefix costs seconds: outside the measurement.
    "$refresh" "$1" >/dev/null
    for run in $(seq 1 "$runs"); do
        local sides=("${forward[@]}")
        [ $((run % 2)) = 0 ] && sides=("${backward[@]}")
        for side in "${sides[@]}"; do
            line=$("$refresh" "$side")
            [ -n "$line" ] || { echo "the refresh of $side failed"; exit 1; }
            echo "$line"
            times[$side]+="$(sed -E 's/.* ms=([0-9.]+).*/\1/' <<<"$line") "
        done
    done
}
median_of() { tr ' ' '\n' <<<"${times[$1]}" | grep . | sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
