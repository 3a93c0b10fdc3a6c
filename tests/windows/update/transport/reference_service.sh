#!/usr/bin/env bash
# Starts or stops the reference file service for the Windows client tests (a ctest fixture).
#   reference_service.sh start SERVICE_BINARY STATE_DIR   serves STATE_DIR/served on a free port,
#                                                         written to STATE_DIR/port
#   reference_service.sh stop STATE_DIR
set -euo pipefail
case "$1" in
start)
    service=$2 state=$3
    if [ ! -x "$service" ]; then
        echo "reference_service: $service not built (build the native tree: cmake --build --preset native)" >&2
        exit 1
    fi
    [ -f "$state/pid" ] && kill "$(cat "$state/pid")" 2>/dev/null || true
    rm -rf "$state"
    mkdir -p "$state/served"
    # The tests write the served folder and list it at once: no file of theirs is a copy in progress.
    setsid "$service" --folder "$state/served" --port 0 --port-file "$state/port" --settle-ms 0 >"$state/log" 2>&1 </dev/null &
    echo $! >"$state/pid"
    for _ in $(seq 1 100); do
        [ -s "$state/port" ] && exit 0
        sleep 0.05
    done
    echo "reference_service: the service did not start:" >&2
    cat "$state/log" >&2
    exit 1
    ;;
stop)
    state=$2
    [ -f "$state/pid" ] && kill "$(cat "$state/pid")" 2>/dev/null || true
    rm -f "$state/pid"
    ;;
esac
