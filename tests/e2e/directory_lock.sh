#!/usr/bin/env bash
# End-to-end test of two text runs into one directory at once: the first reads a
# card that stalls half-way (served through FUSE), the second is started meanwhile.
# The second must say that it waits, wait, and go on when the first is done; every
# line of both ends up in the day file, sorted. Natively, Ctrl-C ends a waiting run
# with exit code 1 and nothing written.
#
#   directory_lock.sh native|windows TOOL TOOLS_DIR
set -u
MODE=$1
TOOL=$(realpath "$2")
TOOLS=$(realpath "$3")
here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib.sh"
prepare_mode

if ! fuse_available; then
    echo "SKIP two runs at once: FUSE is not available on this machine"
    exit 0
fi

work=$(mktemp -d)
mounted=""
pids=()
cleanup() {
    touch "$work/go" 2>/dev/null
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
    [ -n "$mounted" ] && fusermount3 -u "$mounted" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
[ -n "${KEEP:-}" ] && trap - EXIT
cd "$work" || exit 1

# start_tool OUT ARGS...: starts the tool in the background in the current directory; sets $pid.
start_tool() {
    local out=$1
    shift
    if [ "$MODE" = windows ]; then
        wine "$TOOL" "$@" >"$out" 2>"$out.wine-stderr" </dev/null &
    else
        "$TOOL" "$@" >"$out" </dev/null &
    fi
    pid=$!
    pids+=("$pid")
}

# finish_tool PID OUT: waits for the run; sets $status and leaves its console in OUT.txt
# (CR LF turned into LF for the .exe).
finish_tool() {
    wait "$1"
    status=$?
    if [ "$MODE" = windows ]; then sed 's/\r$//' "$2" >"$2.txt"; else cp "$2" "$2.txt"; fi
}

# wait_for TEXT FILE: waits up to 60 s until FILE holds TEXT.
wait_for() {
    for _ in $(seq 600); do grep -q "$1" "$2" 2>/dev/null && return 0; sleep 0.1; done
    return 1
}

# lines SEED COUNT: COUNT record lines of 15 March 2024 in no particular order.
lines() {
    awk -v seed="$1" -v n="$2" 'BEGIN { srand(seed); for (i = 0; i < n; i++)
        printf "20240315%02d%02d%02d%08X0A0B0C0D0E0F10\r\n", int(rand() * 24), int(rand() * 60), int(rand() * 60), i }'
}

# Card A: 20000 lines, 6 MiB of other bytes, 20000 lines; it stalls at 4 MiB until ./go exists.
lines 1 20000 >a-first
lines 2 20000 >a-second
{ cat a-first; head -c $((6 << 20)) /dev/zero; cat a-second; } >a.img
# Card B, read from its image: 20000 more lines of the same day.
lines 3 20000 >b.img

mkdir damaged out
FAILING_CARD_HOLD="8192:$work/go" "$TOOLS/failing_card" a.img "" damaged -f 2>fuse.log &
fuse_pid=$!
for _ in $(seq 100); do [ -e damaged/card.img ] && break; sleep 0.05; done
if [ ! -e damaged/card.img ]; then
    echo "SKIP two runs at once: the FUSE file could not be mounted"
    cat fuse.log
    exit 0
fi
mounted=$work/damaged

cd out
start_tool ../a-out ../damaged/card.img 20240301 20240331
a_pid=$pid
wait_for "Scanning card" ../a-out || fail "first run: never started its scan"
# The first run now holds the directory and waits for its card.
start_tool ../b-out ../b.img 20240301 20240331
b_pid=$pid
waiting="Waiting for another run in this directory..."
if wait_for "$waiting" ../b-out; then pass; else fail "second run: no waiting line"; fi
sleep 1
if kill -0 "$b_pid" 2>/dev/null; then pass; else fail "second run: did not wait for the first"; fi

if [ "$MODE" = native ]; then
    # A third run, stopped with Ctrl-C while it waits: exit code 1, and it wrote nothing.
    ls -l >../listing-before
    set -m
    "$TOOL" ../b.img 20240301 20240331 >../c-out </dev/null &
    c_pid=$!
    set +m
    wait_for "$waiting" ../c-out || fail "third run: no waiting line"
    kill -s INT "$c_pid"
    wait "$c_pid"
    status=$?
    same_status "Ctrl-C while waiting" 1
    same_text "Ctrl-C while waiting: console" "${banner}${waiting}"$'\nProcessing terminated\n' ../c-out
    ls -l >../listing-after
    same_file "Ctrl-C while waiting: nothing written" ../listing-before ../listing-after
fi

touch "$work/go"
finish_tool "$a_pid" ../a-out
same_status "first run" 0
finish_tool "$b_pid" ../b-out
same_status "second run" 0
sort_lines=$'Sorting files...\n20240315.txt   \nReading file...\rSorting data...\rWriting file...\rFinished.      \n'
without_progress ../a-out.txt >../a-console
same_text "first run: console" "${banner}Scanning card..."$'\n\n'"$sort_lines" ../a-console
without_progress ../b-out.txt >../b-console
same_text "second run: console" "${banner}${waiting}"$'\nScanning card...\n\n'"$sort_lines" ../b-console
cat ../a-first ../a-second ../b.img | LC_ALL=C sort >../expected
same_file "every line of both runs in the day file, sorted" ../expected 20240315.txt
cd ..

fusermount3 -u damaged
mounted=""
wait "$fuse_pid" 2>/dev/null
finish
