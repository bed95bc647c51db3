#!/usr/bin/env bash
# End-to-end test of a console closed under a running scan (Windows, under Wine): the
# console's handlers run on a new thread, and the process is ended as soon as they return.
# The run must stop in good order before that: upload files closed whole with every line
# it counted as stored, and its closing lines printed. The card (served through FUSE)
# stalls half-way, so that the console is closed while the scan waits for it.
#
#   console_close.sh windows TOOL TOOLS_DIR WINDOWS_TOOLS_DIR
set -u
MODE=$1
TOOL=$(realpath "$2")
TOOLS=$(realpath "$3")
WINDOWS_TOOLS=$(realpath "$4")
here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib.sh"
if [ "$MODE" != windows ]; then
    echo "SKIP closing the console: a Windows event"
    exit 0
fi
prepare_mode

if ! fuse_available; then
    echo "SKIP closing the console: FUSE is not available on this machine"
    exit 0
fi

work=$(mktemp -d)
mounted=""
cleanup() {
    touch "$work/go" 2>/dev/null
    [ -n "$mounted" ] && fusermount3 -u "$mounted" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
cd "$work" || exit 1

"$TOOLS/make_card" binary card.img manifest --sectors 12000 --seed 7
mkdir clean && (cd clean && run_tool out ../card.img 20240101 20240131 AB12)
cat clean/AB12_* >expected-uploads

# The card stalls 3 MiB into the logging data until ./go exists.
mkdir damaged
FAILING_CARD_HOLD="$((256 + 3 * 2048)):$work/go" "$TOOLS/failing_card" card.img "" damaged -f 2>fuse.log &
fuse_pid=$!
for _ in $(seq 100); do [ -e damaged/card.img ] && break; sleep 0.05; done
if [ ! -e damaged/card.img ]; then
    echo "SKIP closing the console: the FUSE file could not be mounted"
    exit 0
fi
mounted=$work/damaged

mkdir read && cd read
wine "$WINDOWS_TOOLS/close_console.exe" ../closed "$(winepath -w "$TOOL")" ../damaged/card.img 20240101 20240131 AB12 \
    >../out.raw 2>../wine-stderr </dev/null &
run=$!
for _ in $(seq 600); do grep -q "3 MBytes" ../out.raw 2>/dev/null && break; sleep 0.1; done
sleep 0.5
# The console closes while the scan waits for the card; the card goes on a second later.
touch ../closed
sleep 1
touch ../go
wait "$run"
status=$?
cd ..
same_status "closing the console: the handlers returned" 0
sed 's/\r$//' out.raw | tr '\r' '\n' | grep -v ' MBytes$' >console
stored=$(sed -n 's/^[0-9]* records found, \([0-9]*\) stored$/\1/p' console)
if grep -q "^Processing terminated$" console && [ -n "$stored" ] && grep -q "^Finished\." console; then
    pass
else
    fail "closing the console: the scan did not stop in good order"
    cat console
fi
cat read/AB12_* >uploads
lines=$(tr -cd '\n' <uploads | wc -c)
if [ "$lines" = "${stored:-none}" ]; then pass; else fail "closing the console: $lines lines in the files, ${stored:-none} stored"; fi
size=$(stat -c %s uploads)
if [ "$size" -gt 0 ] && cmp -s -n "$size" expected-uploads uploads; then
    pass
else
    fail "closing the console: the upload files are not what a whole run begins with"
fi

fusermount3 -u damaged
mounted=""
wait "$fuse_pid" 2>/dev/null
finish
