#!/usr/bin/env bash
# End-to-end tests of damaged cards: the card image is served through
# FUSE with chosen sectors failing with EIO. The outcome must be that of the same
# card with those sectors blank, plus the report of what could not be read and
# exit code 1.
#
#   damaged_card.sh native|windows TOOL TOOLS_DIR
set -u
MODE=$1
TOOL=$(realpath "$2")
TOOLS=$(realpath "$3")
here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib.sh"
prepare_mode

if ! fuse_available; then
    echo "SKIP damaged cards: FUSE is not available on this machine"
    exit 0
fi

work=$(mktemp -d)
mounted=""
loop=""
cleanup() {
    [ -n "$loop" ] && losetup -d "$loop" 2>/dev/null
    [ -n "$mounted" ] && fusermount3 -u "$mounted" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
cd "$work" || exit 1

# serve_damaged IMAGE SECTORS: serves IMAGE as damaged/card.img with SECTORS failing.
serve_damaged() {
    mkdir -p damaged
    "$TOOLS/failing_card" "$1" "$2" damaged -f 2>fuse.log &
    for _ in $(seq 100); do [ -e damaged/card.img ] && break; sleep 0.05; done
    if [ ! -e damaged/card.img ]; then
        echo "SKIP damaged cards: the FUSE file could not be mounted"
        cat fuse.log
        exit 0
    fi
    mounted=$work/damaged
}

unserve() {
    fusermount3 -u damaged
    mounted=""
    wait
}

# --- A binary card: sectors in a row, one alone, one at a read block's edge ---
bad=356,357,358,1000,2304
"$TOOLS/make_card" binary card.img manifest --sectors 6000 --seed 5
cp card.img blank.img
blank_sectors blank.img 377 "$bad"
mkdir clean && (cd clean && run_tool out ../blank.img 20240101 20240131 AB12)
serve_damaged card.img "$bad"
mkdir read && cd read
run_tool out ../damaged/card.img 20240101 20240131 AB12
cd ..
unserve
same_status "damaged binary card" 1
# The damaged run prints what the clean one prints, with the report just before the summary.
report="Cannot read 5 sectors of the card; the first at byte $((356 * 512))."
without_progress clean/out | report_before_summary "$report" >expected-console
without_progress read/out >console
same_file "damaged binary card console" expected-console console
cat clean/AB12_* >expected-lines
cat read/AB12_* >lines
same_file "damaged binary card records" expected-lines lines

# --- A text card: a line cut by an unreadable sector is lost, the others are not ---
awk 'BEGIN { srand(9); for (i = 0; i < 60000; i++)
    printf "202403%02d%02d%02d%02d0A0102030405060708090A\r\n", 1 + i % 28, i % 24, i % 60, int(rand() * 60) }' >text.img
bad=100,101,2047,2048,4000
cp text.img blank-text.img
blank_sectors blank-text.img 000 "$bad"
mkdir text-clean && (cd text-clean && run_tool out ../blank-text.img 20240301 20240331)
serve_damaged text.img "$bad"
mkdir text-read && cd text-read
run_tool out ../damaged/card.img 20240301 20240331
cd ..
unserve
same_status "damaged text card" 1
awk -v report="Cannot read 5 sectors of the card; the first at byte $((100 * 512))." \
    '/^Sorting files/ && !done { print report; done = 1 } { print }' <(without_progress text-clean/out) >expected-console
without_progress text-read/out >console
same_file "damaged text card console" expected-console console
for f in text-clean/20*.txt; do same_file "damaged text card ${f#text-clean/}" "$f" "text-read/${f#text-clean/}"; done

# --- Linux: a card named as a block device, here a read-only loop device over the damaged card ---
# The page cache fails a whole 4 KiB page for one bad sector; exactly that sector is lost.
if [ "$MODE" = native ]; then
    bad=1001
    cp card.img blank-device.img
    blank_sectors blank-device.img 377 "$bad"
    mkdir device-clean && (cd device-clean && run_tool out ../blank-device.img 20240101 20240131 AB12)
    serve_damaged card.img "$bad"
    if loop=$(losetup -r -f --show damaged/card.img 2>/dev/null); then
        mkdir device-read && cd device-read
        run_tool out "$loop" 20240101 20240131 AB12
        cd ..
        losetup -d "$loop"
        loop=""
        same_status "damaged card device" 1
        report="Cannot read 1 sector of the card, at byte $((bad * 512))."
        without_progress device-clean/out | report_before_summary "$report" >expected-console
        without_progress device-read/out >console
        same_file "damaged card device console" expected-console console
        cat device-clean/AB12_* >expected-lines
        cat device-read/AB12_* >lines
        same_file "damaged card device records" expected-lines lines
    else
        echo "SKIP damaged card device: no loop device can be set up here"
    fi
    unserve
fi

finish
