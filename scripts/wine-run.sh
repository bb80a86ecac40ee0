#!/usr/bin/env bash
# Runs one Windows program under Wine in the prefix named by WINEPREFIX, making the prefix on
# first use. The caller provides DISPLAY (scripts/wine-env.sh starts a private Xvfb and a
# persistent wineserver for a whole test run).
# A test (VARLO_WINE_TEST set) started outside wine-env.sh would meet no private display and no
# persistent wineserver: it says so in one line and exits 77, which ctest reports as skipped.
set -euo pipefail
if [ -n "${VARLO_WINE_TEST:-}" ] && [ -z "${VARLO_WINE_ENV:-}" ]; then
    echo "skipped: Wine tests run inside scripts/wine-env.sh (as scripts/test.sh does)" >&2
    exit 77
fi
: "${WINEPREFIX:?WINEPREFIX must name the prefix}"
export WINEDEBUG="${WINEDEBUG:--all}" WINEARCH=win64 WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
export WINELOADER=/usr/lib/wine/wine64
# A persistent wineserver writes the registry files late, so readiness has a marker of its own.
ready="$WINEPREFIX/.varlo-ready"
if [ ! -f "$ready" ]; then
    mkdir -p "$WINEPREFIX"
    (
        flock 9
        if [ ! -f "$ready" ]; then
            # The services wineboot leaves running must not inherit the lock.
            /usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1 </dev/null 9>&- || true
            touch "$ready"
        fi
    ) 9>"$WINEPREFIX/.varlo-lock"
fi
exec /usr/lib/wine/wine64 "$@"
