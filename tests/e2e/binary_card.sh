#!/usr/bin/env bash
# End-to-end tests of the command line and the binary-card path on card images.
#
#   binary_card.sh native|windows TOOL TOOLS_DIR
#
# TOOL is build/RecoverQelSD or build-windows/RecoverQelSD.exe; TOOLS_DIR holds
# the native make_card and pty_run. The Windows mode runs the .exe under Wine
# in a private prefix beside the .exe.
set -u
MODE=$1
TOOL=$(realpath "$2")
TOOLS=$(realpath "$3")
here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib.sh"

prepare_mode

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1

start_2024_01_01=$(utc_seconds '2024-01-01 00:00:00')
end_2024_01_31=$(utc_seconds '2024-01-31 00:00:00')

# in_range MANIFEST START END: the record lines of the manifest in range, as an upload file holds them.
in_range() { awk -v s="$2" -v e="$3" '$1 >= s && $1 <= e { printf "%s\r\n", $2 }' "$1"; }

# summary FOUND STORED: the closing lines, without the last line end (which $(...) would drop).
summary() { printf '\n%d records found, %d stored\nFinished.      ' "$1" "$2"; }

# check_upload_files NAME DIR IDENT EXPECTED FIRST_SECOND LAST_SECOND:
# the upload files in DIR, in name order, hold EXPECTED; each but the last
# holds 4097 lines; their names carry a creation stamp within the run and
# sequence numbers that count up within one second.
check_upload_files() {
    local name=$1 dir=$2 ident=$3 expected=$4 first=$5 last=$6
    local files=() f stamp seq previous_stamp="" previous_seq=-1 lines
    mapfile -t files < <(cd "$dir" && ls | grep -E "^${ident}_20[0-9]{12}_[0-9]{2,}\.txt$" | LC_ALL=C sort)
    if [ "${#files[@]}" -eq 0 ]; then fail "$name: no upload file"; return; fi
    (cd "$dir" && cat "${files[@]}") >"$work/all-uploads"
    same_file "$name: upload content" "$expected" "$work/all-uploads"
    for ((i = 0; i < ${#files[@]}; i++)); do
        f=${files[$i]}
        lines=$(wc -l <"$dir/$f")
        if [ "$i" -lt $((${#files[@]} - 1)) ] && [ "$lines" -ne 4097 ]; then fail "$name: $f has $lines lines"; fi
        stamp=${f#"${ident}_20"}
        stamp=${stamp%%_*}
        seq=${f##*_}
        seq=$((10#${seq%.txt}))
        local t
        t=$(utc_seconds "20${stamp:0:2}-${stamp:2:2}-${stamp:4:2} ${stamp:6:2}:${stamp:8:2}:${stamp:10:2}")
        if [ "$t" -lt "$first" ] || [ "$t" -gt "$last" ]; then fail "$name: $f not stamped within the run"; fi
        if [ "$stamp" = "$previous_stamp" ]; then
            [ "$seq" -eq $((previous_seq + 1)) ] || fail "$name: $f does not follow sequence $previous_seq"
        fi
        previous_stamp=$stamp
        previous_seq=$seq
    done
    pass
}

# --- The command line ---
run_tool out
same_text "no arguments" "${banner}Use: RecoverQelSD DriveLetter StartDate EndDate [ QelD_Ident ]
     Start and end date format YYYYMMDD
     Specify 4-character ID for QelD cards
" out
same_status "no arguments" 1

run_tool out ee 20240101 20240131
same_text "bad drive" "${banner}Invalid drive specifier 'ee'."$'\n' out
same_status "bad drive" 1

"$TOOLS/make_card" binary card.img manifest --sectors 6000 --seed 7
run_tool out card.img 2020+1+1 20240131 AB12
same_text "bad start date" "${banner}Invalid start date '2020+1+1'"$'\n' out
run_tool out card.img 20240101 20240131 ../x
same_text "identifier leaving the directory" "${banner}Invalid QelD identifier '../x'"$'\n' out
same_status "identifier leaving the directory" 1
if ls | grep -q '^\.\./x\|_20'; then fail "a refused identifier wrote a file"; fi

run_tool out R 20240101 20240131 AB12
same_text "drive without a card" "${banner}Cannot open card."$'\n' out
same_status "drive without a card" 1

# --- A realistic card, read from its image ---
in_range manifest "$start_2024_01_01" "$end_2024_01_31" >expected-uploads
found=$(wc -l <manifest)
stored=$(awk -v s="$start_2024_01_01" -v e="$end_2024_01_31" '$1 >= s && $1 <= e' manifest | wc -l)
mib=$((6000 * 512 / 1048576))
expected_console="${banner}Scanning QelD card..."$'\n'"$(progress_lines 1 $mib)$(summary "$found" "$stored")"$'\n'

mkdir run1 && cd run1
before=$(date +%s)
run_tool out ../card.img 20240101 20240131 AB12
after=$(date +%s)
same_text "sample card console" "$expected_console" out
same_status "sample card" 0
check_upload_files "sample card" . AB12 ../expected-uploads "$before" "$after"
md5sum AB12_* >../first-run.md5

# A second run in the same directory adds files and never touches the first ones.
before=$(date +%s)
run_tool out2 ../card.img 20240101 20240131 AB12
after=$(date +%s)
same_text "second run console" "$expected_console" out2
if md5sum --quiet -c ../first-run.md5 >/dev/null; then pass; else fail "second run changed the first run's files"; fi
mkdir ../second && for f in AB12_*; do grep -qF " $f" ../first-run.md5 || mv "$f" ../second/; done
check_upload_files "second run" ../second AB12 ../expected-uploads "$before" "$after"
cd ..

# --- The card named by its drive letter ---
mkdir letter && cd letter
if [ "$MODE" = windows ]; then
    ln -sfn "$work/card.img" "$WINEPREFIX/dosdevices/q::"
    run_tool out q: 20240101 20240131 AB12
    rm -f "$WINEPREFIX/dosdevices/q::"
else
    ln -s ../card.img '\\.\Q:'
    run_tool out q: 20240101 20240131 AB12
    rm -f '\\.\Q:'
fi
same_text "drive letter console" "$expected_console" out
check_upload_files "drive letter" . AB12 ../expected-uploads 0 9999999999
cd ..

# --- Date bounds are local standard-time midnights; record times are UTC ---
# zone, offset of its standard time east of UTC in hours, start date. Standard time is the
# smaller of a zone's two offsets, also where the zone's data calls winter time a negative
# saving (Irish time); the Windows runtime reads the zone from TZ in its own notation
# (three-letter names, its own rules of daylight saving).
zones=("UTC0 0 20240701" "JST-9 9 20240701" "CET-1CEST 1 20240701" "EST5EDT -5 20240701")
if [ "$MODE" = native ]; then
    zones+=("Europe/Dublin 0 20240115" "Europe/Dublin 0 20240701" "Europe/London 0 20240701"
        "Europe/Berlin 1 20240701" "Australia/Sydney 10 20240115")
else
    zones+=("GMT0IST 0 20240115" "GMT0IST 0 20240701")
fi
for zone in "${zones[@]}"; do
    set -- $zone
    day=$(date -u -d "$3" +%Y-%m-%d)
    start=$(($(utc_seconds "$day 00:00:00") - $2 * 3600))
    end=$((start + 86400))
    dir="tz-${1//\//-}-$3"
    mkdir "$dir" && cd "$dir"
    "$TOOLS/make_card" binary tz.img tz-manifest --sectors 1 --seed 3 \
        --times "$((start - 3600)),$((start - 1)),$start,$((start + 43200)),$end,$((end + 1))"
    in_range tz-manifest "$start" "$end" >expected
    TZ=$1 run_tool out tz.img "$3" "$(date -u -d "$day + 1 day" +%Y%m%d)" TZ01
    same_text "time zone $1 from $3 console" "${banner}Scanning QelD card..."$'\n'"$(summary 6 3)"$'\n' out
    check_upload_files "time zone $1 from $3" . TZ01 expected 0 9999999999
    cd ..
done

# --- A write that fails (file size limit) is reported, never taken for success ---
# The native tool ignores the signal of the limit itself; Wine is spared it here.
mkdir full && cd full
(if [ "$MODE" = windows ]; then trap '' XFSZ; fi; ulimit -f 64; run_tool out ../card.img 20240101 20240131 AB12; exit $status)
status=$?
tr '\r' '\n' <out | grep -v ' MBytes$' >messages
same_text "file size limit" "${banner}Scanning QelD card..."$'\n'"Cannot write Qel file"$'\n'"Cannot store FTP record"$'\n' messages
same_status "file size limit" 1
cd ..

# --- A volume beyond 4 GiB: 64-bit byte counter and progress figures ---
mkdir large && cd large
"$TOOLS/make_card" binary small.img small-manifest --sectors 64 --seed 11
size_mib=4100
truncate -s $((0x20000 + size_mib * 1048576)) large.img
# The small card's sectors, placed behind the first 4097 MiB of logging data.
dd if=small.img of=large.img bs=512 skip=256 count=64 seek=$((256 + 4097 * 2048)) conv=notrunc status=none
in_range small-manifest "$start_2024_01_01" "$end_2024_01_31" >expected
run_tool out large.img 20240101 20240131 BIG4
same_text "large volume console" "${banner}Scanning QelD card..."$'\n'"$(progress_lines 1 $size_mib)$(summary "$(wc -l <small-manifest)" "$(wc -l <expected)")"$'\n' out
check_upload_files "large volume" . BIG4 expected 0 9999999999
cd ..

# --- Escape on a terminal (Linux: a pseudo-terminal, keys typed before the scan) ---
if [ "$MODE" = native ]; then
    mkdir keys && cd keys
    truncate -s $((0x20000 + 10 * 1048576)) blank.img
    for keys in '\e:1' 'ab\e:3' 'x\e[A\e:3' '\eOP\e:2'; do
        typed=${keys%:*}
        at=${keys##*:}
        "$TOOLS/pty_run" "$typed" out "$TOOL" blank.img 20240101 20240131 KEYS
        status=$?
        same_text "keys $typed console" "${banner}Scanning QelD card..."$'\n'"$(progress_lines 1 "$at")"$'\nProcessing terminated\r'"$(summary 0 0)"$'\n' out
        same_status "keys $typed (0, and the terminal restored)" 0
    done
    "$TOOLS/pty_run" 'abc' out "$TOOL" blank.img 20240101 20240131 KEYS
    status=$?
    same_text "other keys console" "${banner}Scanning QelD card..."$'\n'"$(progress_lines 1 10)$(summary 0 0)"$'\n' out
    same_status "other keys" 0
    cd ..
fi

finish
