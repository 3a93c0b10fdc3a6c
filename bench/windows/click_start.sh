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
export AUREVIA_HEADLESS=1
. scripts/wine-env.sh
exe=build/windows/bench/windows/bench_click_start.exe
launcher=${AUREVIA_EXE:-build/windows/launcher/Aurevia.EXE}
module=build/windows/tools/demo-module/demo-module.exe
runs=${BENCH_RUNS:-7}
work=${BENCH_DIR:-/tmp/aurevia-bench-click}
[ -f "$exe" ] && [ -f "$launcher" ] && [ -f "$module" ] || {
    echo "build first: cmake --build --preset windows --target Aurevia demo-module bench_click_start"
    exit 1
}
rm -rf "$work" && mkdir -p "$work"
x86_64-w64-mingw32-strip -o "$work/Aurevia.EXE" "$launcher"
x86_64-w64-mingw32-strip -o "$work/demo-module.exe" "$module"
win() { echo "Z:${1//\//\\}"; }
median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }

aurevia_ensure_prefix
(flock 8; aurevia_ensure_display; echo "$DISPLAY" >"$WINEPREFIX.current") 8>"$WINEPREFIX.dlock"
export DISPLAY=$(cat "$WINEPREFIX.current")
export AUREVIA_E2E_LAUNCHER=$(win "$work/Aurevia.EXE") AUREVIA_E2E_DEMO_MODULE=$(win "$work/demo-module.exe")
wine "$exe" "$runs" | tr -d '\r' >"$work/runs.txt"
if grep -q -- '=-1' "$work/runs.txt"; then
    echo "some runs failed:"; cat "$work/runs.txt"; exit 1
fi
c=$(sed -n 's/^click=\([0-9]*\).*/\1/p' "$work/runs.txt" | median)
m=$(sed -n 's/.*module=\([0-9]*\).*/\1/p' "$work/runs.txt" | median)
echo "# click on a tile to the module's window, against the module started directly (ms, median of $runs)"
echo "click_to_start launcher=${c}ms demo_module=${m}ms click/module=$(awk "BEGIN{printf \"%.2f\", $c/$m}")"
