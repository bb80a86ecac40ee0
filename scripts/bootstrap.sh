#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need. Quiet and quick when all are present.
set -euo pipefail

packages=(
    cmake ninja-build g++ clang lld libclang-rt-14-dev clang-format
    libgtest-dev libgmock-dev googletest libbenchmark-dev libasound2-dev
    g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
    mingw-w64-x86-64-dev
    wine wine64 xvfb xauth x11-utils imagemagick python3
    nsis osslsigncode openssl
)

# Wine is pinned to Debian bookworm's 8.0: the run on Wine's kernel (winekernel/) depends on
# what this version's ntoskrnl lacks and does.
wine_version="8.0~repack-4"

missing=()
for p in "${packages[@]}"; do
    case "$p" in
        wine|wine64)
            [ "$(dpkg-query -W -f='${Status} ${Version}' "$p" 2>/dev/null)" = \
              "install ok installed $wine_version" ] || missing+=("$p=$wine_version") ;;
        *) dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' ||
               missing+=("$p") ;;
    esac
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "bootstrap: installing ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends --allow-downgrades "${missing[@]}" >/dev/null
