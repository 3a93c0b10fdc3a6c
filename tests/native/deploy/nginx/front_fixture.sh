# Sourced by the nginx front tests: skips without nginx; a work folder, the checks, file service
# instances and a rendered front on loopback, all ended and removed on exit. Needs: service, render,
# fixture (the work folder's name). Sets: work, failures; defines check, start_service, start_front.
if ! command -v nginx >/dev/null; then
    echo "SKIP: nginx is not installed (scripts/install-deps installs nginx-light)"
    exit 77
fi
work=$(mktemp -d "/tmp/$fixture-XXXXXX")
pids=()
cleanup() {
    local p
    for p in "${pids[@]}" $(cat "$work"/*.pid 2>/dev/null); do kill "$p" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
failures=0
check() { # check DESCRIPTION EXPECTED ACTUAL
    if [ "$2" = "$3" ]; then echo "ok   $1"; else echo "FAIL $1: expected [$2], got [$3]"; failures=$((failures + 1)); fi
}

# start_service NAME OPTIONS... -> prints its port. Its log is $work/NAME.log, its pid $work/NAME.pid.
start_service() {
    "$service" --port 0 --port-file "$work/$1.port" "${@:2}" >"$work/$1.log" 2>&1 &
    echo $! >"$work/$1.pid"
    for _ in $(seq 100); do [ -s "$work/$1.port" ] && break; sleep 0.05; done
    cat "$work/$1.port"
}

# start_front NAME RENDER_OPTIONS...: renders the front into $work/NAME and starts nginx on it. Sets
# front (its base URL) and port once nginx answers a path of its own (not one passed upstream, which
# may be down or refuse on purpose). A free port for nginx: the kernel's choice for a socket the service
# briefly held is not offered here, so try a few in the ephemeral range's upper end.
start_front() {
    local dir=$work/$1 nginx_pid attempt
    shift
    front=""
    for attempt in 1 2 3 4 5; do
        port=$((40000 + RANDOM % 20000))
        "$render" --out "$dir" --listen "127.0.0.1:$port" "$@" --foreground >/dev/null
        nginx -p "$dir" -c "$dir/nginx.conf" -e stderr 2>"$work/nginx.err" &
        nginx_pid=$!
        for _ in $(seq 100); do
            [ "$(curl -s -o /dev/null -w '%{http_code}' "http://127.0.0.1:$port/fixture-probe")" = 404 ] &&
                { front="http://127.0.0.1:$port"; break; }
            kill -0 "$nginx_pid" 2>/dev/null || break
            sleep 0.05
        done
        [ -n "$front" ] && break
        kill "$nginx_pid" 2>/dev/null || true
    done
    [ -n "$front" ] || { echo "FAIL nginx did not start:"; cat "$work/nginx.err"; exit 1; }
    pids+=("$nginx_pid")
}
