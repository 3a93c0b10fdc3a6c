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

# The centre over https: the clinic checks the service's certificate against the CA it was given,
# for the name in its URL, which it also sends as the server name (SNI) so that a centre serving
# several names answers with the right certificate.
tls=$work/tls
mkdir -p "$tls"
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=clinic-test-ca \
    -keyout "$tls/ca.key" -out "$tls/ca.pem" 2>/dev/null
leaf() { # leaf NAME DNS: a key and a certificate for DNS, signed by the test CA
    openssl req -newkey rsa:2048 -nodes -subj "/CN=$2" -keyout "$tls/$1.key" -out "$tls/$1.csr" 2>/dev/null
    openssl x509 -req -in "$tls/$1.csr" -CA "$tls/ca.pem" -CAkey "$tls/ca.key" -CAcreateserial -days 2 \
        -extfile <(printf 'subjectAltName=DNS:%s' "$2") -out "$tls/$1.pem" 2>/dev/null
}
leaf right localhost
leaf wrong central.example
tls_front() { # tls_front NAME PORT: a clinic before https://localhost:PORT/
    start_front "$1" --clinic --upstream "https://localhost:$2/" --upstream-ca "$tls/ca.pem" --cache-size 10m
}
object1="${names[1]}"

tls_front clinic-tls "$(start_service central-tls --folder "$served" --tls-cert "$tls/right.pem" --tls-key "$tls/right.key")"
check "over https: an object arrives as stored" "$(sha256sum <"${files[1]}")" \
    "$(curl -s "$front/download?file=$object1" | sha256sum)"
check "over https: the centre served it" 1 \
    "$(grep -c "\"GET /download?file=$object1 " "$work/central-tls.log" || true)"

tls_front clinic-wrong "$(start_service central-wrong --folder "$served" --tls-cert "$tls/wrong.pem" --tls-key "$tls/wrong.key")"
check "a certificate for another name is refused" 502 \
    "$(curl -s -o /dev/null -w '%{http_code}' "$front/download?file=$object1")"
check "and no request crossed to that centre" 0 "$(grep -c '"GET /download' "$work/central-wrong.log" || true)"

# The name the clinic sends, as a TLS server sees it (the file service has one certificate and does
# not look at it).
python3 - "$tls" "$work/sni" <<'PY' &
import socket, ssl, sys
tls, out = sys.argv[1], sys.argv[2]
context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
context.load_cert_chain(tls + "/right.pem", tls + "/right.key")
names = []
context.sni_callback = lambda connection, name, _: names.append(name or "-")
listener = socket.create_server(("127.0.0.1", 0))
with open(out + ".port.tmp", "w") as f:
    f.write(str(listener.getsockname()[1]))
import os; os.rename(out + ".port.tmp", out + ".port")
listener.settimeout(30)
connection, _ = listener.accept()
with context.wrap_socket(connection, server_side=True) as s:
    s.settimeout(10)
    request = b""
    while b"\r\n\r\n" not in request:
        piece = s.recv(4096)
        if not piece:
            break
        request += piece
    s.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 3\r\nConnection: close\r\n\r\nsni")
with open(out, "w") as f:
    f.write(",".join(names))
PY
echo $! >"$work/sni-probe.pid"
for _ in $(seq 100); do [ -s "$work/sni.port" ] && break; sleep 0.05; done
tls_front clinic-sni "$(cat "$work/sni.port")"
check "through the probe" sni "$(curl -s "$front/download?file=aurevia-rollout.json")"
for _ in $(seq 100); do [ -s "$work/sni" ] && break; sleep 0.05; done
check "the clinic sends the centre's name as SNI" localhost "$(cat "$work/sni" 2>/dev/null)"

if [ "$failures" -gt 0 ]; then
    echo "--- central service log"; tail -n 40 "$work/central.log"
    echo "--- clinic access log"; tail -n 40 "$work/clinic/logs/access.log"
    exit 1
fi
echo "all clinic front checks passed"
