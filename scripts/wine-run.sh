#!/usr/bin/env bash
# wine-run.sh - runs the build's Windows programs under Wine, each build tree with
# its own prefix, home folder and virtual display (all under BUILD/wine/).
#
#   wine-run.sh PROGRAM.exe [ARGS...]   run a program of a build tree (CTest's emulator)
#   wine-run.sh --start BUILD           make the prefix, start the display and wine server
#   wine-run.sh --stop BUILD            end them
#   wine-run.sh --env BUILD             print the environment, for `eval`
#
# SETUP_USE_DISPLAY=1 runs on the caller's $DISPLAY instead of a virtual one.
set -uo pipefail

find_build() {
    local dir
    dir=$(cd "$(dirname "$1")" && pwd)
    while [ "$dir" != / ] && [ ! -f "$dir/CMakeCache.txt" ]; do dir=$(dirname "$dir"); done
    [ -f "$dir/CMakeCache.txt" ] || { echo "wine-run: $1 is not inside a build tree" >&2; exit 2; }
    echo "$dir"
}

set_env() {
    root="$1/wine"
    mkdir -p "$root/home"
    export WINEPREFIX="$root/prefix" HOME="$root/home" WINEDEBUG=-all
    # Entries are separated by ';' (a comma would silently drop the second).
    export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
    export XDG_CACHE_HOME="$root/home/.cache" XDG_CONFIG_HOME="$root/home/.config"
    # One locale whoever runs it: Wine takes its ANSI code page (1252 here) and
    # the encoding of Unix file names from it. Without a UTF-8 locale (a bare
    # root has none set), a file name outside ASCII cannot be created at all.
    export LC_ALL=C.UTF-8
    if [ "${SETUP_USE_DISPLAY:-0}" != 1 ] && [ -f "$root/display" ]; then
        DISPLAY=$(cat "$root/display")
        export DISPLAY
    fi
}

alive() { [ -f "$1" ] && kill -0 "$(cat "$1")" 2>/dev/null; }

start_display() {
    alive "$root/xvfb.pid" && return 0
    local n
    for n in $(seq 90 199); do
        [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ] && continue
        setsid Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp >"$root/xvfb.log" 2>&1 </dev/null &
        echo $! >"$root/xvfb.pid"
        for _ in $(seq 100); do
            [ -e "/tmp/.X11-unix/X$n" ] && { echo ":$n" >"$root/display"; export DISPLAY=":$n"; return 0; }
            kill -0 "$(cat "$root/xvfb.pid")" 2>/dev/null || break
            sleep 0.1
        done
    done
    echo "wine-run: could not start Xvfb (see $root/xvfb.log)" >&2
    exit 1
}

start_prefix() {
    if [ ! -f "$root/prefix.ready" ]; then
        rm -rf "$WINEPREFIX"
        wine wineboot -i >"$root/wineboot.log" 2>&1
        wineserver -w
        # Without a window manager Wine waits about 2 s whenever a top-level
        # window is hidden unless its windows are unmanaged; a crash must end
        # the process instead of opening a dialog that nobody answers.
        wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >>"$root/wineboot.log" 2>&1
        wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >>"$root/wineboot.log" 2>&1
        wineserver -w
        touch "$root/prefix.ready"
    fi
    # A persistent server keeps Wine's services up between programs; its helper
    # processes get a log file, not the first program's output.
    wineserver -p >>"$root/wineserver.log" 2>&1 </dev/null
    wine cmd /c exit >>"$root/wineserver.log" 2>&1 </dev/null
}

start_all() {
    exec 9>"$root/lock"
    flock 9
    [ "${SETUP_USE_DISPLAY:-0}" = 1 ] || start_display
    start_prefix
    flock -u 9
}

stop_all() {
    wineserver -k 2>/dev/null
    if alive "$root/xvfb.pid"; then kill "$(cat "$root/xvfb.pid")"; fi
    rm -f "$root/xvfb.pid" "$root/display"
}

case "${1:-}" in
--start) set_env "$(cd "$2" && pwd)"; start_all ;;
--stop)  set_env "$(cd "$2" && pwd)"; stop_all ;;
--env)   set_env "$(cd "$2" && pwd)"
         for v in WINEPREFIX HOME WINEDEBUG WINEDLLOVERRIDES XDG_CACHE_HOME XDG_CONFIG_HOME LC_ALL DISPLAY; do
             printf 'export %s=%q\n' "$v" "${!v:-}"
         done ;;
""|-*)   sed -n '2,11p' "$0" >&2; exit 2 ;;
*)
    build=$(find_build "$1") || exit 2
    set_env "$build"
    if { [ "${SETUP_USE_DISPLAY:-0}" != 1 ] && ! alive "$root/xvfb.pid"; } || [ ! -f "$root/prefix.ready" ]; then
        start_all
    fi
    # Wine's helper processes may inherit and keep the output open, so a reader
    # waiting for its end would hang: collect it in a file instead.
    out=$(mktemp "$root/out.XXXXXX")
    wine "$@" >"$out" 2>&1 </dev/null
    rc=$?
    cat "$out"
    rm -f "$out"
    exit $rc ;;
esac
