#!/usr/bin/env bash
# Starts or stops the proxies of the Windows proxy tests (a ctest fixture): Debian's squid as an
# explicit proxy on 127.0.0.3 with a private configuration (no cache on disk, its logs in
# STATE_DIR), and
# proxy_stub.py (an origin with a PAC file, a proxy that wants Basic only, one that offers the
# Windows logon).
#   proxies.sh start STATE_DIR   ports in STATE_DIR/{squid,origin,basic,logon}.port
#   proxies.sh stop STATE_DIR
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

. "$here/fixture_processes.sh"
stop() { stop_named "$1" squid stub; }

port_open() { (exec 3<>"/dev/tcp/127.0.0.3/$1") 2>/dev/null; }
free_port() { python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.3", 0)); print(s.getsockname()[1])'; }

case "$1" in
start)
    state=$2
    command -v squid >/dev/null || [ -x /usr/sbin/squid ] || { echo "proxies: squid is missing (scripts/install-deps)" >&2; exit 1; }
    squid=$(command -v squid || echo /usr/sbin/squid)
    stop "$state"
    rm -rf "$state"
    mkdir -p "$state"
    # Not on 127.0.0.1, where the tests' scripted services listen: Wine's WinHTTP sends a request
    # for a server on the proxy's own host name as if there were no proxy (no absolute URL).
    # squid started as root runs as its own user, which must write its logs here.
    chmod 0777 "$state"
    for _ in $(seq 1 20); do
        port=$(free_port)
        cat >"$state/squid.conf" <<CONF
http_port 127.0.0.3:$port
pid_filename none
access_log stdio:$state/access.log
cache_log $state/cache.log
cache_store_log none
cache deny all
cache_mem 8 MB
coredump_dir $state
acl loopback src 127.0.0.0/8
acl CONNECT method CONNECT
http_access allow loopback
http_access deny all
shutdown_lifetime 0 seconds
visible_hostname aurevia-test-proxy
CONF
        start_named "$state" squid "$state/squid.out" "$squid" -N -f "$state/squid.conf"
        if ready_or_ended "$state" squid port_open "$port"; then
            echo "$port" >"$state/squid.port"
            break
        fi
    done
    [ -s "$state/squid.port" ] || { echo "proxies: squid did not start:" >&2; cat "$state/squid.out" "$state/cache.log" >&2; exit 1; }
    start_named "$state" stub "$state/stub.out" python3 "$here/proxy_stub.py" "$state" "$(cat "$state/squid.port")"
    for name in origin basic logon; do
        wait_for_file "$state/$name.port" || { echo "proxies: the stub did not start:" >&2; cat "$state/stub.out" >&2; stop "$state"; exit 1; }
    done
    ;;
stop)
    stop "$2"
    ;;
esac
