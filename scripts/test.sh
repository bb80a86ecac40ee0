#!/usr/bin/env bash
# The whole test run from a fresh checkout: installs what is missing, builds the three trees and
# runs every test (host tests under the sanitizers, then the Windows tests under Wine on a private
# X display). Extra arguments go to both ctest runs (for example -R name).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/bootstrap.sh
scripts/build.sh host win sys package
# The concurrency tests again under ThreadSanitizer (only their targets are built in that tree).
scripts/build.sh tsan-configure
cmake --build build/tsan -j "$(nproc)" --target transport_test kernel_test

mkdir -p build/logs
status=0
ctest --test-dir build/host --output-on-failure -j "$(nproc)" "$@" | tee build/logs/host.log || status=1
ctest --test-dir build/tsan --output-on-failure -L tsan "$@" | tee build/logs/tsan.log || status=1
ctest --test-dir build/sys --output-on-failure "$@" | tee build/logs/sys.log || status=1
scripts/wine-env.sh build/win/wineprefix \
    ctest --test-dir build/win --output-on-failure -j 2 "$@" | tee build/logs/win.log || status=1

# One closing line for both runs.
passed=0; failed=0
for log in build/logs/host.log build/logs/tsan.log build/logs/sys.log build/logs/win.log; do
    line=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -1 || true)
    [ -n "$line" ] || continue
    f=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\1/' <<<"$line")
    n=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\2/' <<<"$line")
    passed=$((passed + n - f)); failed=$((failed + f))
done
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ] && [ "$status" -eq 0 ]
