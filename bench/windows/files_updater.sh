#!/usr/bin/env bash
# Files updater benchmarks, each side by side with a peer in the same run under the same Wine:
#   1. no-op update (every listed file current) against server folders of 1 000, 10 000 and 100 000
#      files, against `xcopy /D /L /S` over the same tree;
#   2. full fetch of the listed files (about 216 MB) from a server folder, against `xcopy /D /Y /S`;
#   3. full fetch through the reference file service, against native `curl --parallel`;
#   4. full fetch verified against a signed manifest, against the same fetch unverified (folder and
#      service, runs alternating);
#   5. the cost of flushing each fetched file before its swap: the full fetch's copy-and-swap of
#      every file, one by one, flushed as the updater does it against a bare write-through rename.
# Prints one line per measurement (median of BENCH_RUNS runs, default 3) and the ratios. BENCH_PARTS
# picks sections (default "noop fetch verify swap"). Needs scripts/build (both trees) first;
# BENCH_UPDATER_EXE runs another build of the driver.
# Usage: bench/windows/files_updater.sh [SIZES...]
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
cd "$root"
export AUREVIA_HEADLESS=1
. scripts/wine-env.sh
exe=${BENCH_UPDATER_EXE:-build/windows/bench/windows/bench_files_updater.exe}
service=build/native/tools/fileservice/aurevia-fileservice
runs=${BENCH_RUNS:-3}
parts=${BENCH_PARTS:-noop fetch verify swap}
part() { [[ " $parts " == *" $1 "* ]]; }
sizes=("${@:-1000 10000 100000}")
read -r -a sizes <<<"${sizes[*]}"
work=${BENCH_DIR:-/tmp/aurevia-bench-updater}
[ -x "$service" ] && [ -f "$exe" ] || { echo "build first: scripts/build"; exit 1; }
mkdir -p "$work"
win() { echo "Z:${1//\//\\}"; }
median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }

# The names the updater lists: Module.exe and the shared-files table, without repeats.
names=$(grep -o 'L"[^"]*"' update/updater/shared_files.cpp | sed -e 's/^L"//' -e 's/"$//' -e 's/\\\\/\//g' | awk '!seen[$0]++')
names="Module.exe"$'\n'"$names"
count=$(wc -l <<<"$names")

make_tree() {  # make_tree FOLDER SIZE_BYTES FILLER_COUNT
    printf '%s\n' "$names" >"$work/names.txt"
    python3 - "$1" "$2" "$3" "$work/names.txt" <<'PY'
import os, sys
folder, size, filler = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
sys.stdin = open(sys.argv[4])
stamp = 1641825125.123
block = os.urandom(size)
for name in sys.stdin.read().split("\n"):
    if not name: continue
    path = os.path.join(folder, name)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f: f.write(block)
    os.utime(path, (stamp, stamp))
for i in range(filler):
    d = os.path.join(folder, "fill", "d%04d" % (i // 200))
    if i % 200 == 0: os.makedirs(d, exist_ok=True)
    open(os.path.join(d, "f%06d.dat" % i), "wb").close()
PY
}

time_update() { wine "$exe" update "$(win "$1")\\" "$(win "$2")" "$3" ${4:+"$4"} | tr -d '\r'; }
time_peer() { wine "$exe" run "$@" | tr -d '\r'; }

aurevia_ensure_prefix
(flock 8; aurevia_ensure_display; echo "$DISPLAY" >"$WINEPREFIX.current") 8>"$WINEPREFIX.dlock"
export DISPLAY=$(cat "$WINEPREFIX.current")

part noop && echo "# no-op update of $count current files against the whole server tree (ms, median of $runs)"
part noop && for n in "${sizes[@]}"; do
    server=$work/noop-$n local=$work/noop-$n-local
    if [ ! -d "$server" ]; then make_tree "$server" 1024 $((n - count)); fi
    rm -rf "$local" && mkdir -p "$local" && cp -a "$server"/. "$local"/ && rm -rf "$local/fill"
    u=$(for _ in $(seq "$runs"); do time_update "$local" "$server" -; done | median)
    x=$(for _ in $(seq "$runs"); do time_peer xcopy /D /L /S /Y "$(win "$server")" "$(win "$local")\\"; done | median)
    echo "noop files=$n updater=${u}ms xcopy_D_L=${x}ms updater/xcopy_time=$(awk "BEGIN{printf \"%.2f\", $u/$x}")"
done

fetch=$work/fetch local=$work/fetch-local
if [ ! -d "$fetch" ]; then make_tree "$fetch" $((4500 * 1024)) 0; fi
mb=$(du -sm "$fetch" | cut -f1)
if part fetch; then
echo "# full fetch of $count files, $mb MB (MB/s, median of $runs; ratio > 1: the updater is faster)"
u=$(for _ in $(seq "$runs"); do rm -rf "$local"; mkdir -p "$local"; time_update "$local" "$fetch" -; done | median)
x=$(for _ in $(seq "$runs"); do rm -rf "$local"; mkdir -p "$local"; time_peer xcopy /D /Y /S /I "$(win "$fetch")" "$(win "$local")\\"; done | median)
echo "folder updater=$(awk "BEGIN{printf \"%.0f\", $mb*1000/$u}")MB/s xcopy_D_Y=$(awk "BEGIN{printf \"%.0f\", $mb*1000/$x}")MB/s throughput_ratio=$(awk "BEGIN{printf \"%.2f\", $x/$u}")"

fi

rm -f "$work/port"
"$service" --folder "$fetch" --port 0 --port-file "$work/port" >/dev/null &
service_pid=$!
trap 'kill $service_pid 2>/dev/null || true' EXIT
for _ in $(seq 100); do [ -s "$work/port" ] && break; sleep 0.05; done
url=http://127.0.0.1:$(cat "$work/port")
if part fetch; then
u=$(for _ in $(seq "$runs"); do rm -rf "$local"; mkdir -p "$local/Relatorio"; time_update "$local" "$fetch" "$url"; done | median)
args=()
while read -r name; do
    args+=(-o "$local/${name}" "$url/download?file=${name//\//%5C}")
done <<<"$names"
c=$(for _ in $(seq "$runs"); do
    rm -rf "$local"; mkdir -p "$local/Relatorio"
    s=$(date +%s.%N); curl -s --parallel --parallel-max 50 "${args[@]}" 2>/dev/null; e=$(date +%s.%N)
    awk "BEGIN{printf \"%.1f\n\", ($e-$s)*1000}"
done | median)
echo "service updater=$(awk "BEGIN{printf \"%.0f\", $mb*1000/$u}")MB/s curl_parallel=$(awk "BEGIN{printf \"%.0f\", $mb*1000/$c}")MB/s throughput_ratio=$(awk "BEGIN{printf \"%.2f\", $c/$u}")"
fi

if part verify; then
key=$(wine "$exe" sign "$(win "$fetch")\\" | tr -d '\r')
echo "# full fetch verified against a signed manifest vs the same fetch unverified (MB/s, median of $runs, runs alternating; ratio: verified / unverified throughput)"
for source in folder service; do
    u=- && [ $source = service ] && u=$url
    plain=() verified=()
    for _ in $(seq "$runs"); do
        rm -rf "$local"; mkdir -p "$local/Relatorio"; plain+=("$(time_update "$local" "$fetch" "$u")")
        rm -rf "$local"; mkdir -p "$local/Relatorio"; verified+=("$(time_update "$local" "$fetch" "$u" "$key")")
    done
    p=$(printf '%s\n' "${plain[@]}" | median) v=$(printf '%s\n' "${verified[@]}" | median)
    echo "verify $source unverified=$(awk "BEGIN{printf \"%.0f\", $mb*1000/$p}")MB/s verified=$(awk "BEGIN{printf \"%.0f\", $mb*1000/$v}")MB/s throughput_ratio=$(awk "BEGIN{printf \"%.2f\", $p/$v}")"
done
h=$(for _ in $(seq "$runs"); do wine "$exe" hash 256 | tr -d '\r'; done | median)
echo "cng_sha256 one_thread=${h}MB/s (the verified fetch's ceiling per processor)"
fi
rm -rf "$local"
if part swap; then
echo "# flushed swaps against bare renames, the full fetch's files one by one (ms, median of $((runs * 2)) rounds)"
rm -rf "$local" && mkdir -p "$local"
wine "$exe" swap "$(win "$fetch")\\" "$(win "$local")\\" $((runs * 2)) | tr -d '\r'
rm -rf "$local"
fi
