#!/usr/bin/env bash
# Times RecoverQelSD on large card images, each beside `dd bs=1M` reading the
# same page-cached image in the same hyperfine run, and prints a markdown table:
# median wall time, throughput, peak resident memory, the ratio to dd and
# whether it meets the case's goal. The straightforward reference text scan
# (bench/reference_text_scan.cc) is timed on the two text cases where nothing
# is in range, to show what the block scan gains.
#
#   bench/run.sh
#
# Environment (all optional):
#   BENCH_IMAGES    directory of the images and of the scratch output directories
#                   (default build-bench/images); it needs about 4 GiB for the
#                   images, and the in-range binary case 2.7 GB more for each
#                   run's upload files (about 20 GB with the default 5 runs).
#   BENCH_SIZE_MIB  image size in MiB (default 1024).
#   BENCH_RUNS      timed runs per command (default 5, after one warm-up run).
#   BENCH_CASES     the cases to run, by name (default all):
#                   text-random text-dense-none text-dense-all
#                   binary-full-none binary-full-all binary-empty
#
# Images are made once with the project's image builder and kept; one of the
# right size is not made again. Every run of the tool starts in an empty
# scratch directory; the outputs of a case's runs are kept until the case is
# over, then removed. The write-heavy cases also time dd writing as many bytes
# as the tool writes: the least that writing the output costs on this machine.
# Exit code 0 when every case ran and gave the expected output (goals met or
# not), 1 otherwise.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
source scripts/packages.sh
ensure_packages cmake make g++ libgtest-dev hyperfine time

build=$root/build-bench
images=${BENCH_IMAGES:-$build/images}
size_mib=${BENCH_SIZE_MIB:-1024}
runs=${BENCH_RUNS:-5}
cases=${BENCH_CASES:-text-random text-dense-none text-dense-all binary-full-none binary-full-all binary-empty}
size=$((size_mib * 1024 * 1024))
mkdir -p "$images"
images=$(cd "$images" && pwd)
scratch=$images/scratch
logs=$build/bench-logs
mkdir -p "$logs"

echo "Building the Release binary in $build ..." >&2
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=ON >/dev/null
cmake --build "$build" -j"$(nproc)" --target RecoverQelSD make_card reference_text_scan >/dev/null
tool=$build/RecoverQelSD
make_card=$build/tests/make_card
reference=$build/bench/reference_text_scan

fresh_scratch() { rm -rf "$scratch" && mkdir -p "$scratch"; }

# The reference scan must find what the tool finds: compare their day files on a
# small dense image, over a range that cuts the month (the tool sorts its day
# files, the reference leaves them in card order).
check_reference() {
    local dir=$scratch/check img=$scratch/check/dense.img f
    fresh_scratch
    mkdir -p "$dir/tool" "$dir/reference"
    "$make_card" text-dense "$img" 8M --seed 5 >/dev/null
    (cd "$dir/tool" && "$tool" "$img" 20240105 20240125 >/dev/null)
    (cd "$dir/reference" && "$reference" "$img" 20240105 20240125 >/dev/null)
    if [ "$(cd "$dir/tool" && ls)" != "$(cd "$dir/reference" && ls)" ] || [ -z "$(ls "$dir/tool")" ]; then
        echo "reference check: the day files differ in name" >&2
        return 1
    fi
    for f in "$dir"/tool/*.txt; do
        LC_ALL=C sort "$dir/reference/${f##*/}" | cmp -s - "$f" || {
            echo "reference check: ${f##*/} differs" >&2
            return 1
        }
    done
    rm -rf "$scratch"
}

# make_image NAME MODE: makes $images/NAME.img unless it is there at the right size;
# NAME.count holds the number of records the builder put in it.
make_image() {
    local img=$images/$1.img
    if [ -f "$img" ] && [ -f "$img.count" ] && [ "$(stat -c %s "$img")" -eq "$size" ]; then return 0; fi
    echo "Making $img ..." >&2
    rm -f "$img.count"
    "$make_card" "$2" "$img" "$size" --seed 1 >"$img.count.new"
    mv "$img.count.new" "$img.count"
}

# median_of CSV NAME: the median in seconds of the command called NAME in hyperfine's CSV.
median_of() { awk -F, -v name="$2" '$1 == name { print $4 }' "$1"; }

rows=()
gains=()
failed=()

# Moves the scratch directory of the last run aside, into $trash, and starts an empty one.
# Outputs are removed only when a case is over: on ext4, creating thousands of files right
# after deleting thousands makes every create scan past the recently freed inodes, which
# would time the benchmark's own clean-up rather than the tool.
trash=$images/trash
rotate_scratch="mkdir -p '$trash' && { [ ! -d '$scratch' ] || mv '$scratch' \"\$(mktemp -d -p '$trash')\"; } && mkdir '$scratch'"
# Before a run that writes much, the outputs kept aside are dropped from the page cache
# (written out first), so that every run finds the same free memory rather than having
# to reclaim the runs before it; as root only.
drop_cache="sync && { [ ! -w /proc/sys/vm/drop_caches ] || echo 1 >/proc/sys/vm/drop_caches; }"

# run_case NAME IMAGE GOAL WITH_REFERENCE EXPECT FLOOR_BYTES ARGS...: times the tool (and the
# reference when asked) beside dd reading the image and, when the case writes FLOOR_BYTES > 0,
# beside dd writing that many bytes into the scratch directory (the least that writing its
# output can cost here); then measures peak memory in one more run and checks that run's output.
run_case() {
    local name=$1 img=$images/$2.img goal=$3 with_reference=$4 expect=$5 floor_bytes=$6
    shift 6
    local args="$*" csv=$logs/$name.csv count
    count=$(cat "$img.count")
    echo "== $name" >&2
    cat "$img" >/dev/null
    local warm="cat '$img' >/dev/null && sync"
    [ "$floor_bytes" -gt 0 ] && warm="$drop_cache && $warm"
    local commands=(-n tool "cd '$scratch' && '$tool' '$img' $args"
                    -n dd "dd if='$img' of=/dev/null bs=1M")
    local prepares=(--prepare "$rotate_scratch && $warm" --prepare "$warm")
    if [ "$with_reference" = yes ]; then
        commands+=(-n reference "cd '$scratch' && '$reference' '$img' $args")
        prepares+=(--prepare "$rotate_scratch && $warm")
    fi
    if [ "$floor_bytes" -gt 0 ]; then
        commands+=(-n "dd write" "dd if=/dev/zero of='$scratch/floor' bs=1M count=$(((floor_bytes + 1048575) / 1048576))")
        prepares+=(--prepare "$rotate_scratch && $warm")
    fi
    hyperfine --style basic -i --warmup 1 --runs "$runs" "${prepares[@]}" \
        --export-csv "$csv" "${commands[@]}" >"$logs/$name.txt" 2>&1

    # One more run for the peak resident memory, and to check what the tool found.
    sh -c "$rotate_scratch && $warm"
    local status=0
    (cd "$scratch" && /usr/bin/time -f %M -o "$logs/$name.rss" "$tool" "$img" $args >"$logs/$name.out") || status=$?
    local problem written
    written=$(find "$scratch" -maxdepth 1 -type f -printf '%s\n' | awk '{ s += $1 } END { printf "%.0f\n", s }')
    problem=$(check_output "$expect" "$status" "$count" "$logs/$name.out" "$written") || true
    rm -rf "$scratch" "$trash"
    [ -n "$problem" ] && failed+=("$name: $problem")
    # Lets the deletion and the write-back settle before the next case is timed.
    sync
    sleep 5

    local tool_median dd_median rss_kib
    tool_median=$(median_of "$csv" tool)
    dd_median=$(median_of "$csv" dd)
    rss_kib=$(tail -n 1 "$logs/$name.rss")  # after "Command exited with non-zero status" when it failed
    rows+=("$(awk -v c="$name" -v t="$tool_median" -v d="$dd_median" -v r="$rss_kib" -v s="$size" -v g="$goal" 'BEGIN {
        ratio = t / d
        printf "| %s | RecoverQelSD | %.3f s | %.0f MB/s | %.1f MiB | %.3f s | %.1fx | at most %sx | %s |",
               c, t, s / t / 1e6, r / 1024, d, ratio, g, (ratio <= g ? "yes" : "**no**")
    }')")
    if [ "$with_reference" = yes ]; then
        local ref_median
        ref_median=$(median_of "$csv" reference)
        rows+=("$(awk -v c="$name" -v t="$ref_median" -v d="$dd_median" -v s="$size" 'BEGIN {
            printf "| %s | straightforward reference scan | %.3f s | %.0f MB/s | | %.3f s | %.1fx | | |",
                   c, t, s / t / 1e6, d, t / d
        }')")
        gains+=("$(awk -v c="$name" -v t="$tool_median" -v r="$ref_median" 'BEGIN {
            printf "- %s: the tool takes %.3f s where the straightforward scan takes %.3f s (%.1fx faster)", c, t, r, r / t
        }')")
    fi
    if [ "$floor_bytes" -gt 0 ]; then
        rows+=("$(awk -v c="$name" -v t="$(median_of "$csv" "dd write")" -v d="$dd_median" -v b="$floor_bytes" 'BEGIN {
            printf "| %s | dd writing the %.2f GB the tool writes (no tool) | %.3f s | %.0f MB/s | | %.3f s | %.1fx | | |",
                   c, b / 1e9, t, b / t / 1e6, d, t / d
        }')")
    fi
}

# check_output EXPECT STATUS COUNT OUTFILE WRITTEN: prints what is wrong with the checked run,
# if anything. COUNT is the number of records in the image, WRITTEN the bytes of the files
# the run left; every record in range makes a 38-byte line (CR LF included).
check_output() {
    local expect=$1 status=$2 count=$3 out=$4 written=$5 lines=$(($3 * 38))
    case $expect in
        text-none)
            [ "$status" -eq 1 ] && grep -q 'Cannot find any files to sort' "$out" && [ "$written" -eq 0 ] ||
                echo "expected no line in range and exit 1 (exit $status, $written bytes written)" ;;
        text-all)
            [ "$status" -eq 0 ] && grep -q 'Finished' "$out" && [ "$written" -eq "$lines" ] ||
                echo "expected exit 0 and $lines bytes of day files (exit $status, $written bytes)" ;;
        binary-none)
            [ "$status" -eq 0 ] && grep -q "^$count records found, 0 stored" "$out" && [ "$written" -eq 0 ] ||
                echo "expected $count records found, none stored (exit $status, $written bytes written)" ;;
        binary-all)
            [ "$status" -eq 0 ] && grep -q "^$count records found, $count stored" "$out" && [ "$written" -eq "$lines" ] ||
                echo "expected $count records found and stored in $lines bytes (exit $status, $written bytes)" ;;
    esac
}

echo "Checking the reference scan against the tool ..." >&2
check_reference || failed+=("reference check")

for c in $cases; do
    case $c in
        text-random) make_image text-random text-random ;;
        text-dense-*) make_image text-dense text-dense ;;
        binary-full-*) make_image binary-full binary-full ;;
        binary-empty) make_image binary-empty binary-empty ;;
    esac
done

for c in $cases; do
    case $c in
        text-random) run_case "$c" text-random 4 yes text-none 0 20300101 20300131 ;;
        text-dense-none) run_case "$c" text-dense 8 yes text-none 0 20300101 20300131 ;;
        # Every line is appended to its day file, then the day file is written again sorted.
        text-dense-all) run_case "$c" text-dense 30 no text-all $(($(cat "$images/text-dense.img.count") * 38 * 2)) \
            20240101 20240131 ;;
        binary-full-none) run_case "$c" binary-full 3 no binary-none 0 20300101 20300131 BNCH ;;
        binary-full-all) run_case "$c" binary-full 40 no binary-all $(($(cat "$images/binary-full.img.count") * 38)) \
            20231231 20240202 BNCH ;;
        binary-empty) run_case "$c" binary-empty 2 no binary-none 0 20300101 20300131 BNCH ;;
        *) failed+=("unknown case $c") ;;
    esac
done

cat <<EOF

Images of $size_mib MiB, page-cached; median of $runs runs after a warm-up; dd is \`dd if=IMAGE of=/dev/null bs=1M\`
timed in the same hyperfine run; ratio = tool median / dd median; peak RSS from \`/usr/bin/time -f %M\` in one more run.

| case | program | median time | throughput | peak RSS | dd median | ratio to dd | goal | met |
|---|---|---|---|---|---|---|---|---|
EOF
printf '%s\n' "${rows[@]}"
if [ "${#gains[@]}" -gt 0 ]; then
    echo
    printf '%s\n' "${gains[@]}"
fi
echo
echo "Machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'),"\
     "$(awk '/MemTotal/ { printf "%.1f GiB", $2 / 1048576 }' /proc/meminfo) RAM, kernel $(uname -r);"\
     "commit $(git rev-parse --short HEAD 2>/dev/null || echo unknown)$(git diff --quiet HEAD 2>/dev/null || echo ' (with uncommitted changes)'); $(date -u '+%Y-%m-%d %H:%M UTC')"
echo "hyperfine logs and the checked runs' console output: $logs"

if [ "${#failed[@]}" -ne 0 ]; then
    printf 'FAILED: %s\n' "${failed[@]}" >&2
    exit 1
fi
