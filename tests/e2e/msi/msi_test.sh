#!/usr/bin/env bash
# The workstation MSI under Wine, in a Wine prefix of its own: a silent install with the site's
# properties, the installed launcher's start-up refresh, an upgrade that keeps Aurevia.ini and the
# fetched files, a refused downgrade, an upgrade that changes settings, uninstall, another folder.
# Wine's msiexec does not repair (/f fails; REINSTALL=ALL left an older Aurevia.EXE in place), so
# repair is left to a Windows check.
#   msi_test.sh BUILT_AUREVIA.EXE WORK_FOLDER [ARTIFACTS_FOLDER]
# Wine cannot show folder permissions (its icacls is a stub): they are left to a Windows check.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../../.." && pwd)
. "$root/scripts/version.sh"
built=$1 work=$2 artifacts=${3:-$root/artifacts}

rm -rf "$work"
mkdir -p "$work/home" "$work/server/Relatorio"
# Wine links the profile's Desktop and Documents to $HOME, and winemenubuilder writes menus
# outside the prefix: keep both inside the work folder (and the latter off).
export HOME=$work/home
export AUREVIA_WINEPREFIX=$work/prefix AUREVIA_HEADLESS=1
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
. "$root/scripts/wine-env.sh"
trap aurevia_stop_wine EXIT
aurevia_ensure_display
aurevia_ensure_prefix
# The profile's folders are links to $HOME: make them real folders, so that the desktop shortcut
# stays in the prefix where the test can see it.
for link in "$WINEPREFIX/drive_c/users/$(id -un)"/*; do
    [ -L "$link" ] && rm "$link" && mkdir "$link"
done

winpath() { local p=${1//\//\\}; echo "Z:$p"; }
drive_c=$WINEPREFIX/drive_c
install=$drive_c/Aurevia

fail() {
    echo "FAIL: $*"
    mkdir -p "$artifacts/msi"
    cp "$work"/*.log "$artifacts/msi/" 2>/dev/null || true
    echo "msiexec logs in $artifacts/msi/"
    exit 1
}
expect_file() { [ -f "$1" ] || fail "$2: $1 missing"; }
expect_no_file() { [ ! -e "$1" ] || fail "$2: $1 still there"; }

# Wine cuts a process's exit code to 8 bits (1603 reads 67): the batch file records the real one.
printf '@echo off\r\nstart /wait msiexec.exe %%*\r\n>"%%~dp0exitcode.txt" echo %%ERRORLEVEL%%\r\n' >"$work/run-msiexec.bat"
msiexec_code() {  # LOG ARGS...: prints msiexec's real exit code
    local log=$work/$1
    shift
    rm -f "$work/exitcode.txt"
    wine cmd /c "$(winpath "$work/run-msiexec.bat")" "$@" /qn /l*v "$(winpath "$log")" >/dev/null 2>&1 || true
    tr -d '\r\n ' <"$work/exitcode.txt"
}
expect_code() {  # EXPECTED LOG ARGS...
    local expected=$1 code
    shift
    code=$(msiexec_code "$@")
    [ "$code" = "$expected" ] || fail "msiexec $* ended with $code, expected $expected"
}

# Copies of the built launcher with other file versions stand in for other releases.
set_exe_version() {  # FILE VERSION
    local at major minor build revision
    at=$(aurevia_version_resource_at "$1") || return 1
    IFS=. read -r major minor build revision <<<"$2"
    # shellcheck disable=SC2059 # the format is the bytes, built by the inner printf
    printf "$(printf '\\x%02x\\x%02x\\x%02x\\x%02x\\x%02x\\x%02x\\x%02x\\x%02x' \
        $((minor & 255)) $((minor >> 8)) $((major & 255)) $((major >> 8)) \
        $((revision & 255)) $((revision >> 8)) $((build & 255)) $((build >> 8)))" |
        dd of="$1" bs=1 seek=$((at + 8)) conv=notrunc status=none
}
v1=$(aurevia_exe_version "$built")
IFS=. read -r major minor build revision <<<"$v1"
v2=$major.$minor.$((build + 1)).$revision
v3=$major.$minor.$((build + 2)).0
v4=$major.$minor.$((build + 2)).7  # Windows Installer compares the first three parts only
versions=("" "$v1" "$v2" "$v3" "$v4")
for n in 1 2 3 4; do
    cp "$built" "$work/Aurevia-$n.EXE"
    set_exe_version "$work/Aurevia-$n.EXE" "${versions[n]}"
    [ "$(aurevia_exe_version "$work/Aurevia-$n.EXE")" = "${versions[n]}" ] || fail "could not stamp ${versions[n]}"
    "$root/deploy/msi/build-msi" "$work/Aurevia-$n.EXE" "$work/aurevia-$n.msi" 2>"$work/build-msi.log" ||
        fail "build-msi of ${versions[n]}: $(cat "$work/build-msi.log")"
done
msi() { winpath "$work/aurevia-$1.msi"; }

shortcut() {  # NAME: the shortcut's path wherever the profile put it (Wine: the user's profile)
    find "$drive_c/users" "$drive_c/ProgramData" -name "$1" -print -quit 2>/dev/null
}

echo "-- install with the site's properties"
echo "[Central]" >"$work/server/central.ini"
echo "report" >"$work/server/Relatorio/RptSystemAdmin.rav"
server=$(winpath "$work/server")
expect_code 0 install-v1.log /i "$(msi 1)" "SERVERFOLDER=$server" DESKTOPSHORTCUT=1
expect_file "$install/Aurevia.EXE" "install"
[ "$(aurevia_exe_version "$install/Aurevia.EXE")" = "$v1" ] || fail "installed launcher is not $v1"
expect_file "$install/Aurevia.ini" "install"
grep -qxF "Local Exe=$server" <(tr -d '\r' <"$install/Aurevia.ini") || fail "Aurevia.ini lacks Local Exe: $(cat "$install/Aurevia.ini")"
grep -q "^url=" "$install/Aurevia.ini" && fail "Aurevia.ini has a url nobody gave"
[ -n "$(shortcut 'Aurevia.lnk')" ] || fail "no Start-menu shortcut"
[ "$(find "$drive_c/users" -name Aurevia.lnk | wc -l)" = 2 ] || fail "no desktop shortcut beside the Start-menu one"
[ -z "$(ls -A "$HOME")" ] || fail "the install wrote outside the prefix: $(ls -A "$HOME")"

echo "-- the installed launcher refreshes the shared files at start-up"
pushd "$install" >/dev/null
wine 'C:\Aurevia\Aurevia.EXE' >/dev/null 2>&1 &
launcher=$!
popd >/dev/null
for _ in $(seq 1 240); do
    [ -f "$install/central.ini" ] && [ -f "$install/Relatorio/RptSystemAdmin.rav" ] && break
    sleep 0.25
done
wine taskkill /f /im Aurevia.EXE >/dev/null 2>&1 || true
wait "$launcher" 2>/dev/null || true
expect_file "$install/central.ini" "start-up refresh"
expect_file "$install/Relatorio/RptSystemAdmin.rav" "start-up refresh"
cp "$install/Aurevia.ini" "$work/Aurevia.ini.before"

echo "-- upgrade without properties keeps the settings and the fetched files"
expect_code 0 upgrade-v2.log /i "$(msi 2)"
[ "$(aurevia_exe_version "$install/Aurevia.EXE")" = "$v2" ] || fail "upgrade did not install $v2"
cmp -s "$install/Aurevia.ini" "$work/Aurevia.ini.before" || fail "upgrade changed Aurevia.ini: $(cat "$install/Aurevia.ini")"
expect_file "$install/central.ini" "upgrade"
expect_file "$install/Relatorio/RptSystemAdmin.rav" "upgrade"
[ "$(find "$drive_c/users" -name Aurevia.lnk | wc -l)" = 2 ] || fail "upgrade lost the desktop shortcut"

echo "-- an older package is refused"
expect_code 1603 downgrade-v1.log /i "$(msi 1)"
[ "$(aurevia_exe_version "$install/Aurevia.EXE")" = "$v2" ] || fail "the refused downgrade changed the launcher"
cmp -s "$install/Aurevia.ini" "$work/Aurevia.ini.before" || fail "the refused downgrade changed Aurevia.ini"

echo "-- an upgrade with properties changes only the values given"
key='ecdsa-p256:BB9MxLuo+k/3Zq0wYHKoZIzj0DAQcDQgAE=='
root=002666bb8e648c45b4f66dcff64efcd1c623115d519e9d8d8bdf04fc892901bd
expect_code 0 upgrade-v3.log /i "$(msi 3)" SERVICEURL=http://srv:8080 "PUBLISHERKEY=$key" RING=piloto FLEETURL=http://frota:8080 \
    "ROOTHASH=$root" DEPLOYMENT=producao
ini=$(tr -d '\r' <"$install/Aurevia.ini")
for line in "Local Exe=$server" "url=http://srv:8080" "Chave Publica=$key" "Anel=piloto" "Raiz=$root" "Implantacao=producao" "[Frota]" "url=http://frota:8080"; do
    grep -qxF "$line" <<<"$ini" || fail "Aurevia.ini lacks '$line': $ini"
done

echo "-- a package of the same first three parts replaces the installed one"
expect_code 0 upgrade-v4.log /i "$(msi 4)"
[ "$(aurevia_exe_version "$install/Aurevia.EXE")" = "$v4" ] || fail "$v4 did not replace $v3"

echo "-- uninstall removes the package's files and keeps the site's settings and the fetched files"
touch "$install/Aurevia.OLD"  # a self-update's leftover
# Had the last package installed beside the one before, that one would keep the files now.
expect_code 0 uninstall-v4.log /x "$(msi 4)"
for f in Aurevia.EXE Aurevia.OLD; do expect_no_file "$install/$f" "uninstall"; done
expect_file "$install/Aurevia.ini" "uninstall"
[ -z "$(shortcut 'Aurevia.lnk')" ] || fail "uninstall left a shortcut: $(shortcut 'Aurevia.lnk')"
expect_file "$install/central.ini" "uninstall"
expect_file "$install/Relatorio/RptSystemAdmin.rav" "uninstall"

echo "-- INSTALLFOLDER chooses another folder, which an upgrade keeps"
other=$drive_c/Programas/Aurevia
expect_code 0 install-folder.log /i "$(msi 3)" 'INSTALLFOLDER=C:\Programas\Aurevia' DESKTOPSHORTCUT=0
expect_file "$other/Aurevia.EXE" "install into INSTALLFOLDER"
[ "$(find "$drive_c/users" -name Aurevia.lnk | wc -l)" = 1 ] || fail "a desktop shortcut nobody asked for"
expect_code 0 upgrade-folder.log /i "$(msi 4)"
[ "$(aurevia_exe_version "$other/Aurevia.EXE")" = "$v4" ] || fail "the upgrade left $other"
expect_no_file "$install/Aurevia.EXE" "install into INSTALLFOLDER"

expect_code 0 uninstall-folder.log /x "$(msi 4)"
expect_no_file "$other/Aurevia.EXE" "uninstall from INSTALLFOLDER"
[ -z "$(ls -A "$HOME")" ] || fail "the packages wrote outside the prefix: $(ls -A "$HOME")"
echo "msi: all checks passed"
