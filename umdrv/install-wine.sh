#!/usr/bin/env bash
# Installs the user-mode MIDI driver into the Wine prefix named by WINEPREFIX and makes Wine's
# multimedia layer load it (HKCU\Software\Wine\Drivers "Audio" = "varlo"). With a port, also
# points the driver at the device host's bridge on 127.0.0.1:PORT for every program of the prefix,
# and with TOKEN_FILE at the host's access token (the file's name is stored, not the token).
#   install-wine.sh path/to/winevarlo.drv [PORT [TOKEN_FILE]]
set -euo pipefail
: "${WINEPREFIX:?WINEPREFIX must name the prefix}"
here=$(cd "$(dirname "$0")/.." && pwd)
"$here/scripts/wine-run.sh" cmd /c exit >/dev/null 2>&1 </dev/null || true
system32="$WINEPREFIX/drive_c/windows/system32"
mkdir -p "$system32"
cp -f "$1" "$system32/winevarlo.drv"
if ! grep -qs '"Audio"="varlo"' "$WINEPREFIX/user.reg"; then
    "$here/scripts/wine-run.sh" reg add 'HKCU\Software\Wine\Drivers' /v Audio /d varlo /f \
        >/dev/null 2>&1 </dev/null
fi
if [ -n "${2:-}" ]; then
    "$here/scripts/wine-run.sh" reg add 'HKCU\Software\Korvane\VarloMidi' /v BridgePort \
        /t REG_DWORD /d "$2" /f >/dev/null 2>&1 </dev/null
fi
if [ -n "${3:-}" ]; then
    "$here/scripts/wine-run.sh" reg add 'HKCU\Software\Korvane\VarloMidi' /v BridgeTokenFile \
        /d "$(realpath "$3")" /f >/dev/null 2>&1 </dev/null
fi
echo "winevarlo.drv installed in $system32"
