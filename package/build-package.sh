#!/usr/bin/env bash
# Builds the Windows package from the win and sys trees: the files signed with the build's test
# certificate in build/package/Varlo, and the signed installer build/package/VarloSetup.exe.
#   build-package.sh BUILD_DIR     (the folder holding win/ and sys/)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(realpath "$1")
out="$build/package"
files="$out/Varlo"
signing="$out/signing"
mkdir -p "$files" "$signing"

# The test certificate: made once per build folder; its key never leaves build/package/signing.
cert="$signing/VarloTest.pem" key="$signing/VarloTest.key"
if [ ! -s "$cert" ] || [ ! -s "$key" ]; then
    openssl req -x509 -newkey rsa:3072 -sha256 -nodes -days 3650 -keyout "$key" -out "$cert" \
        -subj "/O=Korvane/CN=Korvane Varlo Test Signing" \
        -addext "keyUsage=critical,digitalSignature" -addext "extendedKeyUsage=codeSigning" \
        -addext "basicConstraints=critical,CA:FALSE" 2>/dev/null
fi
openssl x509 -in "$cert" -outform DER -out "$files/VarloTest.cer"

# Signs FILE in place (Authenticode, SHA-256, no time stamp: this machine reaches no server). The
# signing time is the last commit's, so that a rebuild of the same sources gives the same files.
when=${SOURCE_DATE_EPOCH:-$(git -C "$here" log -1 --format=%ct 2>/dev/null || date +%s)}
cat >"$signing/sign.sh" <<SIGN
#!/bin/sh
set -e
osslsigncode sign -certs "$cert" -key "$key" -h sha256 -n "Korvane Varlo" -time $when \\
    -in "\$1" -out "\$1.signed" >/dev/null
mv "\$1.signed" "\$1"
SIGN
chmod +x "$signing/sign.sh"

copy_signed() { # SOURCE NAME
    [ -f "$1" ] ||
        { echo "build-package.sh: $1 is missing (build the win and sys trees)" >&2; exit 1; }
    cp "$1" "$files/$2"
    "$signing/sign.sh" "$files/$2"
}
copy_signed "$build/sys/driver/VARLO2K.sys" VARLO2K.sys
copy_signed "$build/win/umdrv/winevarlo.drv" varlomid.drv
copy_signed "$build/win/panel/VARLOCTL.exe" VARLOCTL.exe
copy_signed "$build/win/package/varlosetup.exe" varlosetup.exe
cp "$here/../driver/windows/VARLO2K.inf" "$files/VARLO2K.inf"
sed 's/$/\r/' "$here/README-Windows.txt" >"$files/README.txt"

touch -d "@$when" "$files"/* # the installer keeps the files' times
makensis -V2 -DPACKAGE="$files" -DOUTFILE="$out/VarloSetup.exe" -DSIGN="$signing/sign.sh" \
    "$here/varlo.nsi" >"$out/makensis.log" || { cat "$out/makensis.log" >&2; exit 1; }
echo "package: $files, installer: $out/VarloSetup.exe"
