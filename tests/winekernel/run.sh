#!/usr/bin/env bash
# Test equipment: the shipped binaries on Wine's kernel (README.md here). Runs inside a Wine
# environment (scripts/wine-env.sh gives the display); uses a prefix of its own, copied from a
# cached clean one, with its own persistent wineserver from `install` to `unload`.
#   run.sh SYS_TREE WIN_TREE WORK_DIR install   prefix, files, services, the device from the INF
#   run.sh SYS_TREE WIN_TREE WORK_DIR device    wkclient device (the driver's device requests)
#   run.sh SYS_TREE WIN_TREE WORK_DIR panel     the panel end to end through the device channel
#   run.sh SYS_TREE WIN_TREE WORK_DIR show      VARLOCTL.exe (scripts/run.sh --wine-kernel)
#   run.sh SYS_TREE WIN_TREE WORK_DIR unload    VARLO2K stopped, nothing left; wineserver ended
# Exit 77 (skipped) when a tree lacks what the run needs.
set -euo pipefail
sys=$(realpath -m "$1") win=$(realpath -m "$2") work=$(realpath -m "$3") step=$4
root=$(cd "$(dirname "$0")/../.." && pwd)
export WINEPREFIX="$work/prefix" WINEDEBUG="${WINEDEBUG:--all}" WINEARCH=win64
export WINELOADER=/usr/lib/wine/wine64
unset VARLO_BRIDGE_PORT VARLO_UMDRV_CHANNEL VARLO_UMDRV_INPUTS VARLO_UMDRV_OUTPUTS
log="$work/wine.log"
wine() { "$root/scripts/wine-run.sh" "$@"; }
client() { wine "$win/tests/winekernel/wkclient.exe" "$@" </dev/null; }

needed=("$sys/driver/VARLO2K.sys" "$sys/winekernel/wkshim64.dll"
        "$sys/winekernel/wkserial.sys" "$sys/winekernel/stage/VARLO2K.sys"
        "$win/winekernel/wkmodel.dll" "$win/tests/winekernel/wkclient.exe"
        "$win/umdrv/winevarlo.drv")
for f in "${needed[@]}"; do
    [ -f "$f" ] || { echo "run.sh: $f not built: skipped"; exit 77; }
done

mkdir -p "$work"
case "$step" in
install)
    # A clean prefix made once and kept; each run starts from a copy of it.
    clean="$work/clean-prefix"
    if [ ! -f "$clean/.varlo-ready" ]; then
        rm -rf "$clean"
        WINEPREFIX="$clean" "$root/scripts/wine-run.sh" cmd /c exit >>"$log" 2>&1 </dev/null || true
        WINEPREFIX="$clean" wineserver -w
    fi
    WINEPREFIX="$WINEPREFIX" wineserver -k 2>/dev/null || true
    rm -rf "$WINEPREFIX"
    cp -a "$clean" "$WINEPREFIX"
    # Its wineserver and the services it starts write to the log, not to the caller's pipe.
    wineserver -p >>"$log" 2>&1 </dev/null
    wine cmd /c exit >>"$log" 2>&1 </dev/null || true

    python3 "$root/winekernel/peimage.py" check "$sys/driver/VARLO2K.sys" \
        "$sys/winekernel/stage/VARLO2K.sys" ntoskrnl.exe wkshim64.dll
    system32="$WINEPREFIX/drive_c/windows/system32"
    cp "$sys/winekernel/wkshim64.dll" "$win/winekernel/wkmodel.dll" "$system32/"
    cp "$sys/winekernel/wkserial.sys" "$system32/drivers/"
    mkdir -p "$WINEPREFIX/drive_c/varlo"
    cp "$sys/winekernel/stage/VARLO2K.sys" "$sys/winekernel/stage/VARLO2K.inf" \
        "$WINEPREFIX/drive_c/varlo/"
    "$root/umdrv/install-wine.sh" "$win/umdrv/winevarlo.drv" >/dev/null
    client install 'C:\varlo'
    ;;
device)
    client device
    # A client that vanishes with the device open and a read waiting: the port is still closed
    # with the closing sequence.
    client model clear >/dev/null
    "$root/scripts/wine-run.sh" "$win/tests/winekernel/wkclient.exe" hold </dev/null \
        >"$work/hold.log" 2>&1 &
    holder=$!
    for _ in $(seq 300); do grep -qs holding "$work/hold.log" && break; sleep 0.1; done
    grep -qs holding "$work/hold.log" || { echo "FAIL: the holding client did not open"; exit 1; }
    kill -9 "$holder"
    wait "$holder" 2>/dev/null || true
    for _ in $(seq 50); do
        port=$(client model port | tr -d "\r")
        grep -qx "opens 0" <<<"$port" && break
        sleep 0.1
    done
    line=$(client model line | tr -d "\r")
    if ! grep -qx "opens 0" <<<"$port" || [[ "$line" != *"F5 00 B0 7B 00"*"BF 7B 00 F0 63 60 10 7F F7" ]]; then
        echo "FAIL: after a client was killed: port and line:"; echo "$port"; echo "$line"
        exit 1
    fi
    echo "a killed client's open ended with the closing sequence"
    ;;
panel)
    # The model's timecode runs from 01:00:00:00 at 25 frames; the panel shows it, switches the
    # unit to MTC/LTC and locates to the start time through winmm, the MIDI driver's device
    # channel, VARLO2K.sys and the serial port.
    client model locate 1 01:00:00:00 >/dev/null
    client model mode 1 >/dev/null
    VARLO_E2E_INTERFACE="Varlo 1/2 V123" VARLO_E2E_START="02:03:04:05" \
        wine "$win/tests/panel_e2e_test.exe" --gtest_brief=1 </dev/null
    report=$(client model query | tr -d "\r")
    port=$(client model port | tr -d "\r")
    fail=0
    for line in "ltc-mode 4" "timecode 02:03:04:05" "running 0" "computer-mode 0"; do
        grep -qx "$line" <<<"$report" || { echo "model: expected '$line'"; fail=1; }
    done
    grep -qx "opens 0" <<<"$port" || { echo "serial port: still open after the panel"; fail=1; }
    [ "$fail" -eq 0 ] || { echo "$report"; echo "$port"; exit 1; }
    echo "model as expected after the panel: MTC/LTC mode, located to 02:03:04:05, port closed"
    ;;
show)
    client model locate 1 01:00:00:00 >/dev/null
    client model mode 1 >/dev/null
    exec "$root/scripts/wine-run.sh" "$win/panel/VARLOCTL.exe"
    ;;
unload)
    status=0
    client unload || status=1
    wineserver -k 2>/dev/null || true
    exit "$status"
    ;;
*)
    echo "usage: run.sh SYS_TREE WIN_TREE WORK_DIR install|device|panel|show|unload" >&2
    exit 2
    ;;
esac
