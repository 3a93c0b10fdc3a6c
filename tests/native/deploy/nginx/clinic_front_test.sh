#!/usr/bin/env bash
# clinic_front_test.sh SERVICE RENDER
# Renders a branch clinic's front (render --clinic) before one aurevia-fileservice standing for the
# central service, and has two workstations (curl) fetch a release's objects through it, at the same
# time: the central service's access log must show each object fetched once, every byte must arrive
# as stored, while the rollout document and the listing keep being revalidated, so that a change at
# the centre reaches the clinic's workstations at once.
set -euo pipefail
service=$1 render=$2
fixture=nginx-clinic-test
. "$(dirname "${BASH_SOURCE[0]}")/front_fixture.sh"

# A release as the publisher lays it out: objects named by their content (one also deflated), the
# release and rollout documents.
served=$work/served
mkdir -p "$served/aurevia-releases"
object() { # object FILE -> stores it as an object and prints its hex name
    local hex
    hex=$(sha256sum <"$1" | cut -c1-64)
    mkdir -p "$served/aurevia-objects/${hex:0:2}"
    cp "$1" "$served/aurevia-objects/${hex:0:2}/$hex"
    echo "$hex"
}
head -c 3000000 /dev/urandom >"$work/Modulo.exe"
head -c 200000 /dev/urandom >"$work/gds32.dll"
seq 1 40000 >"$work/Rpt.rav"
hexes=("$(object "$work/Modulo.exe")" "$(object "$work/gds32.dll")" "$(object "$work/Rpt.rav")")
python3 -c 'import sys, zlib; sys.stdout.buffer.write(zlib.compress(open(sys.argv[1], "rb").read(), 9))' \
    "$work/Rpt.rav" >"$served/aurevia-objects/${hexes[2]:0:2}/${hexes[2]}.deflate"
printf '{"format":"aurevia-release/1","serial":1}' >"$served/aurevia-releases/1.json"
printf '{"format":"aurevia-rollout/1","serial":1}' >"$served/aurevia-rollout.json"
touch -d '2026-12-01 10:00:00' "$served/aurevia-rollout.json" "$served/aurevia-releases/1.json"
names=()
for h in "${hexes[@]}"; do names+=("aurevia-objects%5C${h:0:2}%5C$h"); done
names+=("aurevia-objects%5C${hexes[2]:0:2}%5C${hexes[2]}.deflate")
files=("$served/aurevia-objects/${hexes[0]:0:2}/${hexes[0]}" "$served/aurevia-objects/${hexes[1]:0:2}/${hexes[1]}"
       "$served/aurevia-objects/${hexes[2]:0:2}/${hexes[2]}" "$served/aurevia-objects/${hexes[2]:0:2}/${hexes[2]}.deflate")

central="http://127.0.0.1:$(start_service central --folder "$served")"
start_front clinic --clinic --upstream "$central/" --cache-size 100m

central_gets() { grep -c "\"GET /download?file=$1 " "$work/central.log" || true; }

# Two workstations, each fetching the whole release at the same moment as the other.
fetches=()
for client in a b; do
    for i in "${!names[@]}"; do
        curl -s -o "$work/$client.$i" "$front/download?file=${names[$i]}" &
        fetches+=($!)
    done
done
wait "${fetches[@]}"
for i in "${!names[@]}"; do
    for client in a b; do
        check "workstation $client: object $i arrives as stored" "$(sha256sum <"${files[$i]}")" \
            "$(sha256sum <"$work/$client.$i")"
    done
done
# A third round, later, and a range to continue a cut body: from the clinic's copy.
sleep 2.2
curl -s -o "$work/c.0" "$front/download?file=${names[0]}"
check "a later fetch is the same object" "$(sha256sum <"${files[0]}")" "$(sha256sum <"$work/c.0")"
check "a range of an object" 206 "$(curl -s -o "$work/range" -w '%{http_code}' -H 'Range: bytes=2999000-' \
    "$front/download?file=${names[0]}")"
check "the range's bytes" "$(tail -c 1000 "${files[0]}" | sha256sum)" "$(sha256sum <"$work/range")"
for i in "${!names[@]}"; do
    check "object $i crossed the link once" 1 "$(central_gets "${names[$i]}")"
done

# Documents and listings are revalidated: a new rollout document reaches the clinic at once.
rollout=aurevia-rollout.json
check "the rollout document" '{"format":"aurevia-rollout/1","serial":1}' "$(curl -s "$front/download?file=$rollout")"
sleep 2.2
check "the rollout document, revalidated" '{"format":"aurevia-rollout/1","serial":1}' \
    "$(curl -s "$front/download?file=$rollout")"
check "a revalidation moves no body: the centre answered 304" 1 \
    "$(grep -c "\"GET /download?file=$rollout HTTP/1.1\" 304 " "$work/central.log" || true)"
printf '{"format":"aurevia-rollout/1","serial":2}' >"$served/$rollout"
sleep 2.2
check "a changed rollout document is served anew" '{"format":"aurevia-rollout/1","serial":2}' \
    "$(curl -s "$front/download?file=$rollout")"
list='/folderlist?folder=aurevia-releases&mask=*.*'
check "the listing through the clinic is the centre's" "$(curl -s "$central$list")" "$(curl -s "$front$list")"
check "anything else is answered by the clinic" 404 "$(curl -s -o /dev/null -w '%{http_code}' "$front/painel")"
check "no other method" 405 "$(curl -s -o /dev/null -w '%{http_code}' -X DELETE "$front/download?file=$rollout")"

if [ "$failures" -gt 0 ]; then
    echo "--- central service log"; tail -n 40 "$work/central.log"
    echo "--- clinic access log"; tail -n 40 "$work/clinic/logs/access.log"
    exit 1
fi
echo "all clinic front checks passed"
