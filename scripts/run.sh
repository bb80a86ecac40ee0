#!/usr/bin/env bash
# Runs the panel against the simulated interface: the device host (the driver on the
# kernel-services layer with the interface model behind serial port 1, its timecode running) and
# VARLOCTL under Wine, whose user-mode MIDI driver reaches the device host over the loopback
# bridge. On the user's display when DISPLAY is set (the run ends when the panel is closed);
# otherwise on a private Xvfb, where a screenshot is saved after a few seconds and the panel is
# then closed. With --monitor the command-line monitor shows the device's traffic instead of the
# panel (Ctrl-C ends it). With --serial PATH the device host drives a real interface on that tty
# (as serial port 1) instead of the model. Everything started here is stopped at the end.
# With --wine-kernel the panel reaches the built VARLO2K.sys running under Wine's own kernel
# instead (winekernel/: a serial port driver with the model; tests/winekernel: the device installed from
# the INF).
#   run.sh [--screenshot FILE] [--seconds N] [--model-version V] [--private] [--monitor]
#          [--port N] [--serial PATH] [--wine-kernel]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

screenshot="$root/build/run/screenshot.png"
seconds=6
version=123
port=0
private=0
monitor=0
inside=0
kernel=0
serial=""
while [ $# -gt 0 ]; do
    case "$1" in
        --screenshot) screenshot=$(realpath -m "$2"); shift 2 ;;
        --seconds) seconds="$2"; shift 2 ;;
        --model-version) version="$2"; shift 2 ;;
        --port) port="$2"; shift 2 ;;
        --private) private=1; shift ;;
        --monitor) monitor=1; shift ;;
        --serial) serial=$(realpath -m "$2"); shift 2 ;;
        --inside) inside=1; shift ;;
        --wine-kernel) kernel=1; shift ;;
        *) echo "usage: run.sh [--screenshot FILE] [--seconds N] [--model-version V] [--private]" \
                "[--monitor] [--port N] [--serial PATH] [--wine-kernel]" >&2
           exit 2 ;;
    esac
done

panel="$root/build/win/panel/VARLOCTL.exe"
driver="$root/build/win/umdrv/winevarlo.drv"
cli="$root/build/host/tools/varlo"

if [ "$inside" -eq 1 ]; then
    # Inside the Wine environment (wine-env.sh): driver installed, panel started, then either
    # waited for (user's display) or photographed and closed (private display).
    if [ "$kernel" -eq 1 ]; then
        # The panel in the kernel run's own prefix, once the device is installed from the INF.
        wk=("$root/tests/winekernel/run.sh" "$root/build/sys" "$root/build/win" "$root/build/run/wk")
        "${wk[@]}" install >"$root/build/run/winekernel.log" 2>&1 ||
            { cat "$root/build/run/winekernel.log" >&2; "${wk[@]}" unload >/dev/null 2>&1; exit 1; }
        trap '"${wk[@]}" unload >>"$root/build/run/winekernel.log" 2>&1' EXIT
        export WINEPREFIX="$root/build/run/wk/prefix"
        "${wk[@]}" show &
    else
        "$root/umdrv/install-wine.sh" "$driver" >/dev/null
        "$root/scripts/wine-run.sh" "$panel" &
    fi
    panel_pid=$!
    if [ "$private" -eq 1 ]; then
        sleep "$seconds"
        mkdir -p "$(dirname "$screenshot")"
        import -window root "$screenshot" && convert "$screenshot" -trim +repage "$screenshot" &&
            echo "screenshot: $screenshot"
        # taskkill without /f sends WM_CLOSE: the panel stores its placement and quits. A
        # "Varlo not found!" box takes the first one, the panel the next.
        for _ in 1 2 3; do
            "$root/scripts/wine-run.sh" taskkill /im VARLOCTL.exe >/dev/null 2>&1 || true
            sleep 1
            kill -0 "$panel_pid" 2>/dev/null || break
        done
    fi
    wait "$panel_pid" || true
    exit 0
fi

scripts/bootstrap.sh # a fresh machine gets its packages first (quiet when all are there)
[ -f build/host/build.ninja ] || scripts/build.sh host >/dev/null
cmake --build build/host --target varlo-devhost varlo >/dev/null 2>&1 ||
    cmake --build build/host --target varlo >/dev/null
if [ "$kernel" -eq 1 ]; then
    scripts/build.sh sys >/dev/null
    [ -f build/win/build.ninja ] || scripts/build.sh win >/dev/null
    cmake --build build/win --target VARLOCTL winevarlo wkclient wkmodel >/dev/null
    mkdir -p build/run
    args=(--inside --wine-kernel --seconds "$seconds" --screenshot "$screenshot")
    if [ -n "${DISPLAY:-}" ] && [ "$private" -eq 0 ]; then
        VARLO_DISPLAY="$DISPLAY" scripts/wine-env.sh build/run/wineprefix "$0" "${args[@]}"
    else
        env -u VARLO_DISPLAY scripts/wine-env.sh build/run/wineprefix "$0" "${args[@]}" --private
    fi
    exit 0
fi
if [ "$monitor" -eq 0 ]; then
    [ -f build/win/build.ninja ] || scripts/build.sh win >/dev/null
    cmake --build build/win --target VARLOCTL winevarlo >/dev/null
fi
devhost=build/host/devhost/varlo-devhost

# The panel in its own Wine environment: on the user's display, or on a private one.
run_panel() {
    local args=(--inside --seconds "$seconds" --screenshot "$screenshot")
    if [ -n "${DISPLAY:-}" ] && [ "$private" -eq 0 ]; then
        VARLO_DISPLAY="$DISPLAY" scripts/wine-env.sh build/run/wineprefix "$0" "${args[@]}"
    else
        env -u VARLO_DISPLAY scripts/wine-env.sh build/run/wineprefix "$0" "${args[@]}" --private
    fi
}

mkdir -p build/run
host_pid=""
monitor_pid=""
stop() {
    trap - INT TERM EXIT
    [ -n "$monitor_pid" ] && kill "$monitor_pid" 2>/dev/null && wait "$monitor_pid" 2>/dev/null
    if [ -n "$host_pid" ]; then
        kill -TERM "$host_pid" 2>/dev/null || true
        wait "$host_pid" 2>/dev/null || true
    fi
    true
}
trap stop INT TERM EXIT

[ -x "$devhost" ] || [ -z "$serial" ] ||
    { echo "run.sh: --serial needs the device host" >&2; exit 1; }
if [ ! -x "$devhost" ] && [ "$monitor" -eq 0 ]; then
    # A tree without the device host: the panel runs on the MIDI driver's in-process loopback and
    # shows no interface.
    echo "run.sh: no device host in this build; the panel runs without an interface" >&2
    export VARLO_UMDRV_CHANNEL=loop
    run_panel
    exit 0
fi

line="1=model:$version"
if [ -n "$serial" ]; then
    [ -e "$serial" ] || { echo "run.sh: no serial device $serial" >&2; exit 1; }
    if [ ! -r "$serial" ] || [ ! -w "$serial" ]; then
        echo "run.sh: no access to $serial; serial devices belong to the group dialout:" \
             "sudo usermod -aG dialout \$USER, then log in again" >&2
        exit 1
    fi
    line="1=tty:$serial"
fi
rm -f build/run/port
"$devhost" --port "$port" --port-file build/run/port --serial "$line" --quiet \
    --exit-with $$ \
    >build/run/devhost.log 2>&1 &
host_pid=$!
for _ in $(seq 100); do
    [ -s build/run/port ] && break
    kill -0 "$host_pid" 2>/dev/null ||
        { echo "run.sh: the device host did not start:" >&2; cat build/run/devhost.log >&2
          exit 1; }
    sleep 0.05
done
port=$(cat build/run/port)
export VARLO_HOST_PORT="$port" VARLO_BRIDGE_PORT="$port"
export VARLO_BRIDGE_TOKEN_FILE="$PWD/build/run/port.token" # the host's access token (0600)
if [ -n "$serial" ]; then
    echo "device host on 127.0.0.1:$port with the interface on $serial (serial port 1)"
else
    echo "device host on 127.0.0.1:$port with the interface model (firmware $version)"
    # The model's timecode runs from 01:00:00:00 at 25 frames, in read mode.
    "$cli" model command locate 1 01:00:00:00 >/dev/null || true
    "$cli" model command mode 1 >/dev/null || true
fi

if [ "$monitor" -eq 1 ]; then
    echo "  VARLO_HOST_PORT=$port $cli play 1 90 3C 40     (a note to output cable 1)"
    [ -n "$serial" ] || echo "  VARLO_HOST_PORT=$port $cli model query"
    "$cli" monitor &
    monitor_pid=$!
    wait "$monitor_pid" || true
    monitor_pid=""
    exit 0
fi

run_panel
