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
publish=${BENCH_PUBLISH:-$root/build/native/tools/publish/aurevia-publish}
[ -x "$publish" ] || { echo "build first: cmake --build --preset native --target aurevia-publish"; exit 1; }
work=${BENCH_DIR:-/tmp/aurevia-bench-releases}
rm -rf "$work"
mkdir -p "$work/keys" "$work/srv" "$work/release" "$work/copies"
trap 'rm -rf "$work"' EXIT
"$publish" keygen --out "$work/keys" >/dev/null 2>&1
key=$work/keys/publisher-key.pem

# 49 shared runtime files of 20 KB to 1.2 MB and 8 module executables of 2 to 6 MB.
RANDOM=42
write() { head -c "$2" /dev/urandom >"$work/release/$1"; }
for i in $(seq 1 49); do write "shared$i.dll" $((20000 + RANDOM * 36)); done
for i in $(seq 1 8); do write "Modulo$i.exe" $((2000000 + RANDOM * 122)); done
release_bytes=$(du -sb --apparent-size "$work/release" | cut -f1)

now() { date +%s.%N; }
publish_time=0 copy_time=0 new_bytes=0
for r in $(seq 1 10); do
    if [ "$r" -gt 1 ]; then  # 3 shared files and one module change
        for i in $(( (r * 7) % 49 + 1 )) $(( (r * 13) % 49 + 1 )) $(( (r * 29) % 49 + 1 )); do
            write "shared$i.dll" $(stat -c %s "$work/release/shared$i.dll")
        done
        m=$(( r % 8 + 1 ))
        write "Modulo$m.exe" $(stat -c %s "$work/release/Modulo$m.exe")
    fi
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
