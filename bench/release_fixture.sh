# Sourced by the release benches: a publisher key and a release folder like a hospital's (49 shared
# runtime files of 20 KB to 1.2 MB, 8 module executables of 2 to 6 MB), with sizes fixed by a seed so
# that every run lays the same amount of bytes. Sets: publish, work, key, release_bytes; defines
# write NAME BYTES, change_release R (the R-th release changes 3 shared files and one module; the
# first changes nothing) and now. Needs: root (the checkout) and work (the bench's folder).
publish=${BENCH_PUBLISH:-$root/build/native/tools/publish/aurevia-publish}
[ -x "$publish" ] || { echo "build first: cmake --build --preset native --target aurevia-publish"; exit 1; }
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

change_release() {
    [ "$1" -gt 1 ] || return 0
    local i m
    for i in $(($1 * 7 % 49 + 1)) $(($1 * 13 % 49 + 1)) $(($1 * 29 % 49 + 1)); do
        write "shared$i.dll" "$(stat -c %s "$work/release/shared$i.dll")"
    done
    m=$(($1 % 8 + 1))
    write "Modulo$m.exe" "$(stat -c %s "$work/release/Modulo$m.exe")"
}
now() { date +%s.%N; }
