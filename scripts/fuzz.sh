#!/usr/bin/env bash
# Long fuzzing runs: every fuzzer of the host tree for SECONDS (default 600) each, with its corpus,
# nproc of them at a time (FUZZ_JOBS to change). What a fuzzer finds stays in its corpus folder
# (its own, or build/fuzz-corpus/NAME for those without one), so runs build on each other.
# Prints per fuzzer the inputs run, inputs per second and the coverage gained in this run; a
# crash leaves the fuzzer's log and crash file in build/fuzz-logs and makes the exit status 1.
#   fuzz.sh [SECONDS] [NAME-PATTERN]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-600}
pattern=${2:-.}
jobs=${FUZZ_JOBS:-$(nproc)}
scripts/bootstrap.sh
scripts/build.sh host-configure
mkdir -p build/fuzz-logs build/fuzz-corpus

# The fuzzers are built first: ctest names a test's program only once it exists.
mapfile -t names < <(ctest --test-dir build/host -N -L fuzz | sed -nE 's/^ *Test +#[0-9]+: //p' |
    grep -E -- "$pattern" || true)
[ ${#names[@]} -gt 0 ] || { echo "fuzz.sh: no fuzzer matches '$pattern'" >&2; exit 2; }
cmake --build build/host -j "${VARLO_JOBS:-$(nproc)}" --target "${names[@]}" >/dev/null

# Their corpus arguments, as ctest registers their smoke runs.
declare -A commands=()
while read -r line; do
    cmd=${line#*Test command: }
    read -r -a words <<<"${cmd//\"/}" # ctest quotes each word
    name=$(basename "${words[0]}")
    [[ $name =~ $pattern ]] || continue
    args=() options=()
    for w in "${words[@]:1}"; do
        case $w in
            -max_len=*) options+=("$w") ;; # the fuzzer's own bound on its inputs
            -*) ;;                         # the smoke run's other options
            *) args+=("$w") ;;             # its corpus folders
        esac
    done
    [ ${#args[@]} -gt 0 ] || args=("$PWD/build/fuzz-corpus/$name")
    mkdir -p "${args[0]}"
    commands[$name]="${words[0]} ${options[*]} ${args[*]}"
done < <(ctest --test-dir build/host -N -V -L fuzz | grep 'Test command:')

run_one() {
    local name=$1 seconds=$2 cmd=$3
    local log=build/fuzz-logs/$name.log
    # shellcheck disable=SC2086 # the command is a program, its bound and its corpus folders
    (cd build/fuzz-logs && exec $cmd -max_total_time="$seconds" \
        -print_final_stats=1 -artifact_prefix="$name-") >"$log" 2>&1 && status=ok || status=FAILED
    local runs start end
    runs=$(sed -nE 's/^stat::number_of_executed_units: *([0-9]+)/\1/p' "$log" | tail -1 || true)
    start=$(sed -nE 's/.*INITED cov: ([0-9]+).*/\1/p' "$log" | head -1 || true)
    end=$( (grep -oE 'cov: [0-9]+' "$log" || true) | tail -1 | grep -oE '[0-9]+' || true)
    printf '%-28s %-6s inputs %12s  %9s/s  coverage %5s -> %5s (+%s)\n' "$name" "$status" \
        "${runs:-?}" "$(( ${runs:-0} / seconds ))" "${start:-?}" "${end:-?}" \
        "$(( ${end:-0} - ${start:-0} ))"
    [ "$status" = ok ]
}
echo "fuzzing ${#commands[@]} fuzzers for ${seconds} s each, $jobs at a time"
status=0
running=0
for name in $(printf '%s\n' "${!commands[@]}" | sort); do
    if [ "$running" -ge "$jobs" ]; then
        wait -n || status=1
        running=$((running - 1))
    fi
    run_one "$name" "$seconds" "${commands[$name]}" &
    running=$((running + 1))
done
while [ "$running" -gt 0 ]; do
    wait -n || status=1
    running=$((running - 1))
done
[ "$status" -eq 0 ] || echo "fuzz.sh: a fuzzer failed; see build/fuzz-logs" >&2
exit "$status"
