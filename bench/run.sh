#!/usr/bin/env bash
# Times RecoverQelSD on large card images, each case beside its floor in alternating
# rounds (each round runs the tool and its floor once, in turn), and prints a markdown
# table: median wall time, throughput, peak resident memory, the floor's median, the
# ratio to it and whether it meets the case's goal. The floor is what the machine needs
# at least for the case's work:
#   read   dd bs=1M reading the page-cached image
#   copy   that, then `cp` of the day files the tool writes into a fresh directory
#          (copy+sync: the same floor, and beside it that copy with every file forced
#          onto the disk, as the tool forces each day file it rewrites before it
#          replaces the old one: what storing the sorted files safely costs at least)
#   split  that, then `split -l 4097` of all the upload lines the tool writes
# The straightforward reference text scan (bench/reference_text_scan.cc) can be
# timed on the two text cases where nothing is in range, and the Windows build
# under Wine beside the native one.
#
#   bench/run.sh
#
# Environment (all optional):
#   BENCH_IMAGES     directory of the images and of the scratch output directories
#                    (default build-bench/images); it needs about 5 GiB for the
#                    images, and the in-range cases up to 2.7 GB for each run's output
#                    (about 20 GB for the in-range binary case with the default 5 runs).
#   BENCH_SIZE_MIB   image size in MiB (default 1024).
#   BENCH_RUNS       timed rounds (default 5, after one warm-up round); the
#                    cases that write nothing take three times as many, as each run is
#                    short and one slow run moves the median of a few.
#   BENCH_CASES      the cases to run, by name (default all):
#                    text-random text-dense-none text-years-all text-month-all
#                    binary-full-none binary-full-all binary-empty
#   BENCH_REFERENCE  1 (default) to time the reference text scan too, 0 not to.
#   BENCH_WINE       1 to time the Windows build (build-bench-windows/RecoverQelSD.exe)
#                    under Wine beside the native build too; 0 (default) not to.
#
# Images are made once with the project's image builder and kept; one of the
# right size is not made again. Every run of the tool starts in an empty
# scratch directory; the outputs of a case's runs are kept until the case is
# over, then removed. Exit code 0 when every case ran and gave the expected
# output (goals met or not), 1 otherwise.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
source scripts/packages.sh
ensure_packages cmake make g++ libgtest-dev hyperfine time

build=$root/build-bench
images=${BENCH_IMAGES:-$build/images}
size_mib=${BENCH_SIZE_MIB:-1024}
runs=${BENCH_RUNS:-5}
cases=${BENCH_CASES:-text-random text-dense-none text-years-all text-month-all binary-full-none binary-full-all binary-empty}
with_reference=${BENCH_REFERENCE:-1}
with_wine=${BENCH_WINE:-0}
size=$((size_mib * 1024 * 1024))
mkdir -p "$images"
images=$(cd "$images" && pwd)
scratch=$images/scratch
kept=$images/kept
logs=$build/bench-logs
mkdir -p "$logs"

echo "Building the Release binary in $build ..." >&2
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=ON >/dev/null
cmake --build "$build" -j"$(nproc)" --target RecoverQelSD make_card reference_text_scan >/dev/null
tool=$build/RecoverQelSD
make_card=$build/tests/make_card
reference=$build/bench/reference_text_scan
exe=
if [ "$with_wine" = 1 ]; then
    ensure_packages "${windows_packages[@]}"
    echo "Building the Windows Release binary in $build-windows ..." >&2
    cmake -S . -B "$build-windows" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
        -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake >/dev/null
    cmake --build "$build-windows" -j"$(nproc)" --target RecoverQelSD >/dev/null
    exe=$build-windows/RecoverQelSD.exe
    export WINEDEBUG=-all WINEPREFIX=$build-windows/wineprefix
    [ -d "$WINEPREFIX/dosdevices" ] || wineboot -i >/dev/null 2>&1
    # A fresh prefix leaves Wine's own processes busy for a while; the first case waits for them.
    wineserver -w
fi

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
    # Day files only: the tool also leaves its empty lock file in the directory.
    local names
    names=$(cd "$dir/tool" && ls -- *.txt 2>/dev/null) || true
    if [ -z "$names" ] || [ "$names" != "$(cd "$dir/reference" && ls -- *.txt 2>/dev/null)" ]; then
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

# make_image NAME MODE [OPTIONS...]: makes $images/NAME.img unless it is there at the right size;
# NAME.count holds the number of records the builder put in it.
make_image() {
    local img=$images/$1.img mode=$2
    shift 2
    if [ -f "$img" ] && [ -f "$img.count" ] && [ "$(stat -c %s "$img")" -eq "$size" ]; then return 0; fi
    echo "Making $img ..." >&2
    rm -f "$img.count"
    "$make_card" "$mode" "$img" "$size" --seed 1 "$@" >"$img.count.new"
    mv "$img.count.new" "$img.count"
}

# median_of TIMES NAME: the median in seconds of the command called NAME, from the
# "name,seconds" lines that timed_rounds writes.
median_of() {
    awk -F, -v name="$2" '$1 == name { print $2 }' "$1" | sort -g |
        awk '{ t[NR] = $1 } END { if (NR) print (NR % 2 ? t[(NR + 1) / 2] : (t[NR / 2] + t[NR / 2 + 1]) / 2) }'
}

# untimed_commands TIMES HYPERFINE_COMMANDS...: prints " NAME" for each command named with -n
# that has no time in TIMES, so that a case none of whose rounds could be timed is reported
# as failed rather than given a row of zero times marked as meeting its goal.
untimed_commands() {
    local times=$1
    shift
    while [ $# -gt 1 ]; do
        [ "$1" = -n ] && ! grep -q "^$2," "$times" && printf ' %s' "$2"
        shift
    done
    return 0
}

# timed_rounds ROUNDS TIMES LOG HYPERFINE_ARGS...: times every command once in each of ROUNDS
# rounds, after one warm-up round, the commands in turn within a round; writes "name,seconds"
# for every timed run to TIMES and hyperfine's output to LOG. Alternating the commands,
# rather than all runs of one command and then all of the next, lets a machine whose speed
# changes over a minute or two (a virtual machine slow at times to hand out fresh pages,
# a neighbour's load) slow the tool and its floor alike, so that the ratio stays steady.
timed_rounds() {
    local rounds=$1 times=$2 log=$3 round csv
    shift 3
    csv=$times.round
    : >"$times"
    : >"$log"
    for ((round = 0; round <= rounds; round++)); do
        echo "-- round $round of $rounds (round 0 is the warm-up)" >>"$log"
        # A round that hyperfine could not finish must not pass on the round before's times.
        if ! hyperfine --style basic -i --runs 1 --export-csv "$csv" "$@" >>"$log" 2>&1; then
            echo "Round $round of $rounds could not be timed and is left out of the medians; see $log" >&2
            continue
        fi
        # hyperfine's CSV: command,mean,... with one run, the mean is that run's time.
        [ "$round" -eq 0 ] || awk -F, 'NR > 1 { print $1 "," $2 }' "$csv" >>"$times"
    done
    rm -f "$csv"
}

rows=()
notes=()
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

# run_case NAME IMAGE GOAL FLOOR REFERENCE EXPECT ARGS...: one checked run of the tool first
# (its peak memory, and its output kept as what the floor copies), then the tool, dd and the
# floor timed in alternating rounds (and the reference scan and the .exe under Wine when asked).
run_case() {
    local name=$1 img=$images/$2.img goal=$3 floor=$4 reference_too=$5 expect=$6
    shift 6
    local args="$*" times=$logs/$name.times count
    count=$(cat "$img.count")
    echo "== $name" >&2
    cat "$img" >/dev/null

    # The checked run: peak resident memory, and the output the floor copies.
    rm -rf "$kept" && mkdir -p "$kept/out"
    local status=0
    (cd "$kept/out" && /usr/bin/time -f %M -o "$logs/$name.rss" "$tool" "$img" $args >"$logs/$name.out") || status=$?
    local problem written
    written=$(find "$kept/out" -maxdepth 1 -type f -printf '%s\n' | awk '{ s += $1 } END { printf "%.0f\n", s }')
    problem=$(check_output "$expect" "$status" "$count" "$logs/$name.out" "$written") || true
    [ -n "$problem" ] && failed+=("$name: $problem")
    # The floor's copy reads what it copies from the page cache, as the tool reads the image.
    local floor_command="dd if='$img' of=/dev/null bs=1M" floor_source=
    case $floor in
        copy | copy+sync)
            floor_command+=" 2>/dev/null && cp -r '$kept/out' '$scratch/copy'"
            floor_source="find '$kept/out' -type f -exec cat {} + >/dev/null" ;;
        split)
            cat "$kept"/out/*.txt >"$kept/lines"
            rm -rf "$kept/out"
            floor_command+=" 2>/dev/null && cd '$scratch' && split -a 5 -l 4097 '$kept/lines'"
            floor_source="cat '$kept/lines' >/dev/null" ;;
    esac

    local warm="cat '$img' >/dev/null && sync"
    [ "$floor" != read ] && warm="$drop_cache && $warm"
    local commands=(-n tool "cd '$scratch' && '$tool' '$img' $args")
    local prepares=(--prepare "$rotate_scratch && $warm")
    if [ "$floor" != read ]; then
        commands+=(-n floor "$floor_command")
        prepares+=(--prepare "$rotate_scratch && $warm && $floor_source")
    fi
    if [ "$floor" = copy+sync ]; then
        commands+=(-n synced "$floor_command && sync '$scratch'/copy/*")
        prepares+=(--prepare "$rotate_scratch && $warm && $floor_source")
    fi
    commands+=(-n dd "dd if='$img' of=/dev/null bs=1M")
    prepares+=(--prepare "$warm")
    if [ "$reference_too" = yes ] && [ "$with_reference" = 1 ]; then
        commands+=(-n reference "cd '$scratch' && '$reference' '$img' $args")
        prepares+=(--prepare "$rotate_scratch && $warm")
    fi
    if [ -n "$exe" ]; then
        # Into a file, not /dev/null: Wine takes about thirty system calls for each write to a
        # character device, which would time Wine's console handling rather than the tool.
        commands+=(-n wine "cd '$scratch' && wine '$exe' '$img' $args >'$logs/$name.wine.out'")
        prepares+=(--prepare "$rotate_scratch && $warm")
    fi
    local case_runs=$runs
    [ "$floor" = read ] && case_runs=$((runs * 3))
    timed_rounds "$case_runs" "$times" "$logs/$name.txt" "${prepares[@]}" "${commands[@]}"
    rm -rf "$scratch" "$trash" "$kept"
    # Lets the deletion and the write-back settle before the next case is timed.
    sync
    sleep 5

    local untimed
    untimed=$(untimed_commands "$times" "${commands[@]}")
    if [ -n "$untimed" ]; then
        failed+=("$name: not timed in any round:$untimed; see $logs/$name.txt")
        return
    fi

    local tool_median dd_median floor_median rss_kib floor_label
    tool_median=$(median_of "$times" tool)
    dd_median=$(median_of "$times" dd)
    floor_median=$dd_median
    floor_label="dd"
    case $floor in
        copy | copy+sync) floor_median=$(median_of "$times" floor); floor_label="dd + cp" ;;
        split) floor_median=$(median_of "$times" floor); floor_label="dd + split" ;;
    esac
    rss_kib=$(tail -n 1 "$logs/$name.rss")  # after "Command exited with non-zero status" when it failed
    rows+=("$(awk -v c="$name" -v t="$tool_median" -v f="$floor_median" -v l="$floor_label" -v r="$rss_kib" \
        -v s="$size" -v g="$goal" 'BEGIN {
        ratio = t / f
        printf "| %s | RecoverQelSD | %.3f s | %.0f MB/s | %.1f MiB | %s | %.3f s | %.2fx | at most %sx | %s |",
               c, t, s / t / 1e6, r / 1024, l, f, ratio, g, (ratio <= g ? "yes" : "**no**")
    }')")
    if [ "$floor" != read ]; then
        rows+=("$(awk -v c="$name" -v t="$dd_median" -v s="$size" 'BEGIN {
            printf "| %s | dd alone | %.3f s | %.0f MB/s | | | | | | |", c, t, s / t / 1e6
        }')")
    fi
    if [ "$floor" = copy+sync ]; then
        local synced_median
        synced_median=$(median_of "$times" synced)
        rows+=("$(awk -v c="$name" -v t="$synced_median" -v m="$tool_median" -v s="$size" 'BEGIN {
            printf "| %s | dd + cp + sync of each file | %.3f s | %.0f MB/s | | | | tool: %.2fx of this | | |",
                   c, t, s / t / 1e6, m / t
        }')")
    fi
    if [ "$reference_too" = yes ] && [ "$with_reference" = 1 ]; then
        local ref_median
        ref_median=$(median_of "$times" reference)
        rows+=("$(awk -v c="$name" -v t="$ref_median" -v f="$floor_median" -v s="$size" 'BEGIN {
            printf "| %s | straightforward reference scan | %.3f s | %.0f MB/s | | dd | %.3f s | %.1fx | | |",
                   c, t, s / t / 1e6, f, t / f
        }')")
    fi
    if [ -n "$exe" ]; then
        local wine_median
        wine_median=$(median_of "$times" wine)
        rows+=("$(awk -v c="$name" -v t="$wine_median" -v f="$floor_median" -v l="$floor_label" -v s="$size" 'BEGIN {
            printf "| %s | RecoverQelSD.exe under Wine | %.3f s | %.0f MB/s | | %s | %.3f s | %.2fx | | |",
                   c, t, s / t / 1e6, l, f, t / f
        }')")
        notes+=("$(awk -v c="$name" -v w="$wine_median" -v t="$tool_median" 'BEGIN {
            printf "- %s: the .exe under Wine takes %.3f s where the native build takes %.3f s (%.2fx)", c, w, t, w / t
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

if [ "$with_reference" = 1 ]; then
    echo "Checking the reference scan against the tool ..." >&2
    check_reference || failed+=("reference check")
fi

for c in $cases; do
    case $c in
        text-random) make_image text-random text-random ;;
        text-dense-none | text-month-all) make_image text-dense text-dense ;;
        text-years-all) make_image text-years text-years --month 202101 ;;
        binary-full-*) make_image binary-full binary-full ;;
        binary-empty) make_image binary-empty binary-empty ;;
    esac
done

for c in $cases; do
    case $c in
        text-random) run_case "$c" text-random 2 read yes text-none 20300101 20300131 ;;
        text-dense-none) run_case "$c" text-dense 5 read yes text-none 20300101 20300131 ;;
        # Lines of 3.4 years in time order: about 1,270 small day files, written in order.
        text-years-all) run_case "$c" text-years 1.5 copy no text-all 20200101 20301231 ;;
        # A month of lines in runs from random moments: 31 day files of about 29 MB, filled out
        # of order, appended to during the scan and then rewritten sorted.
        text-month-all) run_case "$c" text-dense 2 copy+sync no text-all 20240101 20240131 ;;
        binary-full-none) run_case "$c" binary-full 2 read no binary-none 20300101 20300131 BNCH ;;
        binary-full-all) run_case "$c" binary-full 1.2 split no binary-all 20231231 20240202 BNCH ;;
        binary-empty) run_case "$c" binary-empty 1.3 read no binary-none 20300101 20300131 BNCH ;;
        *) failed+=("unknown case $c") ;;
    esac
done

cpu=$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')
cat <<EOF

Processor: $cpu ($(nproc) cores). Images of $size_mib MiB, page-cached; median of $runs rounds after a warm-up round
($((runs * 3)) for the cases that write nothing);
every command of a case timed once in each round, in turn; ratio = tool median / floor median; peak RSS
from \`/usr/bin/time -f %M\` in one more run, whose output was checked (and served as what the floor copies).

| case | program | median time | throughput | peak RSS | floor | floor median | ratio to floor | goal | met |
|---|---|---|---|---|---|---|---|---|---|
EOF
printf '%s\n' "${rows[@]}"
if [ "${#notes[@]}" -gt 0 ]; then
    echo
    printf '%s\n' "${notes[@]}"
fi
echo
echo "Machine: $(nproc) cores, $cpu,"\
     "$(awk '/MemTotal/ { printf "%.1f GiB", $2 / 1048576 }' /proc/meminfo) RAM, kernel $(uname -r);"\
     "commit $(git rev-parse --short HEAD 2>/dev/null || echo unknown)$(git diff --quiet HEAD 2>/dev/null || echo ' (with uncommitted changes)'); $(date -u '+%Y-%m-%d %H:%M UTC')"
echo "hyperfine logs and the checked runs' console output: $logs"

if [ "${#failed[@]}" -ne 0 ]; then
    printf 'FAILED: %s\n' "${failed[@]}" >&2
    exit 1
fi
