# Sourced by the WAN benches. Checks the native tree's tools, makes the work folder (BENCH_DIR, else
# $work_default) with a publisher key, and defines:
#   choose_release_1 SPARE  release 1 in $work/r1 from Wine's own PE files, stripped as a release
#       build is, in name order: 49 shared files of 20 KB to 1.5 MB (shared1.dll ...) and 8 modules
#       above 1 MB (Modulo1.exe ...); at least SPARE further files of 20 KB or more are kept in
#       $work/pe, named in the array spare, to stand for changed versions
#   serve                   starts aurevia-fileservice over $work/srv (ended on exit); sets url
#   wire NAME               bytes on the wire for one download: response headers and body
#   ratio A B               A / B
# Needs: root (the checkout), work_default. Sets: publish, service, pe, work, key.
publish=${BENCH_PUBLISH:-$root/build/native/tools/publish/aurevia-publish}
service=${BENCH_FILESERVICE:-$root/build/native/tools/fileservice/aurevia-fileservice}
pe=${BENCH_PE_DIR:-/usr/lib/x86_64-linux-gnu/wine/x86_64-windows}
for tool in "$publish" "$service"; do
    [ -x "$tool" ] || { echo "build first: cmake --build --preset native --target aurevia-publish aurevia-fileservice"; exit 1; }
done
command -v x86_64-w64-mingw32-strip >/dev/null || { echo "x86_64-w64-mingw32-strip is missing (scripts/install-deps)"; exit 1; }
work=${BENCH_DIR:-$work_default}
rm -rf "$work"
mkdir -p "$work/keys" "$work/srv" "$work/pe" "$work/r1" "$work/r2"
service_pid=""
trap '[ -n "$service_pid" ] && kill "$service_pid" 2>/dev/null; rm -rf "$work"' EXIT
"$publish" keygen --out "$work/keys" >/dev/null 2>&1
key=$work/keys/publisher-key.pem

choose_release_1() {
    local f size name i
    shared=() modules=() spare=()
    for f in $(ls "$pe"/*.dll "$pe"/*.exe | sort); do
        x86_64-w64-mingw32-strip -o "$work/pe/$(basename "$f")" "$f" 2>/dev/null || continue
        size=$(stat -c %s "$work/pe/$(basename "$f")")
        name=$(basename "$f")
        if [ ${#modules[@]} -lt 8 ] && [ "$size" -gt 1000000 ] && [[ "$name" == *.exe || ${#shared[@]} -ge 49 ]]; then
            modules+=("$name")
        elif [ ${#shared[@]} -lt 49 ] && [ "$size" -ge 20000 ] && [ "$size" -le 1500000 ]; then
            shared+=("$name")
        elif [ "$size" -ge 20000 ]; then
            spare+=("$name")
        fi
        [ ${#shared[@]} -ge 49 ] && [ ${#modules[@]} -ge 8 ] && [ ${#spare[@]} -ge "$1" ] && break
    done
    [ ${#shared[@]} -eq 49 ] && [ ${#modules[@]} -eq 8 ] || { echo "not enough PE files under $pe"; exit 1; }
    i=0
    for name in "${shared[@]}"; do i=$((i + 1)); cp "$work/pe/$name" "$work/r1/shared$i.dll"; done
    i=0
    for name in "${modules[@]}"; do i=$((i + 1)); cp "$work/pe/$name" "$work/r1/Modulo$i.exe"; done
}

serve() {
    "$service" --folder "$work/srv" --port 0 --port-file "$work/port" >/dev/null 2>&1 &
    service_pid=$!
    for _ in $(seq 100); do [ -s "$work/port" ] && break; sleep 0.05; done
    url="http://127.0.0.1:$(cat "$work/port")"
}

wire() { curl -s -o /dev/null -w '%{size_header} %{size_download}\n' "$url/download?file=$1" | awk '{print $1 + $2}'; }
ratio() { echo "$1 / $2" | bc -l; }
