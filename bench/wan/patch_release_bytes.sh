#!/usr/bin/env bash
# Bytes on a clinic's link for a release that changes 3 of the 49 shared files and one module, each
# changed file being a rebuild of the same program or DLL with one function changed by a line, as a
# workstation on the previous release fetches it: whole plain objects (release control before
# deflated objects and patches), deflated objects alone, and patches from the workstation's version
# with deflated objects for the rest, against Debian's bsdiff of the same pairs (the peer), in one run.
# Every object is fetched for real from aurevia-fileservice with curl and counted with its response
# headers (curl's size_header + size_download). The unchanged files are Wine's own DLLs and programs,
# stripped as a release build is; the changed ones are built here twice with mingw-w64.
# Usage: bench/wan/patch_release_bytes.sh   (BENCH_DIR: work folder, default /tmp/aurevia-bench-wan-patch)
# Needs the native tree's aurevia-publish and aurevia-fileservice, mingw-w64, bsdiff and rapidjson.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
work_default=/tmp/aurevia-bench-wan-patch
. "$root/bench/wan/wan_fixture.sh"
for tool in bsdiff x86_64-w64-mingw32-g++-posix; do
    command -v "$tool" >/dev/null || { echo "$tool is missing (scripts/install-deps)"; exit 1; }
done
mkdir -p "$work/build/inc"

# The unchanged files, chosen as bench/wan/wan_bytes.sh chooses them.
choose_release_1 0

# The changed files: this tree's own code built twice, the second time with one line added to one
# function (the sed must change the source, or the pair would be identical).
ln -s /usr/include/rapidjson "$work/build/inc/rapidjson"
cxx=(x86_64-w64-mingw32-g++-posix -std=c++20 -O2 -static -I"$root" -I"$work/build/inc")
change() { # change SOURCE LINE-PATTERN ADDED-LINE OUT: OUT is SOURCE with ADDED-LINE after the line
    sed "/$2/a\\$3" "$root/$1" >"$4"
    cmp -s "$root/$1" "$4" && { echo "the change to $1 did not apply" >&2; exit 1; }
    return 0
}
build() { # build N OUT SOURCES... -- LIBS...: version N of a program or DLL, stripped
    local out=$1 sources=() libs=()
    shift
    while [ $# -gt 0 ] && [ "$1" != -- ]; do sources+=("$1"); shift; done
    [ $# -gt 0 ] && shift
    libs=("$@")
    (cd "$root" && "${cxx[@]}" "${sources[@]}" -o "$out" "${libs[@]}")
    x86_64-w64-mingw32-strip "$out"
}
b=$work/build
change common/hex.cpp '^int HexDigitValue(char c) {' '    if (c == '"' '"') return -1;' "$b/hex-2.cpp"
change common/json_writer.cpp '^void AppendJsonString(std::string& out, std::string_view text) {' \
    '    out.reserve(out.size() + text.size() + 2);' "$b/json_writer-2.cpp"
change common/binary_patch.cpp '^uint64_t Seeked(uint64_t APosition, int64_t ASeek, uint64_t AOldSize) {' \
    '    if (ASeek == 0) return APosition;' "$b/binary_patch-2.cpp"
sed 's|    folder.resize(GetCurrentDirectoryW(static_cast<DWORD>(folder.size()), folder.data()));|&\n    if (folder.empty()) folder = L".";|' \
    "$root/tools/demo-module/main.cpp" >"$b/module-2.cpp"
cmp -s "$root/tools/demo-module/main.cpp" "$b/module-2.cpp" && { echo "the module change did not apply"; exit 1; }
text=(common/utf8.cpp common/instant.cpp common/calendar.cpp common/query_string.cpp)
json=(common/listing_json.cpp common/fleet_report_format.cpp common/utf8.cpp common/hex.cpp common/instant.cpp common/calendar.cpp)
module=(base/string_convert.cpp common/utf8.cpp)
echo "building the changed files twice (mingw-w64, -O2, stripped)..."
build "$work/r1/shared7.dll" -shared common/hex.cpp "${text[@]}"
build "$work/r2/shared7.dll" -shared "$b/hex-2.cpp" "${text[@]}"
build "$work/r1/shared20.dll" -shared common/json_writer.cpp "${json[@]}"
build "$work/r2/shared20.dll" -shared "$b/json_writer-2.cpp" "${json[@]}"
build "$work/r1/shared33.dll" -shared common/binary_patch.cpp -- -lz
build "$work/r2/shared33.dll" -shared "$b/binary_patch-2.cpp" -- -lz
mflags=(-municode -mwindows -DUNICODE -D_UNICODE)
build "$work/r1/Modulo3.exe" "${mflags[@]}" tools/demo-module/main.cpp "${module[@]}" -- -luser32 -lgdi32
build "$work/r2/Modulo3.exe" "${mflags[@]}" "$b/module-2.cpp" "${module[@]}" -- -luser32 -lgdi32
changed=(shared7.dll shared20.dll shared33.dll Modulo3.exe)
for c in "${changed[@]}"; do cmp -s "$work/r1/$c" "$work/r2/$c" && { echo "$c built the same twice"; exit 1; }; done
for f in "$work/r1"/*; do n=$(basename "$f"); [ -e "$work/r2/$n" ] || cp "$f" "$work/r2/$n"; done

touch -d '2026-12-01 10:00:00' "$work/r1"/* && touch -d '2026-12-08 10:00:00' "$work/r2"/*
"$publish" publish --from "$work/r1" --to "$work/srv" --key "$key" >/dev/null
"$publish" publish --from "$work/r2" --to "$work/srv" --key "$key" | grep '^Published'

serve

# Per changed file of release 2, as a workstation holding release 1's version asks for it: the plain
# object, the deflated object (or the plain one), and the patch from release 1's version (or the
# deflated object when the release lists none from it).
python3 - "$work/srv/aurevia-releases/1.json" "$work/srv/aurevia-releases/2.json" "${changed[@]}" >"$work/entries" <<'PY'
import json, sys
old = {f["name"]: f["sha256"] for f in json.load(open(sys.argv[1]))["files"]}
def obj(h): return "aurevia-objects%5C" + h[:2] + "%5C" + h
for f in json.load(open(sys.argv[2]))["files"]:
    if f["name"] not in sys.argv[3:]: continue
    plain = obj(f["sha256"])
    deflated = plain + ".deflate" if f.get("stored") == "deflate" else plain
    patch = next((obj(p["sha256"]) for p in f.get("patches", []) if p["from"] == old[f["name"]]), deflated)
    print(f["name"], plain, deflated, patch, "patch" if patch != deflated else "-")
PY
[ "$(wc -l <"$work/entries")" -eq 4 ] || { echo "release 2 does not list the 4 changed files"; exit 1; }
sum_plain=0 sum_deflated=0 sum_patched=0 sum_bsdiff=0
printf '%-13s %9s %9s %9s %9s %9s %8s %8s\n' file size plain deflated patched bsdiff pat/pla pat/bsd
while read -r name plain deflated patch via; do
    p=$(wire "$plain") d=$(wire "$deflated") t=$(wire "$patch")
    bsdiff "$work/r1/$name" "$work/r2/$name" "$work/bs.patch"
    # The peer's patch with the same response headers as our plain object.
    s=$(( $(stat -c %s "$work/bs.patch") + p - $(stat -c %s "$work/r2/$name") ))
    sum_plain=$((sum_plain + p)) sum_deflated=$((sum_deflated + d)) sum_patched=$((sum_patched + t))
    sum_bsdiff=$((sum_bsdiff + s))
    [ "$via" = patch ] || echo "  $name: no patch from release 1's version; the deflated object counts"
    printf '%-13s %9d %9d %9d %9d %9d %8.4f %8.3f\n' "$name" "$(stat -c %s "$work/r2/$name")" "$p" "$d" "$t" "$s" \
        "$(ratio "$t" "$p")" "$(ratio "$t" "$s")"
done <"$work/entries"
printf 'a workstation on release 1 taking release 2 (3 of 49 shared files and 1 of 8 modules changed):\n'
printf '  plain (release control today) %d, deflated %d, patches + deflated %d, bsdiff %d bytes on the wire\n' \
    "$sum_plain" "$sum_deflated" "$sum_patched" "$sum_bsdiff"
printf '  patched/plain %.4f  deflated/plain %.3f  patched/deflated %.4f  patched/bsdiff %.3f\n' \
    "$(ratio "$sum_patched" "$sum_plain")" "$(ratio "$sum_deflated" "$sum_plain")" \
    "$(ratio "$sum_patched" "$sum_deflated")" "$(ratio "$sum_patched" "$sum_bsdiff")"
