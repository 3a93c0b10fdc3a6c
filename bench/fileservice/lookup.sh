#!/usr/bin/env bash
# Download of a name that is not there against one that is, in one folder of BENCH_FILES files
# (default 50 000), for two builds of the file service side by side in the same run: a name looked up
# exactly as written, one written in another letter case, and a missing one. Each kind is
# BENCH_REQUESTS (default 200) requests on one kept-alive curl connection; the mean per request is
# the median over BENCH_ROUNDS (default 5) rounds, which alternate between the two services.
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
start() {  # start BINARY NAME: the service's port into $dir/NAME.port
    rm -f "$dir/$2.port"
    "$1" --folder "$served" --port 0 --port-file "$dir/$2.port" --rescan 0 >/dev/null 2>"$dir/$2.log" &
    pids+=($!)
    for _ in $(seq 600); do [ -s "$dir/$2.port" ] && return; sleep 0.1; done
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

# The mean time of one request, in ms.
measure() {  # measure NAME KIND
    local port
    port=$(cat "$dir/$1.port")
    sed "s/PORT/$port/" "$dir/$2.curl" | curl -s -K - -w '%{time_total}\n' |
        awk '{ sum += $1; n++ } END { printf "%.3f\n", 1000 * sum / n }'
}
median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

declare -A times
for round in $(seq "$rounds"); do
    for build in before after; do
        for kind in exact case miss; do
            times[$build.$kind]+="$(measure $build $kind) "
        done
    done
done

echo "$files files, $requests requests per kind, median of $rounds rounds (ms per request)"
printf '| %-6s | %9s | %12s | %9s | %10s | %16s |\n' build exact 'other case' miss miss/exact 'other case/exact'
for build in before after; do
    e=$(echo ${times[$build.exact]} | tr ' ' '\n' | median)
    c=$(echo ${times[$build.case]} | tr ' ' '\n' | median)
    m=$(echo ${times[$build.miss]} | tr ' ' '\n' | median)
    printf '| %-6s | %9s | %12s | %9s | %10s | %16s |\n' "$build" "$e" "$c" "$m" \
        "$(awk -v a="$m" -v b="$e" 'BEGIN { printf "%.1f", a / b }')" \
        "$(awk -v a="$c" -v b="$e" 'BEGIN { printf "%.1f", a / b }')"
done
