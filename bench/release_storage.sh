#!/usr/bin/env bash
# Server storage of release control: ten releases published with `aurevia-publish publish`, each
# changing 3 of the 49 shared files and one of the modules, against ten full copies of the folder
# (what keeping each release as its own folder would take). Also the share of a release that is new
# on the server (what a workstation on the previous release fetches), and the time of a publish
# against `cp -r` of the same folder in the same run. File sizes are fixed by a seed, so every run
# lays the same bytes. Needs the native tree (scripts/build, or the aurevia-publish target).
# Usage: bench/release_storage.sh   (BENCH_DIR: work folder, default /tmp/aurevia-bench-releases)
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
work=${BENCH_DIR:-/tmp/aurevia-bench-releases}
. "$root/bench/release_fixture.sh"
publish_time=0 copy_time=0 new_bytes=0
for r in $(seq 1 10); do
    change_release "$r"
    sync
    t0=$(now); out=$("$publish" publish --from "$work/release" --to "$work/srv" --key "$key"); sync; t1=$(now)
    cp -r "$work/release" "$work/copies/$r"; sync; t2=$(now)
    publish_time=$(echo "$publish_time + $t1 - $t0" | bc -l)
    copy_time=$(echo "$copy_time + $t2 - $t1" | bc -l)
    stored=$(echo "$out" | sed -n 's/.*new objects stored (\([0-9]*\) bytes).*/\1/p')
    [ "$r" -gt 1 ] && new_bytes=$((new_bytes + stored))
done
server=$(du -sb --apparent-size "$work/srv/aurevia-objects" "$work/srv/aurevia-releases" | awk '{s+=$1} END {print s}')
server_disk=$(du -sk "$work/srv/aurevia-objects" "$work/srv/aurevia-releases" | awk '{s+=$1} END {print s*1024}')
copies=$(du -sb --apparent-size "$work/copies" | cut -f1)
copies_disk=$(du -sk "$work/copies" | awk '{print $1*1024}')
printf 'one release: 57 files, %d bytes\n' "$release_bytes"
printf 'ten releases, objects + signed releases: %d bytes (%d on disk)\n' "$server" "$server_disk"
printf 'ten full copies:                        %d bytes (%d on disk)\n' "$copies" "$copies_disk"
printf 'storage ratio release control / full copies: %.3f (on disk %.3f)\n' \
    "$(echo "$server / $copies" | bc -l)" "$(echo "$server_disk / $copies_disk" | bc -l)"
printf 'new on the server per later release: %.3f of a release (%d bytes on average)\n' \
    "$(echo "$new_bytes / 9 / $release_bytes" | bc -l)" $((new_bytes / 9))
printf 'time: ten publishes %.2f s, ten cp -r %.2f s, ratio %.2f\n' "$publish_time" "$copy_time" \
    "$(echo "$publish_time / $copy_time" | bc -l)"
