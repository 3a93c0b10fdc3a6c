#!/usr/bin/env bash
# What a hostile file service costs the real launcher with its default limits (no "Limites" section):
#   memory  peak resident memory (VmHWM of the Wine process running Aurevia.EXE) while the start-up
#           refresh meets a BENCH_BIG_MB (300) MB listing, against the same launcher's peak on a normal
#           listing (1000 records) in the same run, and the seconds from the listing request until the
#           launcher drops the connection;
#   trickle the seconds a download that sends one byte every BENCH_GAP (5) s holds the refresh: from
#           the download request until the launcher drops the connection (the default minimum is 1 KB
#           in 30 s);
#   head    the seconds until the refresh fails when the listing's answer head comes one byte every
#           BENCH_GAP s (the "ms" of the update's line in the launcher's log).
# BENCH_CASES picks some of "listing trickle head" (default all). Every case waits at most BENCH_CAP
# (150) seconds; the service trickles 30 s longer, so that an end it reports is the client's.
# AUREVIA_EXE names another build to measure (default dist/Aurevia.EXE), e.g. an older commit's.
# Needs scripts/build first. Usage: bench/windows/hostile.sh
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
cd "$root"
export AUREVIA_HEADLESS=1
. scripts/wine-env.sh
exe=${AUREVIA_EXE:-dist/Aurevia.EXE}
work=${BENCH_DIR:-/tmp/aurevia-bench-hostile}
big_mb=${BENCH_BIG_MB:-300}
gap=${BENCH_GAP:-5}
cap=${BENCH_CAP:-150}
[ -f "$exe" ] || { echo "build first: scripts/build"; exit 1; }
rm -rf "$work" && mkdir -p "$work"
win() { echo "Z:${1//\//\\}"; }
# The launcher's log for IT in the prefix (LOCALAPPDATA of the prefix's user).
log="$WINEPREFIX/drive_c/users/$(id -un)/AppData/Local/Aurevia/Aurevia.log"

aurevia_ensure_prefix
(flock 8; aurevia_ensure_display; echo "$DISPLAY" >"$WINEPREFIX.current") 8>"$WINEPREFIX.dlock"
export DISPLAY=$(cat "$WINEPREFIX.current")

server_pid='' launcher_pid=''
cleanup() {
    [ -n "$launcher_pid" ] && kill "$launcher_pid" 2>/dev/null || true
    [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null || true
}
trap cleanup EXIT

# run CASE: starts the service in mode CASE and a fresh launcher pointed at it, samples the launcher's
# memory until the service reports the last request's end and the memory has settled for 3 s (or
# the cap), then ends both. Prints "peak_mb held sent": the seconds from the start of the case's
# hostile request until the connection ended (">cap" when it did not), and the megabytes the service
# had sent by then.
run() {
    local case=$1 dir="$work/$1"
    mkdir -p "$dir/install" "$dir/server"
    cp "$exe" "$dir/install/Aurevia.EXE"
    # The service trickles a little longer than the case waits, so that an end it reports is the client's.
    python3 bench/windows/hostile_server.py "$case" "$dir/port" "$big_mb" "$gap" $((cap + 30)) >"$dir/events" &
    server_pid=$!
    for _ in $(seq 100); do [ -s "$dir/port" ] && break; sleep 0.05; done
    printf '[Servidor]\r\nLocal Exe=%s\r\nurl=http://127.0.0.1:%s\r\n' "$(win "$dir/server")" \
        "$(cat "$dir/port")" >"$dir/install/Aurevia.ini"
    # wine becomes the process that runs the launcher (same Linux process id).
    (cd "$dir/install" && exec wine "$(win "$dir/install/Aurevia.EXE")" >/dev/null 2>&1) &
    launcher_pid=$!
    local start_event=listing-start end_event=listing-end
    [ "$case" = trickle ] && start_event=download-start end_event=download-end
    local port
    port=$(cat "$dir/port")
    local began=$SECONDS last_rss=0 still=0 rss
    while [ $((SECONDS - began)) -lt "$cap" ]; do
        sleep 0.25
        rss=$(awk '/^VmRSS/ {print $2}' "/proc/$launcher_pid/status" 2>/dev/null) || break
        if [ "$case" = head ]; then
            # Under Wine the connection outlives the update (it is left to a pool thread): the update's
            # end is its log line.
            grep -q "update-failed module=- source=http://127.0.0.1:$port " "$log" 2>/dev/null && break
            continue
        fi
        if grep -q "^$end_event " "$dir/events" && [ "$rss" -le "$last_rss" ]; then
            still=$((still + 1))
            [ "$still" -ge 12 ] && break
        else
            still=0
        fi
        last_rss=$rss
    done
    local peak
    peak=$(awk '/^VmHWM/ {printf "%d", $2 / 1024}' "/proc/$launcher_pid/status" 2>/dev/null || echo -)
    kill "$launcher_pid" 2>/dev/null || true
    kill "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
    launcher_pid='' server_pid=''
    if [ "$case" = head ]; then
        local ms
        ms=$(grep "update-failed module=- source=http://127.0.0.1:$port " "$log" 2>/dev/null |
            sed -n 's/.* ms=\([0-9]*\).*/\1/p' | head -1) || true
        if [ -n "$ms" ]; then echo "$peak $(awk "BEGIN{printf \"%.1f\", $ms/1000}")s -"; else echo "$peak >${cap}s -"; fi
        return
    fi
    awk -v s="$start_event" -v e="$end_event" -v p="$peak" -v cap="$cap" '
        $1 == s && !t0 { t0 = $2 } $1 == e { t1 = $2; sent = $3 }
        END {
            if (t1 != "") printf "%s %.1fs %.0fMB\n", p, t1 - t0, sent / 1048576
            else printf "%s >%ss -\n", p, cap
        }' "$dir/events"
}

ratio() { awk "BEGIN{printf \"%.1f\", $1/$2}"; }

cases=" ${BENCH_CASES:-listing trickle head} "
echo "# $exe, default limits; peak = VmHWM of the launcher's Wine process"
if [[ $cases == *" listing "* ]]; then
    read -r normal_peak _ < <(run normal)
    read -r big_peak big_s big_sent < <(run big)
    echo "listing normal peak=${normal_peak}MB; ${big_mb}MB listing peak=${big_peak}MB" \
        "big/normal=$(ratio "$big_peak" "$normal_peak"), connection ended after ${big_s} having taken ${big_sent}"
fi
if [[ $cases == *" trickle "* ]]; then
    read -r _ trickle_s _ < <(run trickle)
    echo "trickle one byte every ${gap}s held the update ${trickle_s} (the default minimum today: 1 KB in 30 s)"
fi
if [[ $cases == *" head "* ]]; then
    read -r _ head_s _ < <(run head)
    echo "head one byte every ${gap}s held the update ${head_s}"
fi
