#!/usr/bin/env bash
# Download of a name that is not there against one that is, in one folder of BENCH_FILES files
# (default 50 000), for two builds of the file service side by side in the same run: a name looked up
# exactly as written, one written in another letter case, and a missing one. Each kind is
# BENCH_REQUESTS (default 200) requests on one kept-alive curl connection; a round gives the median
# and the mean time per request (the mean follows the machine's load spikes), and the figures are
# the medians over BENCH_ROUNDS (default 5) rounds, which alternate between the two services. Then
# the time from start to listening (the first walk of the folder, which now also builds the index),
# median of BENCH_ROUNDS alternating starts.
#   bench/fileservice/lookup.sh BEFORE_BINARY [AFTER_BINARY]
# AFTER_BINARY defaults to this tree's build/native/tools/fileservice/aurevia-fileservice. The folder
# is generated under BENCH_DIR (default /tmp/aurevia-bench-lookup) and kept for the next run.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/../.."
[ $# -ge 1 ] || { sed -n '2,9p' "$0"; exit 2; }
before=$(realpath "$1")
after=$(realpath "${2:-build/native/tools/fileservice/aurevia-fileservice}")
files=${BENCH_FILES:-50000}
requests=${BENCH_REQUESTS:-200}
rounds=${BENCH_ROUNDS:-5}
dir=${BENCH_DIR:-/tmp/aurevia-bench-lookup}

served="$dir/served-$files"
if [ ! -e "$served/.complete" ]; then
    rm -rf "$served"
    mkdir -p "$served"
    (cd "$served" && seq -f 'Rpt%05g.rav' 1 "$files" | xargs touch -d '2026-01-01 00:00')
    touch "$served/.complete"
fi

pids=()
trap 'kill "${pids[@]}" 2>/dev/null || true' EXIT
started_ms=0
start() {  # start BINARY NAME: the service's port into $dir/NAME.port; $started_ms the time it took
    rm -f "$dir/$2.port"
    "$1" --folder "$served" --port 0 --port-file "$dir/$2.port" --rescan 0 >/dev/null 2>"$dir/$2.log" &
    pids+=($!)
    local begun
    begun=$(date +%s%N)
    for _ in $(seq 6000); do
        if [ -s "$dir/$2.port" ]; then
            started_ms=$(( ($(date +%s%N) - begun) / 1000000 ))
            return
        fi
        sleep 0.01
    done
    echo "the $2 service did not start: $(cat "$dir/$2.log")" >&2
    exit 1
}
start "$before" before
start "$after" after

# curl configurations: one URL per request, the names spread over the folder.
step=$(( files / requests > 0 ? files / requests : 1 ))
for kind in exact case miss; do
    for i in $(seq 1 "$requests"); do
        n=$(( (i * step) % files + 1 ))
        case $kind in
            exact) printf 'url = "http://127.0.0.1:PORT/download?file=Rpt%05d.rav"\n' "$n" ;;
            case) printf 'url = "http://127.0.0.1:PORT/download?file=RPT%05d.RAV"\n' "$n" ;;
            miss) printf 'url = "http://127.0.0.1:PORT/download?file=Missing%05d.rav"\n' "$n" ;;
        esac
        echo 'output = "/dev/null"'
    done >"$dir/$kind.curl"
done

# The median and the mean time of one request, in ms: "MEDIAN MEAN".
measure() {  # measure NAME KIND
    local port
    port=$(cat "$dir/$1.port")
    sed "s/PORT/$port/" "$dir/$2.curl" | curl -s -K - -w '%{time_total}\n' | sort -g |
        awk '{ v[NR] = $1; sum += $1 } END { printf "%.3f %.3f\n", 1000 * v[int((NR + 1) / 2)], 1000 * sum / NR }'
}
median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

declare -A times
for round in $(seq "$rounds"); do
    for build in before after; do
        for kind in exact case miss; do
            read -r p50 mean < <(measure $build $kind)
            times[$build.$kind.median]+="$p50 "
            times[$build.$kind.mean]+="$mean "
        done
    done
done

echo "$files files, $requests requests per kind, median of $rounds rounds (ms per request)"
printf '| %-6s | %-6s | %9s | %12s | %9s | %10s | %16s |\n' build figure exact 'other case' miss miss/exact \
    'other case/exact'
for build in before after; do
    for figure in median mean; do
        e=$(echo ${times[$build.exact.$figure]} | tr ' ' '\n' | median)
        c=$(echo ${times[$build.case.$figure]} | tr ' ' '\n' | median)
        m=$(echo ${times[$build.miss.$figure]} | tr ' ' '\n' | median)
        printf '| %-6s | %-6s | %9s | %12s | %9s | %10s | %16s |\n' "$build" "$figure" "$e" "$c" "$m" \
            "$(awk -v a="$m" -v b="$e" 'BEGIN { printf "%.2f", a / b }')" \
            "$(awk -v a="$c" -v b="$e" 'BEGIN { printf "%.2f", a / b }')"
    done
done

# Start-up: the first walk of the folder.
kill "${pids[@]}" 2>/dev/null || true
wait 2>/dev/null || true
pids=()
declare -A starts
for round in $(seq "$rounds"); do
    for build in before after; do
        start "${!build}" "$build"
        starts[$build]+="$started_ms "
        kill "${pids[@]}"
        wait 2>/dev/null || true
        pids=()
    done
done
sb=$(echo ${starts[before]} | tr ' ' '\n' | median)
sa=$(echo ${starts[after]} | tr ' ' '\n' | median)
echo "start-up to listening (first walk), median of $rounds: before $sb ms, after $sa ms," \
    "after/before $(awk -v a="$sa" -v b="$sb" 'BEGIN { printf "%.2f", a / b }')"
