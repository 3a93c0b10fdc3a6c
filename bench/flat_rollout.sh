#!/usr/bin/env bash
# Flat rollouts: ten releases (each changing 3 of 49 shared files and one of 8 modules) published
# and laid into the flat folder with `aurevia-publish rollout --flat`, against `cp -r` of the same
# release folder in the same run; and what the flat side of the server holds at the end (the live
# generation and the one kept for readers in flight) against one release. File sizes come from a
# fixed seed. BENCH_PUBLISH picks the build (an older one for a before/after in one run).
# Usage: bench/flat_rollout.sh   (BENCH_DIR: work folder, default /tmp/aurevia-bench-flat)
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
publish=${BENCH_PUBLISH:-$root/build/native/tools/publish/aurevia-publish}
[ -x "$publish" ] || { echo "build first: cmake --build --preset native --target aurevia-publish"; exit 1; }
work=${BENCH_DIR:-/tmp/aurevia-bench-flat}
rm -rf "$work"
mkdir -p "$work/keys" "$work/srv" "$work/release" "$work/copies"
trap 'rm -rf "$work"' EXIT
"$publish" keygen --out "$work/keys" >/dev/null 2>&1
key=$work/keys/publisher-key.pem
RANDOM=42
write() { head -c "$2" /dev/urandom >"$work/release/$1"; }
for i in $(seq 1 49); do write "shared$i.dll" $((20000 + RANDOM * 36)); done
for i in $(seq 1 8); do write "Modulo$i.exe" $((2000000 + RANDOM * 122)); done
release_bytes=$(du -sb --apparent-size "$work/release" | cut -f1)
now() { date +%s.%N; }
rollout_time=0 copy_time=0
for r in $(seq 1 10); do
    if [ "$r" -gt 1 ]; then
        for i in $(( (r * 7) % 49 + 1 )) $(( (r * 13) % 49 + 1 )) $(( (r * 29) % 49 + 1 )); do
            write "shared$i.dll" $(stat -c %s "$work/release/shared$i.dll")
        done
        m=$(( r % 8 + 1 ))
        write "Modulo$m.exe" $(stat -c %s "$work/release/Modulo$m.exe")
    fi
    serial=$("$publish" publish --from "$work/release" --to "$work/srv" --key "$key" | tail -n1)
    sync
    t0=$(now); "$publish" rollout --to "$work/srv" --key "$key" --ring geral --release "$serial" --flat >/dev/null; sync; t1=$(now)
    cp -r "$work/release" "$work/copies/$r"; sync; t2=$(now)
    rollout_time=$(echo "$rollout_time + $t1 - $t0" | bc -l)
    copy_time=$(echo "$copy_time + $t2 - $t1" | bc -l)
done
# Everything but the object store and the release documents: the flat files and their generations.
flat_disk=$(du -sk --exclude=aurevia-objects --exclude='[0-9]*.json' --exclude='[0-9]*.sig' "$work/srv" | awk '{print $1*1024}')
printf 'one release: 57 files, %d bytes\n' "$release_bytes"
printf 'flat side of the server after ten rollouts: %d bytes on disk, %.3f of a release\n' "$flat_disk" \
    "$(echo "$flat_disk / $release_bytes" | bc -l)"
printf 'time: ten rollout --flat %.2f s, ten cp -r %.2f s, ratio %.2f\n' "$rollout_time" "$copy_time" \
    "$(echo "$rollout_time / $copy_time" | bc -l)"
