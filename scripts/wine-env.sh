# Sourced by the scripts that run Windows programs: one Wine prefix per tree and a display for it.
#   AUREVIA_WINEPREFIX  prefix to use (default: <repo>/build/wineprefix)
#   AUREVIA_HEADLESS=1  always use a private Xvfb, even when DISPLAY is set (the tests do)
# A wineserver stays tied to the first display it used, so the display chosen for a prefix is
# remembered beside it and reused while that X server lives.

aurevia_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export WINEPREFIX=${AUREVIA_WINEPREFIX:-$aurevia_root/build/wineprefix}
mkdir -p "$(dirname "$WINEPREFIX")"
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
export WINEARCH=win64

aurevia_start_xvfb() {
    local n
    for n in $(seq 90 190); do
        [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ] && continue
        setsid Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp -ac >/dev/null 2>&1 </dev/null 8>&- 9>&- &
        local pid=$!
        for _ in $(seq 1 100); do
            [ -e "/tmp/.X11-unix/X$n" ] && break
            sleep 0.05
        done
        if [ -e "/tmp/.X11-unix/X$n" ] && kill -0 "$pid" 2>/dev/null; then
            echo ":$n $pid" >"$WINEPREFIX.display"
            export DISPLAY=":$n"
            return 0
        fi
    done
    echo "wine-env: could not start Xvfb" >&2
    return 1
}

aurevia_ensure_display() {
    if [ -f "$WINEPREFIX.display" ]; then
        local d pid
        read -r d pid <"$WINEPREFIX.display"
        if [ "$pid" = "user" ] || kill -0 "$pid" 2>/dev/null; then
            export DISPLAY="$d"
            return 0
        fi
        WINEPREFIX="$WINEPREFIX" wineserver -k 2>/dev/null || true
        rm -f "$WINEPREFIX.display"
    fi
    if [ -n "${DISPLAY:-}" ] && [ "${AUREVIA_HEADLESS:-0}" != 1 ]; then
        echo "$DISPLAY user" >"$WINEPREFIX.display"
        return 0
    fi
    aurevia_start_xvfb
}

aurevia_ensure_prefix() {
    [ -f "$WINEPREFIX/.aurevia-ready" ] && return 0
    mkdir -p "$(dirname "$WINEPREFIX")"
    (
        flock 9
        [ -f "$WINEPREFIX/.aurevia-ready" ] && exit 0
        wineboot -i >/dev/null 2>&1 9>&- || true
        # Without a window manager, unmanaged windows close at once instead of after ~2 s.
        wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1 9>&- || true
        wineserver -w 9>&-
        touch "$WINEPREFIX/.aurevia-ready"
    ) 9>"$WINEPREFIX.lock"
}

# The first Wine program of a prefix starts its wineserver and system processes (services.exe,
# explorer.exe, winedevice.exe, rpcss.exe ...), which inherit that program's output and hold it open
# for as long as the server lives. ctest waits for the end of a test's output, so a test that boots
# the prefix while another Wine test runs beside it seemed to run until that other one ended. When
# the prefix's system processes are not running, they are started here with no one's output.
aurevia_prefix_running() {
    local p
    for p in $(pgrep -f 'system32\\services\.exe' 2>/dev/null); do
        tr '\0' '\n' <"/proc/$p/environ" 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX" && return 0
    done
    return 1
}

aurevia_boot_prefix_detached() {
    aurevia_prefix_running || wineboot </dev/null >/dev/null 2>&1 8>&- 9>&- || true
}

# Ends the prefix's Wine processes and its private Xvfb, if we started one.
aurevia_stop_wine() {
    WINEPREFIX="$WINEPREFIX" wineserver -k 2>/dev/null || true
    if [ -f "$WINEPREFIX.display" ]; then
        local d pid
        read -r d pid <"$WINEPREFIX.display"
        [ "$pid" != "user" ] && kill "$pid" 2>/dev/null || true
        rm -f "$WINEPREFIX.display"
    fi
}
