#!/usr/bin/env bash
# The installer's round trip in a fresh Wine prefix (its own wineserver, on the caller's DISPLAY):
# signatures verified against the build's test certificate; a silent install; files and registry
# values where Windows wants them; the panel started from the Start-menu entry's target; the
# installed driver, MIDI driver and panel on Wine's kernel; a silent uninstall over the running
# driver and the open panel that, after a restart, leaves the prefix's files and registry as they
# were, a foreign MIDI driver's registration included.
#   installer_test.sh PACKAGE_DIR CLEAN_PREFIX (made on first use, then copied for each run)
set -euo pipefail
package=$(realpath "$1") clean=$(realpath -m "$2")
export WINEARCH=win64 WINEDEBUG=-all WINELOADER=/usr/lib/wine/wine64
# No desktop menu entries for the Start-menu entry: they would land in the Unix user's home. No
# crash debugger: Wine 8's kernel starts the installed driver, whose entry fails there without
# the shim of winekernel/; Wine's device host has been seen to fault once after
# that (the fault is still printed), and the debugger would leave its key in the registry.
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d;winedbg.exe=d"
wine=/usr/lib/wine/wine64
fail() { echo "FAIL: $*"; cat "${work:-/nonexistent}"/*.log 2>/dev/null || true; exit 1; }

# Signatures, each checked against the test certificate.
verify() { # FILE
    local log="$package/verify.log"
    osslsigncode verify -CAfile "$package/signing/VarloTest.pem" -in "$1" >"$log" 2>&1 ||
        { cat "$log"; fail "signature of $1"; }
}
for f in VARLO2K.sys varlomid.drv VARLOCTL.exe varlosetup.exe ../VarloSetup.exe; do
    verify "$package/Varlo/$f"
done
cmp -s <(openssl x509 -in "$package/Varlo/VarloTest.cer" -inform DER) \
    <(openssl x509 -in "$package/signing/VarloTest.pem") || fail "shipped certificate"
! grep -qi catalogfile "$package/Varlo/VARLO2K.inf" || fail "the INF names a catalog"

# A clean prefix, made once; each run works on a copy (system files linked, registry copied).
if [ ! -f "$clean/.clean" ]; then
    rm -rf "$clean" && mkdir -p "$clean"
    # Made, then started once more: the first session after the making still writes a little.
    for command in "wineboot -i" "cmd /c exit"; do
        WINEPREFIX="$clean" "$wine" $command >/dev/null 2>&1 </dev/null
        WINEPREFIX="$clean" wineserver -w
    done
    touch "$clean/.clean"
fi
work=$(mktemp -d)
export WINEPREFIX="$work/prefix"
trap 'wineserver -k 2>/dev/null || true; rm -rf "$work"' EXIT
cp -al "$clean" "$WINEPREFIX"
for r in system.reg user.reg userdef.reg; do
    rm "$WINEPREFIX/$r" && cp "$clean/$r" "$WINEPREFIX/$r"
done
c="$WINEPREFIX/drive_c"

# Files and registry (keys with their values; no time stamps) once the wineserver has ended.
# Left out, as Wine's own: the display adapter's driver date (stamped every session), the display
# and monitor class keys (Wine's display devices, rewritten once a driver service has started),
# the console defaults and the audio endpoint lists (written when the first console or multimedia
# program runs). Left out, as what every uninstaller of this kind leaves until the next restart:
# the deletion of its own temporary copy.
snapshot() { # NAME
    wineserver -w
    (cd "$c" && find . -path './users/*/Temp' -prune -o -path './windows/temp' -prune -o -print |
        sort) >"$work/$1.files"
    python3 - "$WINEPREFIX" >"$work/$1.reg" <<'EOF'
import re, sys
wine_own = re.compile(r"user.reg:\[Console\]|.*MMDevices\\\\Audio|.*Class\\\\\{4D36E96[8E]-")
pending = '"PendingFileRenameOperations"=str(7):'
def temporary_copy(line):  # only the uninstaller's own copy in the temporary folder
    paths = [p for p in line[len(pending):].strip('"').split("\\0") if p]
    return line.startswith(pending) and all("\\\\Temp\\\\~nsu" in p for p in paths)
for name in ("system.reg", "user.reg"):
    key = None
    for line in open(f"{sys.argv[1]}/{name}", encoding="utf-8", errors="replace"):
        line = line.rstrip("\n")
        if line.startswith("["):
            key = name + ":" + line[:line.rindex("]") + 1]
            key = None if wine_own.match(key) else key
            if key:
                print(key)
        elif key and line and not line.startswith(("#", ";", '"DriverDateData"')):
            if not temporary_copy(line):
                print(key, line)
EOF
    sort -o "$work/$1.reg" "$work/$1.reg"
}
# Something of another maker's that must survive: a MIDI driver in the first Drivers32 slot.
drivers32='HKLM\Software\Microsoft\Windows NT\CurrentVersion\Drivers32'
"$wine" reg add "$drivers32" /v midi /d othermid.drv /f >/dev/null
snapshot before

"$wine" "$package/VarloSetup.exe" /S || fail "installer exit status $?"
snapshot installed
app="$c/Program Files/Korvane/Varlo"
for f in "$app/VARLOCTL.exe" "$app/uninstall.exe" "$app/varlosetup.exe" "$app/README.txt" \
    "$app/driver/VARLO2K.inf" "$c/windows/system32/drivers/VARLO2K.sys" \
    "$c/windows/system32/varlomid.drv" \
    "$c/ProgramData/Microsoft/Windows/Start Menu/Programs/Korvane Varlo/"*.lnk; do
    [ -f "$f" ] || fail "not installed: ${f#"$c"}"
done
cmp -s "$c/windows/system32/drivers/VARLO2K.sys" "$package/Varlo/VARLO2K.sys" || fail "driver file"
verify "$app/uninstall.exe"
# The driver package in the INF folder (Windows names it oemN.inf, Wine keeps its name).
grep -q 'ROOT.VARLO2K' "$c"/windows/inf/*.inf || fail "no driver package in windows/inf"
reg=$(comm -13 "$work/before.reg" "$work/installed.reg")
expect() { # KEY-PART VALUE-PART (as written in the prefix's .reg files)
    grep -F "$1" <<<"$reg" | grep -qF "$2" || fail "registry: $1 $2"
}
expect 'system.reg:[System\\CurrentControlSet\\Services\\VARLO2K]' \
    '"ImagePath"="C:\\windows\\system32\\drivers\\VARLO2K.sys"'
expect 'Enum\\ROOT\\MEDIA\\' '"HardwareID"=str(7):"ROOT\\VARLO2K\0"'
expect '{4D36E96C-E325-11CE-BFC1-08002BE10318}\\0000\\Drivers\\midi\\varlomid.drv]' \
    '"Driver"="varlomid.drv"'
expect 'CurrentVersion\\Drivers32]' '"midi1"="varlomid.drv"'
expect 'Uninstall\\KorvaneVarlo]' '"QuietUninstallString"='
grep -q '"midi"="othermid.drv"' "$work/installed.reg" || fail "foreign MIDI driver lost"
# Installing again (a repair) changes nothing: one device node, one MIDI driver value.
"$wine" "$package/VarloSetup.exe" /S || fail "second installer run: exit status $?"
snapshot again
diff "$work/installed.reg" "$work/again.reg" || fail "a second installation changed the registry"

# The panel from its Start-menu entry: no interface here, so it says so first; closed politely,
# it stores its window placement.
window() { # TITLE [gone]: waits until a window of that title is shown (or gone)
    for _ in $(seq 60); do
        if xwininfo -root -tree 2>/dev/null | grep -qF "\"$1\": (\"varloctl.exe\""; then
            [ -z "${2:-}" ] && return 0
        elif [ -n "${2:-}" ]; then
            return 0
        fi
        sleep 0.5
    done
    fail "the installed panel: window \"$1\" ${2:-not shown}"
}
menu="$c/ProgramData/Microsoft/Windows/Start Menu/Programs/Korvane Varlo/Varlo Timecode Panel.lnk"
"$wine" start /unix "$menu" >"$work/panel.log" 2>&1
window "Varlo Control" # the message box: no interface answers
"$wine" taskkill /im VARLOCTL.exe >/dev/null 2>&1
window "Korvane Varlo Control"
"$wine" taskkill /im VARLOCTL.exe >/dev/null 2>&1
window "Korvane Varlo Control" gone
snapshot used
grep -qF 'Software\\Korvane\\VARLOCTL] "WindowPos"' "$work/used.reg" || fail "panel settings"

# The installed driver on Wine's kernel: the host pieces of winekernel/ (test equipment, never
# part of the package) beside the files the installer put in place, as tests/winekernel/run.sh
# adds them; the installed driver's import retargeted in place to the shim.
root=$(cd "$(dirname "$0")/.." && pwd) sys="$package/../sys" win="$package/../win"
for f in "$sys/winekernel/wkshim64.dll" "$sys/winekernel/wkserial.sys" \
    "$win/winekernel/wkmodel.dll" "$win/tests/winekernel/wkclient.exe"; do
    [ -f "$f" ] || fail "Wine's kernel cannot run the installed driver: $f is not built"
done
s32="$c/windows/system32" service='HKLM\System\CurrentControlSet\Services\VARLO2K'
peimage() { python3 "$root/winekernel/peimage.py" "$@" ntoskrnl.exe wkshim64.dll; }
peimage retarget "$s32/drivers/VARLO2K.sys" "$s32/drivers/VARLO2K.sys"
peimage check "$package/Varlo/VARLO2K.sys" "$s32/drivers/VARLO2K.sys" || fail "retargeted driver"
# The import name lies in the signed bytes: the signature no longer matches (Windows would refuse
# the file; Wine checks no driver signature).
! osslsigncode verify -CAfile "$package/signing/VarloTest.pem" -in "$s32/drivers/VARLO2K.sys" \
    >/dev/null 2>&1 || fail "the retargeted driver still verifies"
cp "$sys/winekernel/wkshim64.dll" "$win/winekernel/wkmodel.dll" "$s32/"
cp "$sys/winekernel/wkserial.sys" "$s32/drivers/"
# Wine's winmm loads one MIDI driver, by its Wine name (umdrv/README.md): the installed file.
ln -s varlomid.drv "$s32/winevarlo.drv"
# The installed service in the shim's load group (one winedevice.exe); Wine's services take a
# changed group at their next start only.
"$wine" cmd /c "reg add HKCU\\Software\\Wine\\Drivers /v Audio /d varlo /f & \
    reg add $service /v Group /d VarloTest /f" >/dev/null
wineserver -w
wineserver -p5 # the drivers stay loaded from one program to the next
client() { "$wine" "$win/tests/winekernel/wkclient.exe" "$@" </dev/null; }
client install >"$work/wk-install.log" || fail "the installed driver on Wine's kernel"
client device >"$work/wk-device.log" || fail "the installed driver's device"
touch "$WINEPREFIX/.varlo-ready" # made: scripts/wine-run.sh leaves it as it is
"$root/tests/winekernel/run.sh" "$sys" "$win" "$work" panel || fail "panel through varlomid.drv"
# The installed panel from its Start-menu entry finds the interface: no message box; it asks for
# the identity and opens the port.
client model clear >/dev/null
"$wine" start /unix "$menu" >"$work/panel.log" 2>&1
window "Korvane Varlo Control"
# (Sampled until both hold: under load the panel may close the port and open it again.)
asked() {
    client model query >"$work/wk-query.log" && client model port >"$work/wk-port.log" &&
        grep -q "config-requests [1-9]" "$work/wk-query.log" &&
        grep -q "^opens 1" "$work/wk-port.log"
}
ok=""
for _ in $(seq 50); do asked && ok=1 && break || sleep 0.2; done
[ -n "$ok" ] || fail "the installed panel: no identity request"
! xwininfo -root -tree | grep -qF '"Varlo Control": ("varloctl.exe"' || fail "panel: no interface"
# The host pieces go first (the uninstaller removes what it installed). Then the uninstaller runs
# over the running driver and the open panel: it closes the panel; the driver's file, in use, goes
# at the next restart, which the comparison includes.
"$wine" cmd /c "sc delete WkSerial & reg delete $service /v Group /f & \
    reg delete HKCU\\Software\\Wine\\Drivers /f" >/dev/null
rm "$s32/wkshim64.dll" "$s32/wkmodel.dll" "$s32/drivers/wkserial.sys" "$s32/winevarlo.drv"
rm "$app/varlosetup.exe" # deleted by hand: the uninstaller brings its own
"$wine" "$app/uninstall.exe" /S || fail "uninstaller exit status $?"
window "Korvane Varlo Control" gone
wineserver -w
"$wine" wineboot -r
snapshot removed
diff "$work/before.files" "$work/removed.files" || fail "files left or lost"
diff "$work/before.reg" "$work/removed.reg" || fail "registry changed"
# With every MIDI driver slot taken, the driver package is refused and the installation undone,
# into a folder of the user's choice whose parent was there before and stays.
printf 'Windows Registry Editor Version 5.00\n\n[%s]\n' "HKEY_LOCAL_MACHINE${drivers32#HKLM}" \
    >"$c/full.reg"
printf '"midi%s"="othermid.drv"\n' "" 1 2 3 4 5 6 7 8 9 >>"$c/full.reg"
"$wine" reg import 'C:\full.reg' >/dev/null 2>&1 && rm "$c/full.reg"
mkdir "$c/Tools"
snapshot full
status=0
"$wine" "$package/VarloSetup.exe" /S '/D=C:\Tools\Varlo' || status=$?
[ $status = 2 ] || fail "installed with every MIDI driver slot taken: exit status $status"
snapshot refused
diff "$work/full.files" "$work/refused.files" || fail "a refused installation left files"
diff "$work/full.reg" "$work/refused.reg" || fail "a refused installation left registry entries"
echo "installer round trip: installed, panel started, uninstalled without a trace"
