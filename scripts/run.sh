#!/usr/bin/env bash
# Runs the device host with the interface model on serial port 1 and shows the live traffic the
# driver delivers to a client (the command-line monitor). The model's timecode unit is started
# so that MTC quarter frames flow. Ctrl-C (or SIGTERM) stops everything cleanly.
#   run.sh [--port N] [devhost options...]
set -euo pipefail
cd "$(dirname "$0")/.."
port=5741
if [ "${1:-}" = "--port" ]; then port="$2"; shift 2; fi

[ -f build/host/build.ninja ] || scripts/build.sh host >/dev/null
cmake --build build/host --target varlo-devhost varlo >/dev/null
devhost=build/host/devhost/varlo-devhost
cli=build/host/tools/varlo

portfile=$(mktemp)
host_pid=""
monitor_pid=""
stop() {
    trap - INT TERM EXIT
    [ -n "$monitor_pid" ] && kill "$monitor_pid" 2>/dev/null && wait "$monitor_pid" 2>/dev/null
    if [ -n "$host_pid" ]; then
        kill -TERM "$host_pid" 2>/dev/null || true
        wait "$host_pid" 2>/dev/null || true
    fi
    rm -f "$portfile"
}
trap stop INT TERM EXIT

args=("$@")
[ ${#args[@]} -gt 0 ] || args=(--serial 1=model)
"$devhost" --port "$port" --port-file "$portfile" "${args[@]}" &
host_pid=$!
for _ in $(seq 100); do
    [ -s "$portfile" ] && break
    kill -0 "$host_pid" 2>/dev/null || { echo "run.sh: the device host did not start" >&2; exit 1; }
    sleep 0.05
done
port=$(cat "$portfile")
export VARLO_HOST_PORT="$port"
echo "device host on 127.0.0.1:$port; try in another shell:"
echo "  VARLO_HOST_PORT=$port $cli play 1 90 3C 40     (a note to output cable 1)"
echo "  VARLO_HOST_PORT=$port $cli model query"
"$cli" model command locate 1 01:00:00:00 >/dev/null || true
"$cli" model command mode 1 >/dev/null || true
"$cli" monitor &
monitor_pid=$!
wait "$monitor_pid" || true
monitor_pid=""
