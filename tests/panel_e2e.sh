#!/usr/bin/env bash
# The panel end to end (run by ctest inside the Wine environment): starts the device host with the
# interface model (firmware VERSION), sets the model's timecode running from 01:00:00:00, runs the
# panel's end-to-end program under Wine, then checks what reached the model and that the panel
# left the device. Exit 77 (skipped) when the tree has no device host.
#   panel_e2e.sh DEVHOST CLI TEST_EXE VERSION
set -euo pipefail
devhost=$1 cli=$2 exe=$3 version=$4
here=$(cd "$(dirname "$0")/.." && pwd)
[ -x "$devhost" ] && [ -x "$cli" ] || { echo "no device host built: skipped"; exit 77; }

work=$(mktemp -d)
host_pid=""
stop() {
    [ -n "$host_pid" ] && kill -TERM "$host_pid" 2>/dev/null && wait "$host_pid" 2>/dev/null
    rm -rf "$work"
}
trap stop EXIT

"$devhost" --port 0 --port-file "$work/port" --serial "1=model:$version" --quiet \
    --exit-with $$ \
    >"$work/devhost.log" 2>&1 &
host_pid=$!
for _ in $(seq 100); do
    [ -s "$work/port" ] && break
    kill -0 "$host_pid" 2>/dev/null || { cat "$work/devhost.log"; exit 1; }
    sleep 0.05
done
export VARLO_HOST_PORT=$(cat "$work/port") VARLO_BRIDGE_PORT=$(cat "$work/port")
export VARLO_BRIDGE_TOKEN_FILE="$work/port.token"
"$cli" model command locate 1 01:00:00:00 >/dev/null
"$cli" model command mode 1 >/dev/null

export VARLO_E2E_INTERFACE="Varlo 1/2 V$version" VARLO_E2E_START="02:03:04:05"
"$here/scripts/wine-run.sh" "$exe" --gtest_brief=1

# What reached the model: MTC/LTC mode, the start time (set-state or MMC locate by firmware).
report=$("$cli" model query)
fail=0
expect() {
    grep -qx "$1" <<<"$report" || { echo "model: expected '$1'"; fail=1; }
}
expect "ltc-mode 4"
expect "timecode 02:03:04:05"
expect "running 0"
# The panel closed its handles: only this query's own remains. Wine closes a finished process's
# sockets a little later, so the device host may still see the panel's connection for a moment.
for _ in $(seq 20); do
    clients=$("$cli" clients 2>&1) || true
    [ "$clients" = "clients 1" ] && break
    echo "device, shortly after the panel closed: $clients"
    sleep 0.25
done
[ "$clients" = "clients 1" ] || { echo "device: $clients after the panel closed"; fail=1; }
[ "$fail" -eq 0 ] || { echo "$report"; cat "$work/devhost.log"; exit 1; }
echo "model and device as expected (firmware $version)"
