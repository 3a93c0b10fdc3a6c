#!/usr/bin/env bash
# The trust root under Wine (see bench_root_update.cpp): a no-op update with a root in force against
# one without (requests from the file service's access log, time), and the root versions a
# workstation catches up on over a link throttled to RATE bytes/s (125000: 1 Mbit/s) against a
# caught-up no-op on the same link. Needs both trees' targets: bench_root_update (windows) and
# aurevia-fileservice (native).
# Usage: bench/root/update.sh [RUNS] [VERSIONS] [RATE]
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
cd "$root"
export AUREVIA_HEADLESS=1
. scripts/wine-env.sh
exe=build/windows/bench/windows/bench_root_update.exe
service=$root/build/native/tools/fileservice/aurevia-fileservice
[ -x "$service" ] && [ -f "$exe" ] || { echo "build first: bench_root_update (windows), aurevia-fileservice (native)"; exit 1; }
wine "$exe" "$service" "$root/bench/staging/throttle.py" "${1:-7}" "${2:-32}" "${3:-125000}" | tr -d '\r'
