#!/usr/bin/env bash
# Attack 5 of the service's hardening: out of descriptors while the folder changes. Starts BINARY under
# `ulimit -n 64` on a folder of 20 files, holds 100 idle connections, removes one file (the walk that
# follows cannot open the folder), lets the connections go and asks for the listing at once and again
# 3 s later. A sound service answers 20 entries, then 19; one that publishes a failed walk answers 0.
#   bench/fileservice/walk_failure.sh BINARY
set -euo pipefail
[ $# -eq 1 ] || { sed -n '2,7p' "$0"; exit 2; }
binary=$(realpath "$1")
dir=$(mktemp -d /tmp/aurevia-walk-failure-XXXXXX)
pid=
trap '[ -n "$pid" ] && kill "$pid" 2>/dev/null; rm -rf "$dir"' EXIT
mkdir "$dir/served"
for i in $(seq 20); do echo "$i" >"$dir/served/f$i.txt"; done
touch -d '2026-01-01' "$dir/served"/*
(ulimit -n 64 && exec "$binary" --folder "$dir/served" --port 0 --port-file "$dir/port" --settle-ms 100 \
    >/dev/null 2>"$dir/service.log") &
pid=$!
for _ in $(seq 100); do [ -s "$dir/port" ] && break; sleep 0.1; done
python3 - "$(cat "$dir/port")" "$dir/served/f1.txt" <<'PY'
import os, socket, sys, time, urllib.request
port, victim = int(sys.argv[1]), sys.argv[2]
url = f"http://127.0.0.1:{port}/folderlist?folder=%5C&mask=*.*&recursive="
idle = []
for _ in range(100):
    s = socket.socket()
    s.setblocking(False)
    try:
        s.connect(("127.0.0.1", port))
    except BlockingIOError:
        pass
    idle.append(s)
time.sleep(1)
os.remove(victim)
time.sleep(1.5)
for s in idle:
    s.close()
time.sleep(0.2)
print("entries right after:", urllib.request.urlopen(url, timeout=10).read().decode().count("FileName"))
time.sleep(3)
print("entries 3 s later:  ", urllib.request.urlopen(url, timeout=10).read().decode().count("FileName"))
PY
echo "service log:"
cat "$dir/service.log"
