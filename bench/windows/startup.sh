#!/usr/bin/env bash
# Start-up time of the launcher against a bare Win32 window program under the same Wine, in one run:
# from process creation to the first visible menu window (class "AureviaMenu") of a fresh
# Aurevia.EXE in an installation without a server, and to the window of dist/demo-module.exe; also a
# rejected second start (the time until the second process has ended, against the same bare window). Runs alternate between the
# programs so that the load of a shared machine falls on both alike. Median of BENCH_RUNS (default 9).
# AUREVIA_EXE names another build to measure (default dist/Aurevia.EXE); AUREVIA_BASELINE_EXE, when
# set, names an older build that runs in the same alternation, for a before/after ratio in one run.
# Needs scripts/build first. Usage: bench/windows/startup.sh
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
cd "$root"
export AUREVIA_HEADLESS=1
. scripts/wine-env.sh
exe=build/windows/bench/windows/bench_startup.exe
runs=${BENCH_RUNS:-9}
work=${BENCH_DIR:-/tmp/aurevia-bench-startup}
[ -f "$exe" ] && [ -f dist/Aurevia.EXE ] && [ -f dist/demo-module.exe ] || { echo "build first: scripts/build"; exit 1; }
rm -rf "$work" && mkdir -p "$work/launcher" "$work/module"
# Both without debug information, as scripts/release ships the launcher: a development build's
# 27 MB of DWARF sections cost Wine some 30 ms of mapping before the process even starts.
x86_64-w64-mingw32-strip -o "$work/launcher/Aurevia.EXE" "${AUREVIA_EXE:-dist/Aurevia.EXE}"
x86_64-w64-mingw32-strip -o "$work/module/demo-module.exe" dist/demo-module.exe
baseline=${AUREVIA_BASELINE_EXE:-}
if [ -n "$baseline" ]; then
    mkdir -p "$work/baseline"
    x86_64-w64-mingw32-strip -o "$work/baseline/Aurevia.EXE" "$baseline"
fi
win() { echo "Z:${1//\//\\}"; }
median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }

aurevia_ensure_prefix
(flock 8; aurevia_ensure_display; echo "$DISPLAY" >"$WINEPREFIX.current") 8>"$WINEPREFIX.dlock"
export DISPLAY=$(cat "$WINEPREFIX.current")
# A warm wineserver for both: the first program started would otherwise pay for it.
wine "$exe" "$(win "$work/module/demo-module.exe")" '*' 1 >/dev/null

# against CLASS: the launcher's median and the bare window's, measured in alternating runs.
against() {
    local launcher=() module=() before=(0)
    for _ in $(seq "$runs"); do
        launcher+=("$(wine "$exe" "$(win "$work/launcher/Aurevia.EXE")" "$1" 1 | tr -d '\r')")
        [ -n "$baseline" ] && before+=("$(wine "$exe" "$(win "$work/baseline/Aurevia.EXE")" "$1" 1 | tr -d '\r')")
        module+=("$(wine "$exe" "$(win "$work/module/demo-module.exe")" '*' 1 | tr -d '\r')")
    done
    [ -n "$baseline" ] && before=("${before[@]:1}")
    echo "$(printf '%s\n' "${launcher[@]}" | median) $(printf '%s\n' "${module[@]}" | median)" \
        "$(printf '%s\n' "${before[@]}" | median)"
}
ratio() { awk "BEGIN{printf \"%.2f\", $1/$2}"; }

read -r l m b < <(against AureviaMenu)
echo "# process start to first visible window (ms, median of $runs)"
echo "startup launcher=${l}ms demo_module=${m}ms launcher/module=$(ratio "$l" "$m")"
[ -n "$baseline" ] && echo "startup baseline=${b}ms launcher/baseline=$(ratio "$l" "$b") baseline/module=$(ratio "$b" "$m")"

# A rejected second start: one launcher keeps running while others start and end.
wine "$work/launcher/Aurevia.EXE" &
first=$!
sleep 3
baseline=  # a baseline build in another folder would be no second start
read -r s2 m _ < <(against -)
echo "second_start launcher_exit=${s2}ms demo_module_window=${m}ms second/module=$(ratio "$s2" "$m")"
kill $first 2>/dev/null || true
