# Sourced by the benches that drive the real launcher under Wine (bench/windows/click_start.sh,
# bench/staging/staged_click.sh): the prefix and a display, the launcher and the demo module in a fresh
# work folder without their debug information (as scripts/release ships them), and the helpers
# win PATH (its Windows name) and median (of the numbers on stdin, one a line). Exports
# AUREVIA_E2E_LAUNCHER and AUREVIA_E2E_DEMO_MODULE for the bench program.
# Needs: the checkout as the current folder, exe (the bench program), work (the folder to make);
# AUREVIA_EXE names another build of the launcher to measure (default the build tree's).
export AUREVIA_HEADLESS=1
. scripts/wine-env.sh
launcher=${AUREVIA_EXE:-build/windows/launcher/Aurevia.EXE}
module=build/windows/tools/demo-module/demo-module.exe
[ -f "$exe" ] && [ -f "$launcher" ] && [ -f "$module" ] || {
    echo "build first: cmake --build --preset windows --target Aurevia demo-module $(basename "$exe" .exe)"
    exit 1
}
rm -rf "$work" && mkdir -p "$work"
x86_64-w64-mingw32-strip -o "$work/Aurevia.EXE" "$launcher"
x86_64-w64-mingw32-strip -o "$work/demo-module.exe" "$module"
win() { echo "Z:${1//\//\\}"; }
median() { sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }

aurevia_ensure_prefix
(flock 8; aurevia_ensure_display; echo "$DISPLAY" >"$WINEPREFIX.current") 8>"$WINEPREFIX.dlock"
export DISPLAY=$(cat "$WINEPREFIX.current")
export AUREVIA_E2E_LAUNCHER=$(win "$work/Aurevia.EXE") AUREVIA_E2E_DEMO_MODULE=$(win "$work/demo-module.exe")
