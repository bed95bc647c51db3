#!/usr/bin/env bash
# End-to-end tests of Ctrl-C (SIGINT) and SIGTERM on Linux: a scan of a large
# sparse card is interrupted while it runs.
#
#   interrupt.sh TOOL
set -u
MODE=native
TOOL=$(realpath "$1")
here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib.sh"
prepare_mode

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
# Job control, so that background runs get SIGINT as a terminal's Ctrl-C would deliver it.
set -m

# interrupt_run OUT SIGNALS ARGS...: starts the tool, waits until it shows its first
# progress line, sends each of the comma-separated SIGNALS, and waits; sets $status.
interrupt_run() {
    local out=$1 signals=$2 sig
    shift 2
    "$TOOL" "$@" >"$out" </dev/null &
    local pid=$!
    for _ in $(seq 100); do grep -q MBytes "$out" 2>/dev/null && break; sleep 0.1; done
    # Apart, as a person presses a key twice: signals of one kind sent together arrive as one.
    for sig in ${signals//,/ }; do kill -s "$sig" "$pid"; sleep 0.3; done
    wait "$pid" 2>/dev/null
    status=$?
}

# without_progress FILE: the console text with the progress lines taken out.
truncate -s 64G blank.img

for sig in INT TERM; do
    mkdir "binary-$sig" && cd "binary-$sig"
    interrupt_run out "$sig" ../blank.img 20240101 20240131 AB12
    same_status "binary card, SIG$sig" 1
    without_progress out >console
    same_text "binary card, SIG$sig console" "${banner}Scanning QelD card..."$'\n\nProcessing terminated\r\n0 records found, 0 stored\nFinished.      \n' console
    cd ..
done

# A text card: three lines of one day, out of order, then a long empty stretch.
{
    printf '202403151200000A0102030405060708090A\r\n'
    printf '202403150800000A0102030405060708090A\r\n'
    printf '202403151000000A0102030405060708090A\r\n'
} >lines
cp blank.img text.img
dd if=lines of=text.img conv=notrunc status=none
mkdir text && cd text
interrupt_run out INT ../text.img 20240301 20240331
same_status "text card, SIGINT" 1
without_progress out >console
same_text "text card, SIGINT console" "${banner}Scanning card..."$'\n\nProcessing terminated\r\n'"Sorting files..."$'\n'"20240315.txt   "$'\nReading file...\rSorting data...\rWriting file...\rFinished.      \n' console
LC_ALL=C sort ../lines >expected
same_file "text card, SIGINT: the day file is sorted" expected 20240315.txt
cd ..

# A second Ctrl-C ends the program at once, by the signal: here while a large
# day file is sorted after the first, and that file is never damaged by it.
mkdir twice && cd twice
awk 'BEGIN { for (i = 3000000; i > 0; i--) printf "20240315%06d0A0102030405060708090A\r\n", i }' >20240315.txt
LC_ALL=C sort 20240315.txt >../sorted-big
"$TOOL" ../blank.img 20240301 20240331 >out </dev/null &
pid=$!
for _ in $(seq 100); do grep -q MBytes out 2>/dev/null && break; sleep 0.1; done
kill -s INT "$pid"
for _ in $(seq 100); do grep -q 'Reading file' out 2>/dev/null && break; sleep 0.05; done
kill -s INT "$pid"
wait "$pid" 2>/dev/null
status=$?
same_status "second Ctrl-C" 130
if grep -q 'Finished' out; then fail "second Ctrl-C: the run went on to its end"; else pass; fi
LC_ALL=C sort 20240315.txt >after
same_file "second Ctrl-C: every line of the day file kept" ../sorted-big after
cd ..

finish
