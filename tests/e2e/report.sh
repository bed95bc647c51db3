#!/usr/bin/env bash
# End-to-end tests of the run report and of --unique, --check-crc, --output-dir
# and --list, on card images made with the real tools. Every report is checked
# against the files that the run actually wrote.
#
#   report.sh native|windows TOOL TOOLS_DIR
#
# KEEP=1 keeps the work directory.
set -u
MODE=$1
TOOL=$(realpath "$2")
TOOLS=$(realpath "$3")
here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib.sh"

prepare_mode
export MTOOLS_SKIP_CHECK=1

work=$(mktemp -d)
mounted=""
cleanup() {
    [ -n "$mounted" ] && fusermount3 -u "$mounted" 2>/dev/null
    [ -n "${KEEP:-}" ] || rm -rf "$work"
}
trap cleanup EXIT
cd "$work" || exit 1

# log_lines SEED COUNT: COUNT record lines with correct checksums, CR LF, most of
# them of March 2024, some of February and April, a few not well formed.
log_lines() {
    python3 - "$1" "$2" <<'EOF'
import random, sys
def crc16(data):
    crc = 0xFFFF
    for b in data:
        crc ^= b
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return crc
rnd = random.Random(int(sys.argv[1]))
out = sys.stdout.buffer
for _ in range(int(sys.argv[2])):
    month = 3 if rnd.random() < 0.8 else rnd.choice([2, 4])
    payload = bytes(rnd.randrange(256) for _ in range(8))
    crc = crc16(payload)
    line = "24%02d%02d%02d%02d%02d%02X%s%02X%02X" % (month, rnd.randint(1, 28), rnd.randrange(24), rnd.randrange(60),
                                                   rnd.randrange(60), rnd.randrange(256), payload.hex().upper(),
                                                   crc & 0xFF, crc >> 8)
    if rnd.random() < 0.03:
        line = line.lower()
    out.write(("20" + line + "\r\n").encode())
EOF
}

# splice FILE: record lines made of the first 24 bytes of one line of FILE and the rest of
# another, as a raw scan meets them where one file's cluster ends and another's begins.
splice() {
    python3 - "$1" <<'EOF'
import sys
lines = [l for l in open(sys.argv[1], "rb").read().split(b"\n") if l.startswith(b"202403") and l.upper() == l]
for a, b in zip(lines[0:70:10], lines[5:75:10]):
    if a[14:30] != b[14:30]:
        sys.stdout.buffer.write(a[:24] + b[24:] + b"\n")
EOF
}

# check_report REPORT DIR FRESH: the report's files are the day or upload files in DIR, with
# their line counts; its records written add up, and its first and last records are the
# earliest and latest stamps in those files. FRESH=1: DIR held nothing before this run.
check_report() {
    local result
    result=$(python3 - "$@" <<'EOF'
import json, os, sys
report = json.load(open(sys.argv[1]))
folder, fresh = sys.argv[2], sys.argv[3] == "1"
errors = []
names = sorted(f["name"] for f in report["files"])
on_disk = sorted(n for n in os.listdir(folder) if n.endswith(".txt") and (n.startswith("20") or "_" in n))
if names != on_disk:
    errors.append("files %s, on disk %s" % (names, on_disk))
stamps, total = [], 0
for f in report["files"]:
    path = os.path.join(folder, f["name"])
    lines = open(path, "rb").read().splitlines() if os.path.exists(path) else []
    day_file = "_" not in f["name"]
    if day_file and f.get("lines_after_sort") != len(lines):
        errors.append("%s: lines_after_sort %s, %d lines" % (f["name"], f.get("lines_after_sort"), len(lines)))
    if not day_file and "lines_after_sort" in f:
        errors.append("%s: lines_after_sort in an upload file" % f["name"])
    if fresh and f["records"] != len(lines):
        errors.append("%s: records %d, %d lines" % (f["name"], f["records"], len(lines)))
    total += f["records"]
    if fresh:
        stamps += [l[:14].decode() for l in lines]
if total != report["records_written"]:
    errors.append("records of the files %d, records_written %d" % (total, report["records_written"]))
def iso(s):
    return "%s-%s-%sT%s:%s:%s" % (s[0:4], s[4:6], s[6:8], s[8:10], s[10:12], s[12:14])
if fresh:
    first = iso(min(stamps)) if stamps else None
    last = iso(max(stamps)) if stamps else None
    if (report["first_record"], report["last_record"]) != (first, last):
        errors.append("first/last %s %s, files %s %s" % (report["first_record"], report["last_record"], first, last))
print("; ".join(errors) or "ok")
EOF
)
    if [ "$result" = ok ]; then pass; else fail "$1: $result"; fi
}

# field REPORT EXPR: the value of the Python expression EXPR over the report `r`, as JSON.
field() { python3 -c 'import json, sys; r = json.load(open(sys.argv[1])); print(json.dumps(eval(sys.argv[2])))' "$1" "$2"; }

# same_field NAME REPORT EXPR EXPECTED
same_field() {
    local value
    value=$(field "$2" "$3")
    if [ "$value" = "$4" ]; then pass; else fail "$1: $3 is $value, expected $4"; fi
}

# same_day_files NAME EXPECTED-DIR ACTUAL-DIR: the same day files, byte for byte.
same_day_files() {
    local f
    if [ "$(cd "$2" && ls 20??????.txt)" != "$(cd "$3" && ls 20??????.txt)" ]; then
        fail "$1: other day files in $3 than in $2"
        return
    fi
    for f in $(cd "$2" && ls 20??????.txt); do same_file "$1: $f" "$2/$f" "$3/$f"; done
}

# --- A FAT32 text card: a log file, a longer one that repeats its first half, the first one deleted ---
mkfs.fat -F 32 -S 512 -s 1 -n QELCARD -C card.img $((40 * 1024)) >/dev/null 2>&1 || { fail "mkfs.fat"; finish; exit; }
log_lines 1 3000 >LOG1.TXT
{ head -n 1500 LOG1.TXT; log_lines 2 1500; } >LOG2.TXT
mcopy -i card.img LOG1.TXT LOG2.TXT ::/ || fail "mcopy"
mdel -i card.img ::/LOG1.TXT
# Spliced lines in the free space at 32 MiB, each after a line feed as a cluster's content.
splice LOG2.TXT >spliced
spliced_count=$(wc -l <spliced)
[ "$spliced_count" -ge 5 ] && pass || fail "only $spliced_count spliced lines"
{ printf '\n'; cat spliced; } >planted
dd if=planted of=card.img bs=1M seek=32 conv=notrunc status=none
# The card's well-formed lines of any date, of March, and the spliced ones among them.
python3 - card.img >card-counts <<'EOF'
import re, sys
data = open(sys.argv[1], "rb").read()
lines = re.findall(rb"(?<![0-9A-Fa-f])(20(\d{6})[0-9A-F]{28})\r\n", data)
def valid(date):
    y, m, d = int(date[0:2]), int(date[2:4]), int(date[4:6])
    days = [31, 29 if y % 4 == 0 else 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31]
    return 1 <= m <= 12 and 1 <= d <= days[m - 1] and y <= 30
found = [l for l, date in lines if valid(date.decode())]
print(len(found), sum(1 for l in found if l.startswith(b"202403")))
EOF
read -r card_found card_march <card-counts

# The plain run, without options, is what every other run is compared with.
mkdir plain && cd plain
run_tool out ../card.img 20240301 20240331
cd ..
same_status "plain text run" 0

# --- The report of a clean text card, written beside the files ---
mkdir reported && cd reported
run_tool out ../card.img 20240301 20240331 --report report.json
cd ..
same_status "text run with a report" 0
same_file "a report leaves the console as it was" plain/out reported/out
same_day_files "a report leaves the day files as they were" plain reported
check_report reported/report.json reported 1
same_field "text report" reported/report.json '[r["version"], r["card_kind"], r["start_date"], r["end_date"], r["card"]]' \
    '["1.01", "text", "2024-03-01", "2024-03-31", {"given": "../card.img", "opened": "../card.img"}]'
same_field "text report sizes" reported/report.json '[r["bytes_total"], r["bytes_scanned"], r["unreadable_sectors"]]' \
    "[$(stat -c %s card.img), $(stat -c %s card.img), []]"
same_field "text report counts" reported/report.json \
    '[r["records_found"], r["records_in_range"], r["records_written"], r["duplicates_dropped"], r["crc_mismatches"]]' \
    "[$card_found, $card_march, $card_march, 0, $spliced_count]"
same_field "text report end" reported/report.json '[r["interrupted"], r["exit_code"]]' '[false, 0]'

# --- --check-crc leaves out exactly the spliced lines ---
mkdir crc && cd crc
run_tool out ../card.img 20240301 20240331 --check-crc --report report.json
cd ..
same_status "--check-crc" 0
mkdir crc-expected
for f in plain/20*.txt; do grep -v -F -f <(sed 's/\r$//' spliced) "$f" >"crc-expected/${f#plain/}"; done
same_day_files "--check-crc day files" crc-expected crc
awk -v note="$spliced_count lines with a wrong checksum dropped." '/^Sorting files/ { print note } { print }' plain/out \
    >crc-expected-console
same_file "--check-crc console" crc-expected-console crc/out
check_report crc/report.json crc 1
same_field "--check-crc report" crc/report.json '[r["records_in_range"], r["records_written"], r["crc_mismatches"]]' \
    "[$card_march, $((card_march - spliced_count)), $spliced_count]"

# --- -C writes into another directory and leaves the current one untouched ---
mkdir here there && cd here
echo keep >note.txt
before=$(ls -Al --time-style=full-iso .; stat -c %y .)
run_tool ../out-C ../card.img 20240301 20240331 -C ../there --report ../there.json
after=$(ls -Al --time-style=full-iso .; stat -c %y .)
cd ..
same_status "-C" 0
[ "$before" = "$after" ] && pass || fail "-C: the current directory changed"
same_file "-C console" plain/out out-C
same_day_files "-C day files" plain there
check_report there.json there 1
mkdir long && (cd long && run_tool out ../card.img 20240301 20240331 --output-dir=../there)
same_file "a second run through --output-dir= appends" <(cat plain/20240301.txt plain/20240301.txt | LC_ALL=C sort) \
    there/20240301.txt
cd here
run_tool ../out-missing ../card.img 20240301 20240331 -C ../nowhere --report ../nowhere.json
cd ..
same_status "-C with a missing directory" 1
same_text "-C with a missing directory console" "${banner}Cannot open output directory '../nowhere'."$'\n' out-missing
[ ! -e nowhere.json ] && pass || fail "a report after a refused argument"

# --- --unique: two runs over the same card leave the day files of one ---
mkdir unique-expected
for f in plain/20*.txt; do LC_ALL=C sort -u "$f" >"unique-expected/${f#plain/}"; done
plain_lines=$(cat plain/20*.txt | wc -l)
unique_lines=$(cat unique-expected/20*.txt | wc -l)
[ "$unique_lines" -lt "$plain_lines" ] && pass || fail "the card holds no repeated line"
mkdir unique && cd unique
run_tool out1 ../card.img 20240301 20240331 --unique --report report1.json
status1=$status
run_tool out2 ../card.img 20240301 20240331 --unique --report report2.json
cd ..
[ "$status1" = 0 ] && same_status "--unique twice" 0 || fail "--unique: first run exit code $status1"
same_day_files "--unique day files" unique-expected unique
sed 's/Finished\.      $/'"$((plain_lines - unique_lines))"' duplicate lines dropped.\nFinished.      /' plain/out \
    >unique-expected-console
same_file "--unique first console" unique-expected-console unique/out1
tail_text=$'\r'"$card_march duplicate lines dropped."$'\nFinished.      \n'
same_text "--unique second console tail" "$tail_text" <(tail -c ${#tail_text} unique/out2)
check_report unique/report2.json unique 0
same_field "--unique first report" unique/report1.json '[r["records_written"], r["duplicates_dropped"]]' \
    "[$card_march, $((plain_lines - unique_lines))]"
same_field "--unique second report" unique/report2.json '[r["records_written"], r["duplicates_dropped"]]' \
    "[$card_march, $card_march]"

# --- A binary card: upload files and the records of the manifest ---
"$TOOLS/make_card" binary bin.img manifest --sectors 9000 --seed 3 --from 1703980800 --to 1707091200
start=$(utc_seconds '2024-01-01 00:00:00')
end=$(utc_seconds '2024-01-31 00:00:00')
in_range=$(awk -v s="$start" -v e="$end" '$1 >= s && $1 <= e' manifest | wc -l)
[ "$in_range" -gt 4097 ] && pass || fail "only $in_range binary records in range: no second upload file"
mkdir binary && cd binary
run_tool out ../bin.img 20240101 20240131 AB12 --report report.json
cd ..
same_status "binary run with a report" 0
check_report binary/report.json binary 1
same_field "binary report" binary/report.json \
    '[r["card_kind"], r["records_found"], r["records_in_range"], r["records_written"], len(r["files"])]' \
    "[\"binary\", $(wc -l <manifest), $in_range, $in_range, $(( (in_range + 4096) / 4097 ))]"
same_field "binary report sizes" binary/report.json '[r["bytes_total"], r["bytes_scanned"], r["interrupted"], r["exit_code"]]' \
    "[$(stat -c %s bin.img), $(stat -c %s bin.img), false, 0]"
mkdir binary-C binary-there && cd binary-C
run_tool out ../bin.img 20240101 20240131 AB12 -C ../binary-there
cd ..
same_status "binary -C" 0
cat binary/AB12_* >binary-lines
cat binary-there/AB12_* >binary-there-lines
same_file "binary -C upload lines" binary-lines binary-there-lines
[ -z "$(ls binary-C | grep -v '^out')" ] && pass || fail "binary -C: files in the current directory"
cd binary
run_tool out-unique ../bin.img 20240101 20240131 AB12 --unique --report refused.json
cd ..
same_status "--unique on a binary card" 1
same_text "--unique on a binary card console" "${banner}Invalid option '--unique'."$'\n' binary/out-unique
[ ! -e binary/refused.json ] && pass || fail "a report after a refused option"

# --- A report that cannot be written ---
mkdir unwritable && cd unwritable
run_tool out ../card.img 20240301 20240331 --report missing/report.json
cd ..
same_status "unwritable report" 1
same_text "unwritable report console" "$(cat plain/out)"$'\nCannot write report file.\n' unwritable/out
same_day_files "unwritable report: the recovery is done" plain unwritable

# --- A run that fails still leaves its report: no line of the range, no day file to sort ---
mkdir empty-range && cd empty-range
run_tool out ../card.img 20250101 20250131 --report report.json
cd ..
same_status "no line in range" 1
same_field "no line in range report" empty-range/report.json \
    '[r["records_found"], r["records_in_range"], r["records_written"], r["files"], r["first_record"], r["exit_code"]]' \
    "[$card_found, 0, 0, [], null, 1]"

# --- --list ---
run_tool list-out --list
same_status "--list" 0
[ "$(head -n 1 list-out)" = "${banner%%$'\n'*}" ] && pass || fail "--list: no banner"
if [ "$MODE" = windows ]; then
    grep -q '^C: ' list-out && pass || fail "--list: no line for drive C: in $(cat list-out)"
else
    # Every block device of the machine, with its size.
    for dev in /sys/block/*; do
        name=${dev##*/}
        bytes=$(( $(cat "$dev/size") * 512 ))
        line=$(grep "^/dev/$name " list-out)
        [ -n "$line" ] && pass || fail "--list: no line for /dev/$name"
        if [ "$bytes" -lt 1024 ]; then
            [[ "$line" == *" $bytes bytes"* ]] && pass || fail "--list: /dev/$name is not $bytes bytes: $line"
        fi
    done
fi

# --- A damaged card served through FUSE (where it is available) ---
if fuse_available; then
    mkdir damaged
    "$TOOLS/failing_card" card.img 100,101,2047,2048,2049,40000 damaged -f 2>fuse.log &
    for _ in $(seq 100); do [ -e damaged/card.img ] && break; sleep 0.05; done
    if [ -e damaged/card.img ]; then
        mounted=$work/damaged
        mkdir damaged-run && cd damaged-run
        run_tool out ../damaged/card.img 20240301 20240331 --report report.json
        cd ..
        fusermount3 -u damaged
        mounted=""
        wait
        same_status "damaged card" 1
        check_report damaged-run/report.json damaged-run 1
        same_field "damaged card runs" damaged-run/report.json '[r["unreadable_sectors"], r["exit_code"]]' \
            "[[{\"offset\": $((100 * 512)), \"count\": 2}, {\"offset\": $((2047 * 512)), \"count\": 3}, {\"offset\": $((40000 * 512)), \"count\": 1}], 1]"
        grep -q "^Cannot read 6 sectors of the card; the first at byte $((100 * 512))\.$" damaged-run/out && pass ||
            fail "damaged card: no matching Cannot read line"
    else
        echo "SKIP damaged card report: the FUSE file could not be mounted"
    fi
else
    echo "SKIP damaged card report: FUSE is not available on this machine"
fi

# --- An interrupted run (Linux signals) ---
if [ "$MODE" = native ]; then
    set -m
    truncate -s 64G big.img
    head -n 40 LOG2.TXT | dd of=big.img conv=notrunc status=none
    mkdir interrupted && cd interrupted
    "$TOOL" ../big.img 20240301 20240331 --report report.json >out </dev/null &
    pid=$!
    for _ in $(seq 100); do grep -q MBytes out 2>/dev/null && break; sleep 0.1; done
    kill -s INT "$pid"
    wait "$pid" 2>/dev/null
    status=$?
    set +m
    cd ..
    same_status "interrupted run" 1
    check_report interrupted/report.json interrupted 1
    same_field "interrupted report" interrupted/report.json \
        '[r["interrupted"], r["exit_code"], r["bytes_total"], 0 < r["bytes_scanned"] < r["bytes_total"]]' \
        "[true, 1, $((64 << 30)), true]"
    # A binary card: Ctrl-C while the empty sectors go by.
    set -m
    mkdir interrupted-binary && cd interrupted-binary
    "$TOOL" ../big.img 20240101 20240131 AB12 --report report.json >out </dev/null &
    pid=$!
    for _ in $(seq 100); do grep -q MBytes out 2>/dev/null && break; sleep 0.1; done
    kill -s INT "$pid"
    wait "$pid" 2>/dev/null
    status=$?
    set +m
    cd ..
    same_status "interrupted binary run" 1
    same_field "interrupted binary report" interrupted-binary/report.json \
        '[r["card_kind"], r["interrupted"], r["exit_code"], r["records_written"], r["files"], 131072 < r["bytes_scanned"] < r["bytes_total"]]' \
        '["binary", true, 1, 0, [], true]'
fi

finish
