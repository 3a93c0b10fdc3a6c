#!/usr/bin/env bash
# cmake/check_layers.cmake against a copy of update/: the tree as it is passes; each planted fault
# fails the check with a message that names the offending file and include.
#   check_layers_test.sh CMAKE SOURCE_DIR
set -uo pipefail
cmake=$1 source=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

fresh_copy() {
    rm -rf "$work/tree"
    mkdir -p "$work/tree"
    cp -r "$source/update" "$work/tree/update"
}

run_check() {
    "$cmake" -DROOT="$work/tree" -P "$source/cmake/check_layers.cmake" >"$work/out" 2>&1
}

fresh_copy
if ! run_check; then
    echo "FAIL: the tree as it is breaks its layers:"
    cat "$work/out"
    failures=$((failures + 1))
fi

# what | file to change | line appended | text the failure must hold
cases=(
    "upward include|update/trust/publisher_key.h|#include \"update/plan/release_plan.h\"|update/trust/publisher_key.h includes update/plan/release_plan.h: layer trust may not include plan"
    "upward include in a source file|update/disk/file_keys.cpp|  #  include \"update/updater/files_updater.h\"|update/disk/file_keys.cpp includes update/updater/files_updater.h"
    "the launcher included|update/state/accepted_serial.cpp|#include \"launcher/fleet/fleet_reports.h\"|update/state/accepted_serial.cpp includes launcher/fleet/fleet_reports.h: the update core does not include the launcher"
    "two files of one layer including each other|update/trust/cng.h|#include \"update/trust/publisher_key.h\"|update/trust/cng.h and update/trust/publisher_key.h include each other"
    "a folder in no layer|update/extras/helper.h|#include \"update/disk/file_keys.h\"|update/extras/helper.h is in no layer"
)
for row in "${cases[@]}"; do
    IFS='|' read -r what file line expected <<<"$row"
    fresh_copy
    mkdir -p "$(dirname "$work/tree/$file")"
    printf '\n%s\n' "$line" >>"$work/tree/$file"
    if run_check; then
        echo "FAIL ($what): the check passed"
        failures=$((failures + 1))
    elif ! grep -qF "$expected" "$work/out"; then
        echo "FAIL ($what): the message does not name the fault; expected \"$expected\" in:"
        cat "$work/out"
        failures=$((failures + 1))
    else
        echo "ok ($what)"
    fi
done
exit $((failures > 0))
