#!/usr/bin/env bash
# Bytes on a clinic's link for a release: what a workstation on the previous release fetches when a
# release changes 3 of the 49 shared files and one module, and what a new workstation fetches for the
# whole release, as plain objects (release control before deflated objects), as the deflated objects
# `aurevia-publish publish` stores, and as gzip -9 of each file (the peer), measured in one run.
# Every byte is fetched for real from aurevia-fileservice with curl and counted with its response
# headers (curl's size_header + size_download). The files are real Windows PE files: Wine's own
# DLLs and programs, stripped of their debugging sections as a release build is.
# Usage: bench/wan/wan_bytes.sh   (BENCH_DIR: work folder, default /tmp/aurevia-bench-wan)
# Needs the native tree's aurevia-publish and aurevia-fileservice, and x86_64-w64-mingw32-strip.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
work_default=/tmp/aurevia-bench-wan
. "$root/bench/wan/wan_fixture.sh"

# Release 1, and the spare files that stand for the changed versions.
choose_release_1 40
cp -a "$work/r1/." "$work/r2/"
# Release 2: shared files 7, 20 and 33 and module 3 change (the next spare files of a fitting size).
picked=""
pick() { # pick MIN MAX -> sets picked to the next unused spare file within the size range
    local k s
    for k in "${!spare[@]}"; do
        s=$(stat -c %s "$work/pe/${spare[$k]}")
        if [ "$s" -ge "$1" ] && [ "$s" -le "$2" ]; then picked=${spare[$k]}; unset 'spare[k]'; return; fi
    done
    echo "no spare file of $1 to $2 bytes" >&2; exit 1
}
changed=(shared7.dll shared20.dll shared33.dll)
for c in "${changed[@]}"; do pick 40000 1500000; cp "$work/pe/$picked" "$work/r2/$c"; done
pick 400000 8000000; cp "$work/pe/$picked" "$work/r2/Modulo3.exe"
changed+=(Modulo3.exe)
touch -d '2026-12-01 10:00:00' "$work/r1"/* && touch -d '2026-12-08 10:00:00' "$work/r2"/*
"$publish" publish --from "$work/r1" --to "$work/srv" --key "$key" >/dev/null
"$publish" publish --from "$work/r2" --to "$work/srv" --key "$key" >/dev/null

serve

# Per file of release 2: name, plain object, deflated object (or the plain one), as the launcher asks.
python3 - "$work/srv/aurevia-releases/2.json" >"$work/entries" <<'PY'
import json, sys
for f in json.load(open(sys.argv[1]))["files"]:
    h = f["sha256"]
    plain = "aurevia-objects%5C" + h[:2] + "%5C" + h
    print(f["name"], plain, plain + ".deflate" if f.get("stored") == "deflate" else plain)
PY
gz() { gzip -9 -n -c <"$work/r2/$1" | wc -c; }
total_plain=0 total_deflated=0 total_gzip=0 changed_plain=0 changed_deflated=0 changed_gzip=0
while read -r name plain deflated; do
    p=$(wire "$plain") d=$(wire "$deflated") g=$(( $(gz "$name") + $(wire "$plain") - $(stat -c %s "$work/r2/$name") ))
    total_plain=$((total_plain + p)) total_deflated=$((total_deflated + d)) total_gzip=$((total_gzip + g))
    for c in "${changed[@]}"; do
        if [ "$c" = "$name" ]; then
            changed_plain=$((changed_plain + p)) changed_deflated=$((changed_deflated + d)) changed_gzip=$((changed_gzip + g))
            printf '  %-14s plain %9d  deflated %9d  gzip -9 %9d  (%.3f of plain)\n' "$name" "$p" "$d" "$g" "$(echo "$d / $p" | bc -l)"
        fi
    done
done <"$work/entries"
deflated_count=$(awk '$2 != $3' "$work/entries" | wc -l)
printf 'release 2 changes 3 of 49 shared files and 1 of 8 modules (%d of 57 files stored deflated)\n' "$deflated_count"
printf 'a workstation on release 1: plain %d, deflated %d, gzip -9 %d bytes on the wire\n' \
    "$changed_plain" "$changed_deflated" "$changed_gzip"
printf '  deflated/plain %.3f  gzip-9/plain %.3f  deflated/gzip-9 %.3f\n' "$(ratio "$changed_deflated" "$changed_plain")" \
    "$(ratio "$changed_gzip" "$changed_plain")" "$(ratio "$changed_deflated" "$changed_gzip")"
printf 'a new workstation, whole release: plain %d, deflated %d, gzip -9 %d bytes\n' \
    "$total_plain" "$total_deflated" "$total_gzip"
printf '  deflated/plain %.3f  gzip-9/plain %.3f  deflated/gzip-9 %.3f\n' "$(ratio "$total_deflated" "$total_plain")" \
    "$(ratio "$total_gzip" "$total_plain")" "$(ratio "$total_deflated" "$total_gzip")"
