#!/usr/bin/env bash
# Builds the bench tree (optimised, no sanitizers) and runs the benchmarks: the parser beside
# alsa-lib, then the input road on the kernel-services layer (latency to a client's read, one
# million events to four clients without loss). Extra arguments go to the parser benchmark (for
# example --benchmark_filter=Alsa).
set -euo pipefail
cd "$(dirname "$0")/.."
# Configured as scripts/build.sh configures its bench tree; only the benchmarks are built.
[ -f build/bench/build.ninja ] || cmake -S . -B build/bench -G Ninja -DCMAKE_C_COMPILER=clang \
    -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Release -DVARLO_SANITIZE=none >/dev/null
cmake --build build/bench --target parser_bench stack_bench >/dev/null
build/bench/bench/parser_bench --benchmark_min_time=0.5 "$@"
echo
build/bench/bench/stack_bench

# A Win32 program under Wine through the user-mode MIDI driver and the bridge, when the win tree
# is there: the optimised device host with the interface model, the driver installed in the win
# tree's prefix.
[ -f build/win/build.ninja ] || exit 0
cmake --build build/bench --target varlo-devhost >/dev/null
cmake --build build/win --target midi_latency winevarlo >/dev/null
work=$(mktemp -d)
host_pid=""
cleanup() {
    [ -n "$host_pid" ] && kill "$host_pid" 2>/dev/null && wait "$host_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
build/bench/devhost/varlo-devhost --port 0 --port-file "$work/port" --serial 1=model --quiet \
    --exit-with $$ >"$work/devhost.log" 2>&1 &
host_pid=$!
for _ in $(seq 100); do
    [ -s "$work/port" ] && break
    sleep 0.05
done
VARLO_BRIDGE_PORT=$(cat "$work/port") VARLO_BRIDGE_TOKEN_FILE="$work/port.token" \
    scripts/wine-env.sh build/win/wineprefix bash -c \
    'umdrv/install-wine.sh build/win/umdrv/winevarlo.drv >/dev/null &&
     scripts/wine-run.sh build/win/bench/midi_latency.exe 1000'
