#!/usr/bin/env bash
# Runs the panel against the simulated interface: the device host (the driver on the
# kernel-services layer with the interface model behind serial port 1) and VARLOCTL under Wine,
# whose user-mode MIDI driver reaches the device host over the loopback bridge. On the user's
# display when DISPLAY is set (the run ends when the panel is closed); otherwise on a private Xvfb,
# where a screenshot is saved after a few seconds and the panel is then closed. Everything started
# here is stopped when the panel ends.
#   run.sh [--screenshot FILE] [--seconds N] [--model-version V] [--private]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

screenshot="$root/build/run/screenshot.png"
seconds=6
version=123
private=0
inside=0
while [ $# -gt 0 ]; do
    case "$1" in
        --screenshot) screenshot=$(realpath -m "$2"); shift 2 ;;
        --seconds) seconds="$2"; shift 2 ;;
        --model-version) version="$2"; shift 2 ;;
        --private) private=1; shift ;;
        --inside) inside=1; shift ;;
        *) echo "usage: run.sh [--screenshot FILE] [--seconds N] [--model-version V] [--private]" >&2
           exit 2 ;;
    esac
done

panel="$root/build/win/panel/VARLOCTL.exe"
driver="$root/build/win/umdrv/winevarlo.drv"

if [ "$inside" -eq 1 ]; then
    # Inside the Wine environment (wine-env.sh): driver installed, panel started, then either
    # waited for (user's display) or photographed and closed (private display).
    "$root/umdrv/install-wine.sh" "$driver" >/dev/null
    "$root/scripts/wine-run.sh" "$panel" &
    panel_pid=$!
    if [ "$private" -eq 1 ]; then
        sleep "$seconds"
        mkdir -p "$(dirname "$screenshot")"
        import -window root "$screenshot" && convert "$screenshot" -trim +repage "$screenshot" &&
            echo "screenshot: $screenshot"
        # taskkill without /f sends WM_CLOSE: the panel stores its placement and quits.
        "$root/scripts/wine-run.sh" taskkill /im VARLOCTL.exe >/dev/null 2>&1 || true
    fi
    wait "$panel_pid" || true
    exit 0
fi

[ -f "$panel" ] && [ -f "$driver" ] || scripts/build.sh win
devhost=$(find build/host -name varlo-devhost -type f -perm -u+x 2>/dev/null | head -1)
if [ -z "$devhost" ]; then
    scripts/build.sh host
    devhost=$(find build/host -name varlo-devhost -type f -perm -u+x 2>/dev/null | head -1)
fi

mkdir -p build/run
host_pid=""
cleanup() { [ -n "$host_pid" ] && kill "$host_pid" 2>/dev/null && wait "$host_pid" 2>/dev/null; true; }
trap cleanup EXIT

if [ -n "$devhost" ]; then
    rm -f build/run/port
    "$devhost" --port 0 --port-file build/run/port --serial "1=model:$version" --quiet \
        >build/run/devhost.log 2>&1 &
    host_pid=$!
    for _ in $(seq 100); do [ -s build/run/port ] && break; sleep 0.1; done
    [ -s build/run/port ] || { echo "run.sh: the device host did not start (build/run/devhost.log)" >&2; exit 1; }
    export VARLO_BRIDGE_PORT=$(cat build/run/port)
    echo "device host on 127.0.0.1:$VARLO_BRIDGE_PORT with the interface model (firmware $version)"
else
    # No device host in this build: the panel runs on the driver's in-process loopback and shows
    # no interface.
    echo "run.sh: no device host built; the panel runs without an interface" >&2
    export VARLO_UMDRV_CHANNEL=loop
fi

args=(--inside --seconds "$seconds" --screenshot "$screenshot")
if [ -n "${DISPLAY:-}" ] && [ "$private" -eq 0 ]; then
    VARLO_DISPLAY="$DISPLAY" scripts/wine-env.sh build/run/wineprefix "$0" "${args[@]}"
else
    env -u VARLO_DISPLAY scripts/wine-env.sh build/run/wineprefix "$0" "${args[@]}" --private
fi
