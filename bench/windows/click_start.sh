#!/usr/bin/env bash
# Click-to-start of the launcher against the bare module under the same Wine, in one run: a click on a
# tile of a fresh installation (the module fetched from the server folder, then started), from the
# button's release to the module's window, against the module started directly (process creation to
# its window). Runs alternate inside bench_click_start.exe. Median of BENCH_RUNS (default 7).
# AUREVIA_EXE names another build of the launcher to measure (default the build tree's). Both programs
# are measured without their debug information, as scripts/release ships them.
# Needs the Windows tree built (Aurevia, demo-module, bench_click_start). Usage: bench/windows/click_start.sh
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
cd "$root"
exe=build/windows/bench/windows/bench_click_start.exe
runs=${BENCH_RUNS:-7}
work=${BENCH_DIR:-/tmp/aurevia-bench-click}
. bench/launcher_fixture.sh
wine "$exe" "$runs" | tr -d '\r' >"$work/runs.txt"
if grep -q -- '=-1' "$work/runs.txt"; then
    echo "some runs failed:"; cat "$work/runs.txt"; exit 1
fi
c=$(sed -n 's/^click=\([0-9]*\).*/\1/p' "$work/runs.txt" | median)
m=$(sed -n 's/.*module=\([0-9]*\).*/\1/p' "$work/runs.txt" | median)
echo "# click on a tile to the module's window, against the module started directly (ms, median of $runs)"
echo "click_to_start launcher=${c}ms demo_module=${m}ms click/module=$(awk "BEGIN{printf \"%.2f\", $c/$m}")"
