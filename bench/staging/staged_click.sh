#!/usr/bin/env bash
# The click after a release is switched on, over a clinic's 10 Mbit/s link: staged against a no-op
# click and against the same release unstaged; the background fetch's rate uncapped and under its
# cap; the launcher's CPU and working set while it fetches. One run = one fresh installation; the
# ratios are taken within each run, then their median over BENCH_RUNS (default 3).
#   BENCH_MB        the switched release's added megabytes (default 50)
#   BENCH_LINK_BPS  the link's bytes a second (default 1250000: 10 Mbit/s)
#   BENCH_CAP_KBPS  [Rede] Max KBps for the capped fetch (default 300), of a BENCH_CAP_MB (6) release
#   AUREVIA_FILESERVICE  the file service to use (default the native tree's)
# The link is bench/staging/throttle.py in front of the file service (no root needed, unlike tc).
# Needs the Windows tree (Aurevia, demo-module, bench_staged_click) and the native file service.
# Usage: bench/staging/staged_click.sh
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
cd "$root"
exe=build/windows/bench/windows/bench_staged_click.exe
service=${AUREVIA_FILESERVICE:-build/native/tools/fileservice/aurevia-fileservice}
runs=${BENCH_RUNS:-3}
work=${BENCH_DIR:-/tmp/aurevia-bench-staging}
[ -x "$service" ] || { echo "build first: cmake --build --preset native --target aurevia-fileservice"; exit 1; }
. bench/launcher_fixture.sh
mkdir -p "$work/server"
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; }
trap cleanup EXIT

"$service" --folder "$work/server" --port 0 --port-file "$work/service.port" --settle-ms 0 >"$work/service.log" 2>&1 &
pids+=($!)
for _ in $(seq 50); do [ -s "$work/service.port" ] && break; sleep 0.1; done
python3 bench/staging/throttle.py "$(cat "$work/service.port")" "${BENCH_LINK_BPS:-1250000}" "$work/link.port" &
pids+=($!)
for _ in $(seq 50); do [ -s "$work/link.port" ] && break; sleep 0.1; done

export BENCH_URL="http://127.0.0.1:$(cat "$work/link.port")" BENCH_SERVER="$(win "$work/server")\\"
export BENCH_MB=${BENCH_MB:-50} BENCH_CAP_KBPS=${BENCH_CAP_KBPS:-300} BENCH_CAP_MB=${BENCH_CAP_MB:-6}
wine "$exe" "$runs" | tr -d '\r' | tee "$work/runs.txt"
if grep -q '^failed=' "$work/runs.txt" || ! grep -q '^noop=' "$work/runs.txt"; then
    echo "some runs failed (see above; the launcher's logs are gone with their installations)"; exit 1
fi
field() { sed -n "s/.*\b$1=\([0-9.]*\).*/\1/p" "$work/runs.txt"; }
ratio() { awk -v f="$1" -v t="$2" '{
    for (i = 1; i <= NF; ++i) { split($i, kv, "="); v[kv[1]] = kv[2] }
    printf "%.3f\n", v[f] / v[t] }' "$work/runs.txt" | median; }
echo "# $runs runs, ${BENCH_MB} MB release over $(awk "BEGIN{printf \"%.1f\", ${BENCH_LINK_BPS:-1250000}*8/1e6}") Mbit/s; medians of per-run ratios"
echo "staged_click=$(field staged | median)ms noop_click=$(field noop | median)ms unstaged_click=$(field unstaged | median)ms"
echo "staged/noop=$(ratio staged noop) staged/unstaged=$(ratio staged unstaged)"
echo "background_fetch uncapped=$(field fetch_Bps | median)B/s fetch/link=$(awk -v l="${BENCH_LINK_BPS:-1250000}" '{for(i=1;i<=NF;++i){split($i,kv,"=");if(kv[1]=="fetch_Bps")printf "%.3f\n", kv[2]/l}}' "$work/runs.txt" | median)"
echo "background_fetch capped=$(field capped_Bps | median)B/s capped/cap=$(ratio capped_Bps cap_Bps)"
echo "launcher cpu_fetch=$(field cpu_fetch | median)% cpu_capped=$(field cpu_capped | median)% (of one core)" \
     "working_set idle=$(field ws_idle_kb | median)KB fetch=$(field ws_fetch_kb | median)KB capped=$(field ws_capped_kb | median)KB"
