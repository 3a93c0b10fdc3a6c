#!/usr/bin/env bash
# nginx_front_test.sh SERVICE RENDER
# Renders deploy/nginx in front of two aurevia-fileservice instances on loopback (as any user, in a
# temporary folder) and checks through it: listing, download, 304 on a repeat, a range, gzip, cache
# revalidation with the service's validators, a changed file never served stale, HEAD and other
# spellings of a download kept from making the instances send or the cache store bodies, paths
# outside the service's routes answered by nginx, request smuggling through bodies on GET/HEAD and
# other methods, and failover when an instance stops.
set -euo pipefail
service=$1 render=$2
fixture=nginx-front-test
. "$(dirname "${BASH_SOURCE[0]}")/front_fixture.sh"

served=$work/served
mkdir -p "$served/Relatorio"
printf 'MZ admission' >"$served/Admission.exe"
head -c 300000 /dev/urandom >"$served/Modulo.exe"
printf 'report' >"$served/Relatorio/RptScheduling.rav"
for i in $(seq 10); do printf 'library %s' "$i" >"$served/lib$i.dll"; done
truncate -s 64M "$served/Grande.exe"
touch -d '2024-03-01 10:00:00' "$served"/*.* "$served/Relatorio/RptScheduling.rav"

port1=$(start_service one --folder "$served")
port2=$(start_service two --folder "$served")
start_front front --base-path /aurevia --upstream "127.0.0.1:$port1" --upstream "127.0.0.1:$port2"

list='/folderlist?folder=%5C&mask=*.*&recursive='
code() { curl -s -o "$work/body" -w '%{http_code}' "$@"; }

check "listing through nginx is the service's" "$(curl -s "http://127.0.0.1:$port1$list")" "$(curl -s "$front$list")"
check "gzip listing through nginx decodes to the same" "$(curl -s "$front$list")" "$(curl -s --compressed "$front$list")"
check "download status" 200 "$(code "$front/download?file=Modulo.exe")"
check "download bytes" "$(sha256sum <"$served/Modulo.exe")" "$(sha256sum <"$work/body")"
check "a name with a folder" report "$(curl -s "$front/download?file=Relatorio%5CRptScheduling.rav")"
etag=$(curl -s -D - -o /dev/null "$front/download?file=Modulo.exe" | tr -d '\r' | sed -n 's/^ETag: //Ip')
check "the service's ETag reaches the client" "$etag" \
    "$(curl -s -D - -o /dev/null "http://127.0.0.1:$port2/download?file=Modulo.exe" | tr -d '\r' | sed -n 's/^ETag: //Ip')"
check "304 on a repeat" 304 "$(code -H "If-None-Match: $etag" "$front/download?file=Modulo.exe")"
check "206 for a range" 206 "$(code -H 'Range: bytes=299000-' "$front/download?file=Modulo.exe")"
check "the range's bytes" "$(tail -c 1000 "$served/Modulo.exe" | sha256sum)" "$(sha256sum <"$work/body")"

# After the entry's second of freshness nginx asks again with the validators: a 304 from the service.
sleep 2.1  # nginx counts the second of freshness in whole seconds: up to two
curl -s -o /dev/null "$front/download?file=Modulo.exe"
check "expired entry revalidated with a 304 from the service" "us=304 ut" \
    "$(tail -n 1 "$work/front/logs/access.log" | grep -o 'us=304 ut' || true)"

# A changed file is never served from the stale entry once its second is over.
head -c 1000 /dev/urandom >"$served/Modulo.exe"
sleep 2.1  # nginx counts the second of freshness in whole seconds: up to two
code "$front/download?file=Modulo.exe" >/dev/null
check "changed file served anew" "$(sha256sum <"$served/Modulo.exe")" "$(sha256sum <"$work/body")"

# Attack: HEAD and other spellings of a download. Bytes the instances sent for Grande.exe (64 MB),
# from their request logs (the last field: bytes sent with the headers).
upstream_bytes() { cat "$work/one.log" "$work/two.log" | awk '/[Gg][Rr][Aa][Nn][Dd][Ee]|%47/ {n += $NF} END {print n + 0}'; }
cache_bytes() { du -sb "$work/front/cache" | cut -f1; }
before_bytes=$(upstream_bytes) before_cache=$(cache_bytes)
heads=""
for spelling in Grande.exe GRANDE.EXE grande.exe %47rande.exe Grande%2Eexe 'Grande.exe&x=1'; do
    for prefix in "" /aurevia //aurevia/ /x/y; do
        heads+="$(curl -s -o /dev/null -w '%{http_code}' -I "$front$prefix/download?file=$spelling") "
    done
done
check "HEADs answered: 200 under the routes, 404 elsewhere (nginx's), 404 for a name that is not one" \
    "$(printf '200 200 200 404 %.0s' 1 2 3 4 5)404 404 404 404 " "$heads"
check "30 HEADs of a 64 MB file made the instances send no body" 1 \
    "$(( $(upstream_bytes) - before_bytes < 100000 ? 1 : 0 ))"
check "and stored nothing" 1 "$(( $(cache_bytes) - before_cache < 100000 ? 1 : 0 ))"
check "a HEAD reaches an instance as a HEAD" "" "$(grep -h '"GET /download?file=GRANDE.EXE' "$work/one.log" "$work/two.log" || true)"
check "no path outside the routes reaches an instance" "" "$(grep -h '/x/y/' "$work/one.log" "$work/two.log" || true)"
check "nginx's own 404 is the service's error record" '{"Error":"Not Found","Status":404,"Detail":"There is no such request."}' \
    "$(curl -s "$front/elsewhere/download?file=Grande.exe")"
# The spelling a workstation sends is stored once, whatever path prefix or slashes came before the
# route; a HEAD is then answered from it without asking an instance.
code "$front/download?file=Grande.exe" >/dev/null
curl -s -o /dev/null "$front//aurevia/download?file=Grande.exe"
# (HIT, or REVALIDATED once the entry's second is over on a busy machine: either way not a MISS.)
check "a download through a base path is the same entry" yes \
    "$(tail -n 1 "$work/front/logs/access.log" | grep -qE 'cache=(HIT|REVALIDATED)' && echo yes)"
curl -s -o /dev/null -I "$front/download?file=Grande.exe"
# (Past the entry's second it is revalidated: a conditional HEAD upstream, a 304, still no body.)
check "a HEAD after it comes from the cache" yes \
    "$(tail -n 1 "$work/front/logs/access.log" | grep -qE 'cache=(HIT|REVALIDATED)' && echo yes)"
# Other spellings are served, not stored: a client that goes away after a moment stops the instance.
check "another spelling is served" "$(sha256sum <"$served/Grande.exe")" "$(curl -s "$front/download?file=GRANDE.exe" | sha256sum)"
before_bytes=$(upstream_bytes) before_cache=$(cache_bytes)
for spelling in GRANDE.EXE grande.exe gRande.exe grAnde.exe graNde.exe granDe.exe grandE.exe %47rande.exe Grande%2Eexe GRande.exe; do
    curl -s -o /dev/null --max-time 0.3 --limit-rate 100k "$front/download?file=$spelling" || true
done
sleep 0.5
sent=$(( $(upstream_bytes) - before_bytes ))
# (What nginx and the sockets buffer is still sent: about 10 MB each on loopback, whatever the size.)
check "10 abandoned downloads in other spellings cost the instances far less than 10 copies ($sent bytes)" 1 \
    "$(( sent < 10 * 64 * 1048576 / 3 ? 1 : 0 ))"
check "and stored nothing" 1 "$(( $(cache_bytes) - before_cache < 1000000 ? 1 : 0 ))"

# Attack: requests that carry a body holding another request, in every form that reaches the
# instances' shared kept-alive connections, while victims ask for the listing and a file. No victim
# may ever get another request's answer, and nothing wrong may be cached for later clients.
attack() { # attack PORT: sends each smuggling form 10 times, reading whatever comes back
    python3 - "$1" <<'PY'
import socket, sys
port = int(sys.argv[1])
inner = b"GET /download?file=Admission.exe HTTP/1.1\r\nHost: x\r\n\r\n"
for _ in range(10):
    for head in (b"GET /healthz", b"GET /folderlist?folder=%5C&mask=*.*&recursive=", b"HEAD /healthz",
                 b"OPTIONS /healthz", b"GET /nothing-here", b"POST /download?file=lib1.dll"):
        s = socket.create_connection(("127.0.0.1", port))
        s.settimeout(2)
        s.sendall(head + b" HTTP/1.1\r\nHost: x\r\nConnection: close\r\nContent-Length: %d\r\n\r\n" % len(inner) + inner)
        try:
            while s.recv(65536):
                pass
        except OSError:
            pass
        s.close()
PY
}
expected_list=$(curl -s "$front$list")
expected_lib=$(cat "$served/lib2.dll")
attack "${front##*:}" &
attacker=$!
wrong=0 victims=0
while kill -0 "$attacker" 2>/dev/null || [ "$victims" -lt 40 ]; do
    [ "$(curl -s "$front$list")" = "$expected_list" ] || wrong=$((wrong + 1))
    [ "$(curl -s "$front/download?file=lib2.dll")" = "$expected_lib" ] || wrong=$((wrong + 1))
    curl -s "$front/healthz" | grep -q '"Status":"ok"' || wrong=$((wrong + 1))
    victims=$((victims + 3))
done
wait "$attacker"
check "victims got what they asked for during $victims requests beside smuggling attempts" 0 "$wrong"
check "and so do later clients (nothing wrong cached)" "$expected_lib" "$(curl -s "$front/download?file=lib2.dll")"
check "other methods answered by nginx" 405 "$(code -X OPTIONS "$front/healthz")"
check "no other method reaches an instance" "" "$(grep -hE '\"(POST|OPTIONS|PUT|DELETE) ' "$work/one.log" "$work/two.log" || true)"

# One instance stops: every request still succeeds through the other.
kill "$(cat "$work/one.pid")"
statuses=""
for i in $(seq 10); do
    statuses+="$(code "$front$list")$(code "$front/download?file=lib$i.dll") "  # not cached yet
done
check "all answered with one instance down" "$(printf '200200 %.0s' $(seq 10))" "$statuses"

if [ "$failures" -ne 0 ]; then
    echo "--- nginx access log"; cat "$work/front/logs/access.log"
    echo "--- nginx errors"; cat "$work/front/logs/error.log" "$work/nginx.err" 2>/dev/null || true
    exit 1
fi
