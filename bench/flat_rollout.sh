#!/usr/bin/env bash
# Flat rollouts: ten releases (each changing 3 of 49 shared files and one of 8 modules) published
# and laid into the flat folder with `aurevia-publish rollout --flat`, against `cp -r` of the same
# release folder in the same run; and what the flat side of the server holds at the end (the live
# generation and the one kept for readers in flight) against one release. File sizes come from a
# fixed seed. BENCH_PUBLISH picks the build (an older one for a before/after in one run).
# Usage: bench/flat_rollout.sh   (BENCH_DIR: work folder, default /tmp/aurevia-bench-flat)
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
work=${BENCH_DIR:-/tmp/aurevia-bench-flat}
. "$root/bench/release_fixture.sh"
rollout_time=0 copy_time=0
for r in $(seq 1 10); do
    change_release "$r"
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
