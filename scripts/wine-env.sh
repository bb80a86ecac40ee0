#!/usr/bin/env bash
# Runs a command with a Wine environment for a whole run: a private Xvfb display (unless
# VARLO_DISPLAY names one to use), the prefix made, and one persistent wineserver whose output goes
# to a log, so that no test waits for its linger. Everything started here is stopped at the end.
#   wine-env.sh PREFIX COMMAND [ARGS...]
set -euo pipefail
prefix=$(realpath -m "$1"); shift
export WINEPREFIX="$prefix" WINEDEBUG="${WINEDEBUG:--all}" WINEARCH=win64
export VARLO_WINE_ENV="$prefix" # tests started from here may run (scripts/wine-run.sh)
export WINELOADER=/usr/lib/wine/wine64
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$(dirname "$prefix")"
log="$prefix.log"

xvfb_pid=""
cleanup() {
    wineserver -k >/dev/null 2>&1 || true
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
}
trap cleanup EXIT

if [ -n "${VARLO_DISPLAY:-}" ]; then
    export DISPLAY="$VARLO_DISPLAY"
else
    # A free display number (runs side by side start at different numbers); 8-bit depth when
    # asked for (palette displays).
    depth="${VARLO_XVFB_DEPTH:-24}"
    first=$((90 + $$ % 100))
    for n in $(seq "$first" 199) $(seq 90 "$first"); do
        [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] && continue
        Xvfb ":$n" -screen 0 "1024x768x$depth" -nolisten tcp >"$log.xvfb" 2>&1 &
        xvfb_pid=$!
        for _ in $(seq 50); do
            [ -e "/tmp/.X11-unix/X$n" ] && break
            sleep 0.1
        done
        export DISPLAY=":$n"
        break
    done
fi

mkdir -p "$prefix"
wineserver -p >>"$log" 2>&1 </dev/null
# Makes the prefix on first use; the services it starts keep their output in the log.
"$here/wine-run.sh" cmd /c exit >>"$log" 2>&1 </dev/null || true
"$@"
