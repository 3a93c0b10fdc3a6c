#!/usr/bin/env bash
# File service client benchmark: 50 files (BENCH_MB each, default 5: 250 MB in all) downloaded from
# the reference service by parallel TRESTClientDownload::Download calls under Wine, against native
# `curl --parallel` fetching the same files from the same service in the same run. Prints the median
# of BENCH_RUNS runs (default 3) of each, their ratio, and both sides' peak memory.
# Needs scripts/build (both trees) first. Usage: bench/windows/client_download.sh
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
cd "$root"
export AUREVIA_HEADLESS=1
exe=build/windows/bench/windows/bench_client_download.exe
service=build/native/tools/fileservice/aurevia-fileservice
runs=${BENCH_RUNS:-3}
mb=${BENCH_MB:-5}
files=50
work=${BENCH_DIR:-/tmp/aurevia-bench-client}
[ -x "$service" ] && [ -f "$exe" ] || { echo "build first: scripts/build"; exit 1; }
rm -rf "$work"
mkdir -p "$work/served/Relatorio" "$work/curl" "$work/client"
calc() { awk "BEGIN { printf \"%.3f\", $1 }"; }
median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }

names=()
for i in $(seq 1 $files); do
    name="Relatorio/Rpt Bench $i.rav"
    head -c $((mb * 1048576)) /dev/urandom >"$work/served/$name"
    names+=("Relatorio\\Rpt Bench $i.rav")
done

"$service" --folder "$work/served" --port 0 --port-file "$work/port" >"$work/service.log" 2>&1 &
service_pid=$!
trap 'kill $service_pid 2>/dev/null || true' EXIT
for _ in $(seq 1 100); do [ -s "$work/port" ] && break; sleep 0.05; done
base="http://127.0.0.1:$(cat "$work/port")"

curl_args=()
for i in "${!names[@]}"; do
    curl_args+=(-o "$work/curl/$i.bin" "$base/download?file=Relatorio%5CRpt%20Bench%20$((i + 1)).rav")
done

# Wine's first start in a prefix costs seconds: warm it up outside the measurement.
scripts/wine-run "$exe" "$base" "Z:${work//\//\\}\\client" "${names[0]}" >/dev/null

client_times=() curl_times=() client_cpu=() curl_cpu=() client_peak=0 curl_peak=0
for _ in $(seq 1 "$runs"); do
    rm -f "$work"/curl/* "$work"/client/*
    start=$(date +%s.%N)
    if [ -x /usr/bin/time ]; then
        /usr/bin/time -f "%M %U %S" -o "$work/curl.rss" curl -s --fail --parallel --parallel-max $files "${curl_args[@]}" 2>/dev/null
        read -r rss user sys <"$work/curl.rss"
        curl_peak=$(calc "$rss / 1024")
        curl_cpu+=("$(calc "$user + $sys")")
    else
        curl -s --fail --parallel --parallel-max $files "${curl_args[@]}" 2>/dev/null
        curl_peak="?"
        curl_cpu+=(0)
    fi
    curl_times+=("$(calc "$(date +%s.%N) - $start")")

    line=$(scripts/wine-run "$exe" "$base" "Z:${work//\//\\}\\client" "${names[@]}")
    client_times+=("$(sed -E 's/^seconds=([0-9.]+).*/\1/' <<<"$line")")
    client_peak=$(sed -E 's/.*peak_working_set_mb=([0-9.]+).*/\1/' <<<"$line")
    client_cpu+=("$(sed -E 's/.*cpu_seconds=([0-9.]+).*/\1/' <<<"$line")")
    cmp -s "$work/curl/0.bin" "$work/client/0.bin" || { echo "downloads differ"; exit 1; }
done

total_mb=$((files * mb))
client=$(printf '%s\n' "${client_times[@]}" | median)
curl=$(printf '%s\n' "${curl_times[@]}" | median)
printf 'files=%d total=%d MB runs=%d\n' $files $total_mb "$runs"
printf 'Download x%d (Wine):  %6.3f s  %7.1f MB/s  peak working set %s MB\n' $files "$client" \
    "$(calc "$total_mb / $client")" "$client_peak"
printf 'curl --parallel:       %6.3f s  %7.1f MB/s  peak RSS %s MB\n' "$curl" "$(calc "$total_mb / $curl")" "$curl_peak"
printf 'throughput ratio (client / curl): %s\n' "$(calc "$curl / $client")"
# Processor time does not depend on what else the machine runs (wineserver's share not included).
printf 'processor time: client %s s, curl %s s\n' "$(printf '%s\n' "${client_cpu[@]}" | median)" \
    "$(printf '%s\n' "${curl_cpu[@]}" | median)"
