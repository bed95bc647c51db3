#!/usr/bin/env bash
# End-to-end test of a disk that fills up: the tool writes onto a small tmpfs. The
# run must report the failure with exit code 1, and every day file and upload file
# must end in a whole line: what a clean run writes, cut at a line end, never half a line.
#
#   full_disk.sh native|windows TOOL TOOLS_DIR
set -u
MODE=$1
TOOL=$(realpath "$2")
TOOLS=$(realpath "$3")
here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib.sh"
prepare_mode

work=$(mktemp -d)
cleanup() {
    for d in "$work"/disk-*; do mountpoint -q "$d" && umount "$d"; done
    rm -rf "$work"
}
trap cleanup EXIT
cd "$work" || exit 1

# small_disk DIR SIZE: mounts a tmpfs of SIZE on DIR, or skips the test where that is not allowed.
small_disk() {
    mkdir "$1"
    if ! mount -t tmpfs -o "size=$2" tmpfs "$1" 2>/dev/null; then
        echo "SKIP full disks: a tmpfs cannot be mounted here (needs root)"
        exit 0
    fi
}

# fills_disk NAME CAPACITY FILE...: the files hold every whole line that fit: together they
# fall short of the disk's CAPACITY bytes by less than a line, and the page that each file
# may leave partly used.
fills_disk() {
    local name=$1 capacity=$2
    shift 2
    local kept
    kept=$(cat "$@" | wc -c)
    if [ $((kept + 40 + 4096 * $#)) -ge "$capacity" ]; then
        pass
    else
        fail "$name: $kept bytes kept on a disk of $capacity: whole lines were dropped"
    fi
}

# whole_line_prefix NAME EXPECTED ACTUAL: ACTUAL is EXPECTED cut after a line end, and not empty.
whole_line_prefix() {
    local size
    size=$(stat -c %s "$3")
    if [ "$size" -eq 0 ]; then
        fail "$1: nothing kept"
    elif ! cmp -s -n "$size" "$2" "$3"; then
        fail "$1: not what a clean run writes"
    elif [ "$(tail -c 1 "$3" | od -An -c | tr -d ' ')" != '\n' ]; then
        fail "$1: ends in part of a line"
    else
        pass
    fi
}

# --- A text card: 12000 lines of one day, 456000 bytes, onto 200 KiB ---
awk 'BEGIN { for (i = 0; i < 12000; i++)
    printf "20240315%02d%02d%02d%08X0A0B0C0D0E0F10\r\n", int(i / 3600) % 24, int(i / 60) % 60, i % 60, i }' >text.img
small_disk disk-text 200k
cd disk-text
run_tool ../text-out ../text.img 20240301 20240331
cd ..
same_status "text card, disk full" 1
same_text "text card, disk full: console" "${banner}Scanning card..."$'\n'"Cannot write output file."$'\n' text-out
# Lines reach the day file in card order; the scan stopped before sorting.
whole_line_prefix "text card, disk full: day file" text.img disk-text/20240315.txt
fills_disk "text card, disk full: day file" $((200 * 1024)) disk-text/20240315.txt

# --- A binary card: its upload files, onto 600 KiB ---
"$TOOLS/make_card" binary card.img manifest --sectors 12000 --seed 7
mkdir clean && (cd clean && run_tool out ../card.img 20240101 20240131 AB12)
cat clean/AB12_* >expected-uploads
small_disk disk-binary 600k
cd disk-binary
run_tool ../binary-out ../card.img 20240101 20240131 AB12
cd ..
same_status "binary card, disk full" 1
without_progress binary-out >binary-console
same_text "binary card, disk full: console" \
    "${banner}Scanning QelD card..."$'\n'"Cannot write Qel file"$'\n'"Cannot store FTP record"$'\n' binary-console
cat disk-binary/AB12_* >uploads
whole_line_prefix "binary card, disk full: upload files" expected-uploads uploads
fills_disk "binary card, disk full: upload files" $((600 * 1024)) disk-binary/AB12_*
for f in disk-binary/AB12_*; do
    if [ -s "$f" ] && [ "$(tail -c 1 "$f" | od -An -c | tr -d ' ')" != '\n' ]; then
        fail "binary card, disk full: ${f#disk-binary/} ends in part of a line"
    else
        pass
    fi
done

finish
