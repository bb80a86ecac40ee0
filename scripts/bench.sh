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
