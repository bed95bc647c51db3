#!/usr/bin/env bash
# End-to-end tests of the text-log path on a FAT32 card image made with the
# real tools: log files of record lines, some of them deleted after writing.
#
#   text_card.sh native|windows TOOL
#
# The day files are compared with an independent extraction of the image's
# record lines (grep -a, awk and LC_ALL=C sort). KEEP=1 keeps the work directory.
set -u
MODE=$1
TOOL=$(realpath "$2")
here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib.sh"

prepare_mode
export MTOOLS_SKIP_CHECK=1

work=$(mktemp -d)
trap '[ -n "${KEEP:-}" ] || rm -rf "$work"' EXIT
chmod 755 "$work"
cd "$work" || exit 1

# log_file SEED COUNT: COUNT record lines of 2024 (most of them of March), with
# some lines that no scan may take: lower-case digits, a lone LF, one digit
# too many, month 13.
log_file() {
    awk -v seed="$1" -v count="$2" 'BEGIN {
        srand(seed); hex = "0123456789ABCDEF"
        for (i = 0; i < count; i++) {
            month = (rand() < 0.8) ? 3 : 2 + int(rand() * 3)
            line = sprintf("2024%02d%02d%02d%02d%02d", month, 1 + int(rand() * 28),
                           int(rand() * 24), int(rand() * 60), int(rand() * 60))
            for (k = 0; k < 22; k++) line = line substr(hex, 1 + int(rand() * 16), 1)
            r = rand()
            if (r < 0.02) line = tolower(line) "\r"
            else if (r < 0.04) line = line
            else if (r < 0.06) line = line "7\r"
            else if (r < 0.08) line = substr(line, 1, 4) "13" substr(line, 7) "\r"
            else line = line "\r"
            print line
        }
    }'
}

# day_lines IMAGE FROM TO: the well-formed record lines of the image dated
# FROM to TO (YYYYMMDD), each with its date first.
day_lines() {
    tr '\000' '\n' <"$1" | LC_ALL=C grep -aE '^20[0-9A-F]{34}'$'\r''$' |
        awk -v from="$2" -v to="$3" '{
            y = substr($0, 1, 4) + 0; m = substr($0, 5, 2) + 0; d = substr($0, 7, 2) + 0
            split("31 28 31 30 31 30 31 31 30 31 30 31", days, " ")
            if (y % 4 == 0) days[2] = 29
            if (substr($0, 1, 8) !~ /^[0-9]+$/ || m < 1 || m > 12 || d < 1 || d > days[m]) next
            if (y < 2000 || y > 2030) next
            date = substr($0, 1, 8)
            if (date >= from && date <= to) print date, $0
        }'
}

# expected_day_files IMAGE FROM TO DIR COPIES: writes into DIR the day files that
# COPIES runs over the image must leave: every line COPIES times, sorted.
expected_day_files() {
    mkdir -p "$4"
    day_lines "$1" "$2" "$3" >"$work/lines"
    local date
    for date in $(cut -d' ' -f1 "$work/lines" | sort -u); do
        for ((c = 0; c < $5; c++)); do grep "^$date " "$work/lines"; done | cut -d' ' -f2- |
            LC_ALL=C sort >"$4/$date.txt"
    done
}

# sort_console DIR: what the sorting prints for the day files in DIR.
sort_console() {
    printf 'Sorting files...\n'
    local f
    for f in $(cd "$1" && ls | LC_ALL=C sort); do
        printf '%s   \nReading file...\rSorting data...\rWriting file...\r' "$f"
    done
    printf 'Finished.      \n'
}

# same_dir NAME EXPECTED ACTUAL: both hold the same day files, byte for byte.
same_dir() {
    local f
    if [ "$(cd "$2" && ls | LC_ALL=C sort)" != "$(cd "$3" && ls 20??????.txt | LC_ALL=C sort)" ]; then
        fail "$1: other day files than expected"
        return
    fi
    for f in $(cd "$2" && ls); do same_file "$1: $f" "$2/$f" "$3/$f"; done
}

# --- The card: a FAT32 volume of 64 MiB and 64 KiB of trailing bytes ---
mkfs.fat -F 32 -S 512 -s 1 -n QELCARD -C card.img $((64 * 1024)) >/dev/null 2>&1 || { fail "mkfs.fat"; finish; exit; }
for n in 1 2 3 4 5 6; do
    log_file "$n" 3000 >"LOG$n.TXT"
    mcopy -i card.img "LOG$n.TXT" ::/ || fail "mcopy LOG$n.TXT"
done
mmd -i card.img ::/OLD
log_file 7 2000 >LOG7.TXT
mcopy -i card.img LOG7.TXT ::/OLD/
# Deleted files: their lines stay in the free space, and the scan finds them.
mdel -i card.img ::/LOG2.TXT ::/LOG5.TXT ::/OLD/LOG7.TXT
if mdir -i card.img ::/ | grep -q LOG2; then fail "LOG2.TXT was not deleted"; fi
# Bytes that hold no record line after the volume, so that the last progress
# figure is reached well before the end.
head -c 65536 /dev/zero | tr '\000' 'X' >>card.img
mib=64

scan_console="${banner}Scanning card..."$'\n'"$(progress_lines 1 $mib)"$'\n'

expected_day_files card.img 20240301 20240331 expected-once 1
expected_day_files card.img 20240301 20240331 expected-twice 2
lines=$(cat expected-once/*.txt | wc -l)
[ "$lines" -gt 10000 ] && pass || fail "the card holds only $lines lines of March"
grep -q . <(day_lines card.img 20240301 20240331 | grep -F -f <(log_file 2 3000 | tr -d '\r')) &&
    pass || fail "no line of a deleted file in the expectation"

# --- First run, through the image path ---
mkdir run && cd run
run_tool out ../card.img 20240301 20240331
same_text "text card console" "$scan_console$(sort_console ../expected-once)"$'\n' out
same_status "text card" 0
same_dir "text card day files" ../expected-once .

# --- A second run appends the same lines again; sorting puts each pair side by side ---
run_tool out ../card.img 20240301 20240331
same_text "second text run console" "$scan_console$(sort_console ../expected-twice)"$'\n' out
same_dir "second text run day files" ../expected-twice .
cd ..

# --- The card named by its drive letter ---
mkdir letter && cd letter
if [ "$MODE" = windows ]; then
    ln -sfn "$work/card.img" "$WINEPREFIX/dosdevices/q::"
    run_tool out Q 20240301 20240331
    rm -f "$WINEPREFIX/dosdevices/q::"
else
    ln -s ../card.img '\\.\Q:'
    run_tool out Q 20240301 20240331
    rm -f '\\.\Q:'
fi
same_text "drive letter text console" "$scan_console$(sort_console ../expected-once)"$'\n' out
same_dir "drive letter day files" ../expected-once .
cd ..

# --- Nothing in range, and no day file of an earlier run ---
mkdir empty && cd empty
run_tool out ../card.img 20300101 20300131
same_text "nothing in range" "${scan_console}Sorting files..."$'\n'"Cannot find any files to sort."$'\n' out
same_status "nothing in range" 1
cd ..

# --- A read-only day file is left as it was (as a user to whom read-only means it) ---
if [ "$MODE" = native ] && command -v setpriv >/dev/null && [ "$(id -u)" -eq 0 ]; then
    mkdir readonly && cd readonly
    printf '202403019999\r\n' >20240301.txt
    chmod 444 20240301.txt
    cp -p 20240301.txt before.txt
    chown -R nobody:nogroup .
    setpriv --reuid=nobody --regid=nogroup --clear-groups "$TOOL" ../card.img 20300101 20300101 >out </dev/null
    status=$?
    same_text "read-only day file console" "${scan_console}Sorting files..."$'\n'"20240301.txt   "$'\n'"Reading file..."$'\r'"Sorting data..."$'\r'"Cannot open file for writing."$'\n' out
    same_status "read-only day file" 1
    same_file "read-only day file content" before.txt 20240301.txt
    cd ..
fi

finish
