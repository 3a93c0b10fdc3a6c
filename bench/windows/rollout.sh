#!/usr/bin/env bash
# Release control under Wine (see bench_rollout.cpp): the bytes a workstation fetches for a release
# that changes the module and 3 shared files against a full fetch, and a no-op refresh in rollout
# mode against one with the flat signed manifest (folder and reference file service, requests and
# time). Needs scripts/build (both trees) first.
# Usage: bench/windows/rollout.sh [SHARED_KB] [MODULE_KB] [RUNS]
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
cd "$root"
export AUREVIA_HEADLESS=1
. scripts/wine-env.sh
exe=build/windows/bench/windows/bench_rollout.exe
service=$root/build/native/tools/fileservice/aurevia-fileservice
[ -x "$service" ] && [ -f "$exe" ] || { echo "build first: scripts/build"; exit 1; }
wine "$exe" "$service" "${1:-512}" "${2:-4096}" "${3:-7}" | tr -d '\r'
