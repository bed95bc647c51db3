#!/usr/bin/env bash
# Builds the fuzz targets in build-fuzz/ (clang, libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs each one for a bounded time.
#
#   fuzz/run.sh [SECONDS [TARGET...]]
#
# SECONDS is the time given to each target (15 by default); all targets run unless some
# are named. Inputs that reach new code are kept in build-fuzz/corpus/TARGET and taken up
# again by the next run, beside the seeds in fuzz/corpus/TARGET. An input that breaks a
# property or trips a sanitizer is saved under build-fuzz/artifacts/; replay it with
# build-fuzz/fuzz/TARGET FILE.
set -u
cd "$(dirname "$0")/.."
seconds=${1:-15}
[ $# -gt 0 ] && shift
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(text_scan_fuzz record_walk_fuzz day_sort_fuzz arguments_fuzz)

source scripts/packages.sh
ensure_packages "${fuzz_packages[@]}" || exit 1

cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DRECOVERQEL_FUZZ=ON -DBUILD_TESTING=OFF >/dev/null || exit 1
cmake --build build-fuzz -j"$(nproc)" --target "${targets[@]}" >/dev/null || exit 1

# Every run of a target writes files: in memory where the machine allows it.
scratch_root=/tmp
[ -d /dev/shm ] && [ -w /dev/shm ] && scratch_root=/dev/shm
TMPDIR=$(mktemp -d "$scratch_root/recoverqel-fuzz.XXXXXX") || exit 1
export TMPDIR
trap 'rm -rf "$TMPDIR"' EXIT
export UBSAN_OPTIONS=print_stacktrace=1

# The longest input of each target: room for several lines, sectors or pieces.
declare -A max_len=([text_scan_fuzz]=16384 [record_walk_fuzz]=4700 [day_sort_fuzz]=8192 [arguments_fuzz]=1024)

mkdir -p build-fuzz/artifacts build-fuzz/logs
failed=()
for target in "${targets[@]}"; do
    corpus=build-fuzz/corpus/$target
    log=build-fuzz/logs/$target.log
    mkdir -p "$corpus"
    build-fuzz/fuzz/"$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -max_len="${max_len[$target]:-4096}" -dict=fuzz/dict/"$target".dict \
        -artifact_prefix=build-fuzz/artifacts/"$target"- -print_final_stats=1 \
        "$corpus" fuzz/corpus/"$target" >"$log" 2>&1 </dev/null
    status=$?
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    if [ "$status" -eq 0 ]; then
        echo "$target: ${runs:-?} inputs in ${seconds} s, every property held"
    else
        echo "$target: FAILED (log: $log)"
        grep -E -A12 'PROPERTY FAILED|ERROR: ' "$log" | head -40
        grep -E 'Test unit written to' "$log"
        failed+=("$target")
    fi
done
[ ${#failed[@]} -eq 0 ]
