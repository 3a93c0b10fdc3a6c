#!/usr/bin/env bash
# Starts or stops nginx in front of two reference file service instances, rendered from
# deploy/nginx/, for the Windows test of the launcher's client through the front (a ctest fixture).
#   front.sh start SERVICE_BINARY STATE_DIR   serves STATE_DIR/served through nginx on loopback:
#       plain HTTP on the port in STATE_DIR/http_port, TLS on STATE_DIR/https_port with a
#       certificate for "localhost" from a test CA made here (STATE_DIR/tls/ca.pem); and, for a
#       certificate nobody trusts, a third instance with TLS of its own on STATE_DIR/untrusted_port;
#       and two relays to the TLS port that count connections (STATE_DIR/counter{0,1}.port, .log)
#   front.sh stop STATE_DIR
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../../../.." && pwd)

. "$root/tests/windows/update/transport/fixture_processes.sh"
stop() { stop_named "$1" nginx service1 service2 untrusted counter; }

case "$1" in
start)
    service=$2 state=$3
    if [ ! -x "$service" ]; then
        echo "front: $service not built (build the native tree: cmake --build --preset native)" >&2
        exit 1
    fi
    for tool in nginx openssl curl; do
        command -v "$tool" >/dev/null || { echo "front: $tool is missing (scripts/install-deps)" >&2; exit 1; }
    done
    stop "$state"
    rm -rf "$state"
    mkdir -p "$state/served" "$state/tls"

    # A CA of this run only, and a certificate for localhost: WinHTTP matches DNS names in a
    # certificate, not IP addresses. No key is kept anywhere else.
    tls=$state/tls
    openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 \
        -subj "/CN=Aurevia front test CA" -keyout "$tls/ca.key" -out "$tls/ca.pem" 2>/dev/null
    openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -subj "/CN=localhost" \
        -keyout "$tls/server.key" -out "$tls/server.csr" 2>/dev/null
    printf 'subjectAltName=DNS:localhost\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n' >"$tls/ext"
    openssl x509 -req -in "$tls/server.csr" -CA "$tls/ca.pem" -CAkey "$tls/ca.key" -CAcreateserial -days 2 \
        -extfile "$tls/ext" -out "$tls/server.pem" 2>/dev/null
    openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 -subj "/CN=localhost" \
        -addext "subjectAltName=DNS:localhost" -keyout "$tls/untrusted.key" -out "$tls/untrusted.pem" 2>/dev/null

    # --settle-ms 0: the tests list files right after writing them; nothing else writes there.
    for i in 1 2; do
        start_named "$state" "service$i" "$state/service$i.log" \
            "$service" --folder "$state/served" --port 0 --port-file "$state/service$i.port" --settle-ms 0
    done
    start_named "$state" untrusted "$state/untrusted.log" "$service" --folder "$state/served" --port 0 \
        --port-file "$state/untrusted.port" --settle-ms 0 --tls-cert "$tls/untrusted.pem" --tls-key "$tls/untrusted.key"
    for name in service1 service2 untrusted; do
        wait_for_file "$state/$name.port" || { echo "front: $name did not start:" >&2; cat "$state/$name.log" >&2; exit 1; }
    done
    cp "$state/untrusted.port" "$state/untrusted_port"

    # Free ports for nginx are found by trying: it ends at once when it cannot listen.
    for _ in $(seq 1 20); do
        http=$((20000 + RANDOM % 20000)) https=$((40000 + RANDOM % 20000))
        "$root/deploy/nginx/render" --out "$state/front" --listen "127.0.0.1:$http" \
            --tls-listen "127.0.0.1:$https" --tls-cert "$tls/server.pem" --tls-key "$tls/server.key" \
            --upstream "127.0.0.1:$(cat "$state/service1.port")" --upstream "127.0.0.1:$(cat "$state/service2.port")" \
            --foreground >/dev/null
        # Here a workstation that stops reading is dropped after a second (60 s by default), so that
        # the test can cut a download through the front by pausing.
        sed -i 's/^\( *server_name _;\)$/\1\n    send_timeout 1s;/' "$state/front/aurevia.conf"
        # Each line names its connection and whether TLS resumed a session ("r") or made a full
        # handshake ("."), so that a test can count both.
        sed -i "s/'cache=\$upstream_cache_status';/'cache=\$upstream_cache_status conn=\$connection tls=\$ssl_session_reused';/" \
            "$state/front/aurevia.conf"
        start_named "$state" nginx "$state/nginx.log" nginx -p "$state/front" -c "$state/front/nginx.conf" -e stderr
        if ready_or_ended "$state" nginx curl -fs -o /dev/null "http://127.0.0.1:$http/healthz"; then
            echo "$http" >"$state/http_port"
            echo "$https" >"$state/https_port"
            # Two relays to the TLS port that count the connections a client holds at once.
            start_named "$state" counter "$state/counter.out" \
                python3 "$root/tests/windows/update/transport/connection_counter.py" "$state" "$https" 2
            wait_for_file "$state/counter1.port" || { echo "front: the counter did not start" >&2; cat "$state/counter.out" >&2; exit 1; }
            exit 0
        fi
    done
    echo "front: nginx did not start:" >&2
    cat "$state/nginx.log" >&2
    exit 1
    ;;
stop)
    stop "$2"
    ;;
esac
