#!/usr/bin/env bash
# The file service's Debian package on this machine: what it holds, its unit under systemd's own
# checks, dpkg -i, the service started from the installed files as the package's user with the
# packaged settings (as the unit starts it) answering a listing and a download, then dpkg -r and
# purge, which keep the served folder.
#   deb_test.sh BUILT_AUREVIA-FILESERVICE WORK_FOLDER
# It installs a package, so it needs root; otherwise it is skipped (exit 77).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../../../.." && pwd)
. "$root/scripts/version.sh"
binary=$1 work=$2
name=aurevia-fileservice

if [ "$(id -u)" != 0 ]; then
    echo "deb: installing a package needs root; skipped"
    exit 77
fi
# Test runs of several checkouts on one machine take turns.
exec 9>/var/lock/aurevia-deb-test.lock
flock -w 900 9
if dpkg-query -W -f='${Status}' $name 2>/dev/null | grep -q 'ok installed'; then
    echo "deb: $name is installed on this machine; skipped rather than replace it"
    exit 77
fi

fail() {
    echo "FAIL: $*"
    exit 1
}
# dpkg waits for nobody: another apt or dpkg on the machine makes it fail at once.
dpkg_locked() {
    for _ in $(seq 1 120); do
        if dpkg "$@" >"$work/dpkg.log" 2>&1; then return 0; fi
        grep -qi 'lock' "$work/dpkg.log" || { cat "$work/dpkg.log"; return 1; }
        sleep 2
    done
    cat "$work/dpkg.log"
    return 1
}

rm -rf "$work"
mkdir -p "$work"
served=$(mktemp -d /tmp/aurevia-deb-served.XXXXXX)
chmod 755 "$served"
service_pid=
srv_existed=$([ -e /srv/aurevia ] && echo yes || echo no)
cleanup() {
    if [ -n "$service_pid" ]; then kill "$service_pid" 2>/dev/null || true; fi
    if dpkg-query -W -f='${Status}' $name 2>/dev/null | grep -q 'installed'; then
        dpkg_locked --purge $name || true
    fi
    rm -rf "$served"
    # The package keeps the folder it made; the test leaves the machine as it found it.
    if [ "$srv_existed" = no ]; then rmdir /srv/aurevia 2>/dev/null || true; fi
}
trap cleanup EXIT

version=$(aurevia_deb_version "$(aurevia_version)")
deb=$("$root/deploy/debian/build-deb" "$binary" "$work")
[ "$(basename "$deb")" = "${name}_${version}_amd64.deb" ] || fail "package named $(basename "$deb")"

echo "-- what the package holds"
for field in Package:$name Version:$version Architecture:amd64; do
    [ "$(dpkg-deb --field "$deb" "${field%%:*}")" = "${field#*:}" ] || fail "control field ${field%%:*} is not ${field#*:}"
done
dpkg-deb --field "$deb" Depends | grep -qw adduser || fail "no dependency on adduser"
contents=$(dpkg-deb --contents "$deb")
for entry in '-rwxr-xr-x root/root .* ./usr/bin/aurevia-fileservice$' \
    '-rwxr-xr-x root/root .* ./usr/libexec/aurevia-fileservice/start$' \
    '-rw-r--r-- root/root .* ./lib/systemd/system/aurevia-fileservice.service$' \
    '-rw-r--r-- root/root .* ./etc/default/aurevia-fileservice$'; do
    grep -qE -- "$entry" <<<"$contents" || fail "contents lack $entry"
done
grep -vq 'root/root' <<<"$contents" && fail "files not owned by root: $(grep -v root/root <<<"$contents")"
dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./conffiles | grep -qx /etc/default/$name || fail "settings are not a conffile"

echo "-- dpkg -i"
dpkg_locked -i "$deb" || fail "dpkg -i failed"
getent passwd $name >/dev/null || fail "no user $name"
[ "$(getent passwd $name | cut -d: -f3)" -lt 1000 ] || fail "user $name is not a system user"
[ -d /srv/aurevia ] || fail "no default folder /srv/aurevia"
if command -v systemd-analyze >/dev/null; then
    unit=/lib/systemd/system/$name.service
    systemd-analyze verify "$unit" || fail "systemd-analyze verify"
    # Exposure 0 (locked down) to 10 (unprotected): the unit stays well locked down.
    systemd-analyze security --offline=true --threshold=20 "$unit" >"$work/security.txt" 2>&1 ||
        fail "unit exposure too high: $(tail -n 1 "$work/security.txt")"
fi

echo "-- the installed service with the packaged settings answers"
mkdir -p "$served/Relatorio"
echo "module" >"$served/Modulo.exe"
echo "report" >"$served/Relatorio/Rpt.rav"
# A served folder's files are settled long before the service starts; the service holds back files
# changed within its settle time.
touch -d '1 hour ago' "$served/Modulo.exe" "$served/Relatorio/Rpt.rav"
chmod -R a+rX "$served"
chown $name "$served"  # only for the port file that OPTIONS asks for
for _ in 1 2 3 4 5; do
    port=$((20000 + RANDOM % 40000))
    # What an administrator does: edit the settings. Then start the service the way the unit
    # does: the settings as environment, the package's start script, the package's user.
    sed -i -e "s|^FOLDER=.*|FOLDER=$served|" -e "s|^ADDRESS=.*|ADDRESS=127.0.0.1|" -e "s|^PORT=.*|PORT=$port|" \
        -e "s|^OPTIONS=.*|OPTIONS=--port-file $served/.port|" /etc/default/$name
    # EnvironmentFile= takes each KEY=value line whole, blanks included (a shell would not).
    runuser -u $name -- env -i sh -c "while IFS= read -r line; do case \"\$line\" in ''|'#'*) ;;
        *) export \"\$line\" ;; esac; done </etc/default/$name; exec /usr/libexec/$name/start" \
        >"$work/service.log" 2>&1 &
    service_pid=$!
    for _ in $(seq 1 100); do
        curl -fsS -o /dev/null "http://127.0.0.1:$port/folderlist?folder=%5C&mask=*.*&recursive=" 2>/dev/null && break 2
        kill -0 "$service_pid" 2>/dev/null || break
        sleep 0.1
    done
    kill "$service_pid" 2>/dev/null || true
    wait "$service_pid" 2>/dev/null || true
    service_pid=
done
[ -n "$service_pid" ] || fail "the service did not answer: $(cat "$work/service.log")"
listing=$(curl -fsS "http://127.0.0.1:$port/folderlist?folder=%5C&mask=*.*&recursive=")
for f in '"Modulo.exe"' '"Relatorio\\Rpt.rav"'; do
    grep -qF "$f" <<<"$listing" || fail "listing lacks $f: $listing"
done
[ "$(curl -fsS "http://127.0.0.1:$port/download?file=Relatorio%5CRpt.rav")" = report ] || fail "download"
[ "$(cat "$served/.port" 2>/dev/null)" = "$port" ] || fail "OPTIONS did not reach the service"
service_uid=$(ps -o uid= -p "$(pgrep -P "$service_pid" | head -n 1)" | tr -d ' ')
[ "$service_uid" = "$(id -u $name)" ] || fail "the service runs as uid $service_uid, not as $name"
kill "$service_pid"
wait "$service_pid" 2>/dev/null || true
service_pid=

echo "-- dpkg -r keeps the settings and the folders; purge keeps the folders"
dpkg_locked -r $name || fail "dpkg -r failed"
[ ! -e /usr/bin/aurevia-fileservice ] || fail "dpkg -r left the binary"
grep -qx "FOLDER=$served" /etc/default/$name || fail "dpkg -r did not keep the edited settings"
[ -f "$served/Modulo.exe" ] && [ -f "$served/Relatorio/Rpt.rav" ] || fail "dpkg -r touched the served folder"
dpkg_locked --purge $name || fail "dpkg --purge failed"
[ ! -e /etc/default/$name ] || fail "purge left the settings"
[ -f "$served/Modulo.exe" ] && [ -f "$served/Relatorio/Rpt.rav" ] || fail "purge touched the served folder"
[ -d /srv/aurevia ] || fail "purge removed /srv/aurevia, which the package had made"
getent passwd $name >/dev/null && fail "purge left the user $name"
echo "deb: all checks passed"
