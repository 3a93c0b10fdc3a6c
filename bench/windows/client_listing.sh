#!/usr/bin/env bash
# Repeated listings of a BENCH_FILES-file tree (default 10 000) from the reference service under
# Wine: revalidated (the client's If-None-Match answered 304, its kept listing reused) against whole
# (every listing sent and decoded), both in the same process and run. Prints both medians and the
# ratio. Needs scripts/build (both trees) first. Usage: bench/windows/client_listing.sh
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
cd "$root"
export AUREVIA_HEADLESS=1
exe=build/windows/bench/windows/bench_client_listing.exe
service=build/native/tools/fileservice/aurevia-fileservice
files=${BENCH_FILES:-10000}
work=${BENCH_DIR:-/tmp/aurevia-bench-listing}
[ -x "$service" ] && [ -f "$exe" ] || { echo "build first: scripts/build"; exit 1; }
rm -rf "$work"
mkdir -p "$work/served"
for d in $(seq 1 100); do
    mkdir -p "$work/served/Relatorio/Grupo $d"
    (cd "$work/served/Relatorio/Grupo $d" && touch $(seq -f "Rpt%05g.rav" 1 $((files / 100))))
done
"$service" --folder "$work/served" --port 0 --port-file "$work/port" --settle-ms 0 >"$work/service.log" 2>&1 &
service_pid=$!
trap 'kill $service_pid 2>/dev/null || true' EXIT
for _ in $(seq 1 100); do [ -s "$work/port" ] && break; sleep 0.05; done
port=$(cat "$work/port")
line=$(scripts/wine-run "$exe" "http://127.0.0.1:$port" "http://localhost:$port" "${BENCH_ROUNDS:-15}")
echo "$line"
awk -v l="$line" 'BEGIN { split(l, f, /[ =]/); printf "revalidated / whole time: %.3f (whole / revalidated: %.1fx)\n", f[4] / f[6], f[6] / f[4] }'
