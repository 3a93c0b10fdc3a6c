# Sourced by the start/stop scripts of the Windows transport tests' ctest fixtures, which keep the
# processes they start as pid files in their state folder, so that the stop step (a separate run)
# finds them.

# start_named STATE NAME OUTPUT COMMAND...: starts COMMAND in a session of its own (a test's end
# does not reach it), its output to OUTPUT, its pid in STATE/NAME.pid.
start_named() {
    local state=$1 name=$2 output=$3
    shift 3
    setsid "$@" >"$output" 2>&1 </dev/null &
    echo $! >"$state/$name.pid"
}

# stop_named STATE NAME...: ends each NAME that has a pid file, and forgets it.
stop_named() {
    local state=$1 name
    shift
    for name in "$@"; do
        [ -f "$state/$name.pid" ] && kill "$(cat "$state/$name.pid")" 2>/dev/null || true
        rm -f "$state/$name.pid"
    done
}

# wait_for_file FILE: true once FILE has content, false after 5 s.
wait_for_file() {
    for _ in $(seq 1 100); do
        [ -s "$1" ] && return 0
        sleep 0.05
    done
    return 1
}

# ready_or_ended STATE NAME COMMAND...: true once COMMAND succeeds (tried every 0.1 s for up to 10 s);
# false once NAME's process has ended or the time has passed, NAME then ended.
ready_or_ended() {
    local state=$1 name=$2
    shift 2
    for _ in $(seq 1 100); do
        "$@" && return 0
        kill -0 "$(cat "$state/$name.pid")" 2>/dev/null || break
        sleep 0.1
    done
    kill "$(cat "$state/$name.pid")" 2>/dev/null || true
    return 1
}
