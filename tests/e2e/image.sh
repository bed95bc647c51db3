#!/usr/bin/env bash
# End-to-end tests of --image and --mapfile, and of the option parser's own messages.
# Native: an image made of a card served through FUSE with failing sectors, checked
# with the rescue tool's own ddrescuelog and completed by ddrescue; a mapfile run on
# that image; Ctrl-C, Escape and a full disk while the image is written.
# Windows (Wine): both options on image files.
#
#   image.sh native|windows TOOL TOOLS_DIR
set -u
MODE=$1
TOOL=$(realpath "$2")
TOOLS=$(realpath "$3")
here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib.sh"
prepare_mode

if ! command -v ddrescue >/dev/null || ! command -v ddrescuelog >/dev/null; then
    echo "SKIP images: GNU ddrescue is not installed (Debian package gddrescue)"
    exit 0
fi

work=$(mktemp -d)
mounted=""
small=""
cleanup() {
    [ -n "$mounted" ] && fusermount3 -u "$mounted" 2>/dev/null
    [ -n "$small" ] && umount "$small" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
cd "$work" || exit 1

# map_areas MAP: the areas of a mapfile as "pos size status" lines in decimal.
map_areas() {
    local seen_status=0 pos size st
    while read -r pos size st _; do
        case $pos in '' | '#'*) continue ;; esac
        if [ $seen_status = 0 ]; then seen_status=1; continue; fi
        echo "$((pos)) $((size)) $st"
    done <"$1"
}

# bad_sectors_of MAP: the sector numbers that the mapfile marks '-', comma-separated, as ddrescuelog lists them.
bad_sectors_of() { ddrescuelog -b512 -l- "$1" | paste -sd, -; }

# check_map NAME CARD IMAGE MAP: the rescue tool accepts MAP; it covers CARD whole; every '+' area of
# it holds the card's bytes in IMAGE; the image ends where the untried areas begin.
check_map() {
    local name=$1 card=$2 image=$3 map=$4 pos size st end=0 handled=0 ok=1
    if ! ddrescuelog -t "$map" >/dev/null 2>&1; then fail "$name: ddrescuelog refuses the mapfile"; return; fi
    while read -r pos size st; do
        if [ "$pos" != "$end" ]; then ok=0; echo "area at $pos, expected $end"; fi
        end=$((pos + size))
        [ "$st" != '?' ] && handled=$end
        if [ "$st" = + ] && ! cmp -s -i "$pos:$pos" -n "$size" "$card" "$image"; then
            ok=0
            echo "area $pos+$size differs from the card"
        fi
    done < <(map_areas "$map")
    [ "$end" = "$(stat -c %s "$card")" ] || { ok=0; echo "the mapfile ends at $end"; }
    [ "$handled" = "$(stat -c %s "$image")" ] || { ok=0; echo "the image holds $(stat -c %s "$image") bytes, $handled handled"; }
    if [ $ok = 1 ]; then pass; else fail "$name: mapfile and image disagree"; fi
}

# --- The options' own messages ---
mkdir options && cd options
run_tool out --help
same_status "--help" 0
same_text "--help console" "${banner}"'Use: RecoverQelSD DriveLetter StartDate EndDate [ QelD_Ident ]
     Start and end date format YYYYMMDD
     Specify 4-character ID for QelD cards
  --image FILE           save an image of the card into the new FILE, and a rescue mapfile FILE.map
  --mapfile FILE         read only the sectors that the rescue mapfile FILE marks as read ('"'+'"')
  -C, --output-dir DIR   write the day files or upload files into the existing directory DIR
  --report FILE          write a JSON report of the run into FILE
  --unique               text cards: keep one copy of lines that are equal byte for byte in the day files
  --check-crc            text cards: leave out lines whose checksum does not match their data
  --list                 list the drives and devices that can hold a card, and stop
  --help                 print this help and stop
  --version              print the version and stop
' out
for bad in --imag --image --help=yes; do
    run_tool out E 20240101 20240131 "$bad"
    same_status "invalid option $bad" 1
    same_text "invalid option $bad console" "${banner}Invalid option '$bad'."$'\n' out
done
cd ..

# --- Refusals before the card is read ---
"$TOOLS/make_card" binary card.img manifest --sectors 6000 --seed 5
mkdir refused && cd refused
printf 'keep' >taken.img
run_tool out --image taken.img ../card.img 20240101 20240131 AB12
same_status "existing image file" 1
same_text "existing image file console" "${banner}Cannot create image file 'taken.img'."$'\n' out
same_text "existing image file kept" "keep" taken.img
printf '0 + 1\n0 512 +\n1024 512 -\n' >gap.map
for map in missing.map gap.map; do
    run_tool out --mapfile "$map" ../card.img 20240101 20240131 AB12
    same_status "mapfile $map" 1
    same_text "mapfile $map console" "${banner}Cannot read mapfile '$map'."$'\n' out
done
# Listed into a file made beforehand: a redirection of the pipeline itself could race the listing.
: >files
ls | grep -v wine-stderr >files
same_text "nothing written on refusal" $'files\ngap.map\nout\ntaken.img\n' files
cd ..

# --- An image file, each kind of card: the image is the card, the outputs are as without --image ---
awk 'BEGIN { srand(9); for (i = 0; i < 60000; i++)
    printf "202403%02d%02d%02d%02d0A0102030405060708090A\r\n", 1 + i % 28, i % 24, i % 60, int(rand() * 60) }' >text.img
for kind in binary text; do
    if [ $kind = binary ]; then card=card.img args=(20240101 20240131 AB12); else card=text.img args=(20240301 20240331); fi
    mkdir "$kind-plain" "$kind-image"
    (cd "$kind-plain" && run_tool out "../$card" "${args[@]}" && echo "$status" >status)
    (cd "$kind-image" && run_tool out --image=copy.img "../$card" "${args[@]}" && echo "$status" >status)
    same_file "$kind image: exit code" "$kind-plain/status" "$kind-image/status"
    same_file "$kind image: console" "$kind-plain/out" "$kind-image/out"
    same_file "$kind image: the image is the card" "$card" "$kind-image/copy.img"
    (cd "$kind-plain" && cat 20*.txt AB12_* 2>/dev/null) >expected-records
    (cd "$kind-image" && cat 20*.txt AB12_* 2>/dev/null) >records
    same_file "$kind image: records" expected-records records
    check_map "$kind image" "$card" "$kind-image/copy.img" "$kind-image/copy.img.map"
    same_text "$kind image: all rescued" "0 $(stat -c %s "$card") +"$'\n' <(map_areas "$kind-image/copy.img.map")
done

# --- A mapfile that marks sectors bad: read as unreadable sectors, in every status a rescue can leave ---
# write_map LENGTH SECTORS: a mapfile of a card of LENGTH bytes whose SECTORS are '-', '?', '*', '/' in turn.
write_map() {
    local length=$1 pos=0 s turn=0 statuses='-?*/'
    echo "# made by the test"
    echo "0 + 1"
    for s in ${2//,/ }; do
        [ $((s * 512)) -gt "$pos" ] && printf '0x%X 0x%X +\n' "$pos" $((s * 512 - pos))
        printf '0x%X 0x200 %s\n' $((s * 512)) "${statuses:turn++ % 4:1}"
        pos=$((s * 512 + 512))
    done
    [ "$length" -gt "$pos" ] && printf '0x%X 0x%X +\n' "$pos" $((length - pos))
}
report() { echo "Cannot read $1 sectors of the card; the first at byte $(($2 * 512))."; }
# Binary: the unreadable sectors give no records, and the report comes just before the summary.
bad=356,357,358,1000,2304
cp card.img blank.img
blank_sectors blank.img 377 "$bad"
mkdir binary-blank binary-mapped
(cd binary-blank && run_tool out ../blank.img 20240101 20240131 AB12)
write_map "$(stat -c %s card.img)" "$bad" >binary.map
(cd binary-mapped && run_tool out --mapfile ../binary.map ../card.img 20240101 20240131 AB12)
same_status "binary card with a mapfile" 1
without_progress binary-blank/out | report_before_summary "$(report 5 356)" \
    >expected-console
without_progress binary-mapped/out >console
same_file "binary card with a mapfile: console" expected-console console
cat binary-blank/AB12_* >expected-records
cat binary-mapped/AB12_* >records
same_file "binary card with a mapfile: records" expected-records records
# Text: no line is pieced together across the sectors the mapfile does not mark read.
bad=100,101,2047,2048,4000
cp text.img blank-text.img
blank_sectors blank-text.img 000 "$bad"
mkdir text-blank text-mapped
(cd text-blank && run_tool out ../blank-text.img 20240301 20240331)
write_map "$(stat -c %s text.img)" "$bad" >text.map
(cd text-mapped && run_tool out --mapfile ../text.map ../text.img 20240301 20240331)
same_status "text card with a mapfile" 1
awk -v report="$(report 5 100)" '/^Sorting files/ && !done { print report; done = 1 } { print }' \
    <(without_progress text-blank/out) >expected-console
without_progress text-mapped/out >console
same_file "text card with a mapfile: console" expected-console console
for f in text-blank/20*.txt; do same_file "text card with a mapfile: ${f#text-blank/}" "$f" "text-mapped/${f#text-blank/}"; done

if [ "$MODE" = windows ]; then
    finish
    exit
fi

# --- Native: a failing card served through FUSE, imaged, then completed by ddrescue ---
if fuse_available; then
    serve() {
        mkdir -p served
        "$TOOLS/failing_card" "$1" "$2" served -f 2>fuse.log &
        for _ in $(seq 100); do [ -e served/card.img ] && break; sleep 0.05; done
        [ -e served/card.img ] || { cat fuse.log; return 1; }
        mounted=$work/served
    }
    unserve() {
        fusermount3 -u served
        mounted=""
        wait
    }
    for kind in binary text; do
        if [ $kind = binary ]; then
            # Sector 10 lies before the logging data: the image needs it, the records do not.
            card=card.img args=(20240101 20240131 AB12) bad=10,356,357,358,1000,2304,6255
        else
            card=text.img args=(20240301 20240331) bad=0,100,101,2047,2048,4000
        fi
        if ! serve "$card" "$bad"; then
            echo "SKIP failing cards: the FUSE file could not be mounted"
            break
        fi
        mkdir "$kind-failing" "$kind-failing-image"
        (cd "$kind-failing" && run_tool out ../served/card.img "${args[@]}" && echo "$status" >status)
        (cd "$kind-failing-image" && run_tool out ../served/card.img --image rescued.img "${args[@]}" && echo "$status" >status)
        unserve
        same_text "failing $kind card with --image: exit code" $'1\n' "$kind-failing-image/status"
        same_file "failing $kind card with --image: console" "$kind-failing/out" "$kind-failing-image/out"
        (cd "$kind-failing" && cat 20*.txt AB12_* 2>/dev/null) >expected-records
        (cd "$kind-failing-image" && cat 20*.txt AB12_* 2>/dev/null) >records
        same_file "failing $kind card with --image: records" expected-records records
        cp "$card" zeroed.img
        blank_sectors zeroed.img 000 "$bad"
        image=$kind-failing-image/rescued.img
        same_file "failing $kind card: the image is the card with the bad sectors zeroed" zeroed.img "$image"
        check_map "failing $kind card" "$card" "$image" "$image.map"
        same_text "failing $kind card: ddrescuelog lists the bad sectors" "$bad"$'\n' <(bad_sectors_of "$image.map")
        # The image with its mapfile, read with --mapfile: the records and report of the failing card.
        mkdir "$kind-from-image"
        (cd "$kind-from-image" && run_tool out --mapfile ../"$image.map" ../"$image" "${args[@]}" && echo "$status" >status)
        same_file "$kind image read with its mapfile: exit code" "$kind-failing/status" "$kind-from-image/status"
        same_file "$kind image read with its mapfile: console" "$kind-failing/out" "$kind-from-image/out"
        (cd "$kind-from-image" && cat 20*.txt AB12_* 2>/dev/null) >records
        same_file "$kind image read with its mapfile: records" expected-records records
        # The card served again, whole: the rescue tool retries just the bad sectors into the image.
        serve "$card" "" || break
        ddrescue -q -d -r1 served/card.img "$image" "$image.map" 2>ddrescue.log
        status=$?
        unserve
        same_status "ddrescue completes the failing $kind card's image" 0
        same_file "failing $kind card: the completed image is the card" "$card" "$image"
        same_text "failing $kind card: nothing left to rescue" "0 $(stat -c %s "$card") +"$'\n' <(map_areas "$image.map")
    done
else
    echo "SKIP failing cards: FUSE is not available on this machine"
fi

# --- Native: Escape and Ctrl-C leave a mapfile whose '+' areas are in the image ---
mkdir stops && cd stops
truncate -s $((0x20000 + 10 * 1048576)) keys.img
head -c $((0x20000 + 10 * 1048576)) /dev/urandom | dd of=keys.img conv=notrunc status=none
"$TOOLS/pty_run" '\e' plain-out "$TOOL" keys.img 20240101 20240131 KEYS
"$TOOLS/pty_run" '\e' out "$TOOL" --image escaped.img keys.img 20240101 20240131 KEYS
status=$?
same_status "Escape with --image" 0
same_file "Escape with --image: console" plain-out out
if grep -q "Processing terminated" out; then pass; else fail "Escape with --image: not stopped"; fi
check_map "Escape" keys.img escaped.img escaped.img.map
same_text "Escape: read up to the first progress line, the rest untried" \
    "0 $((0x20000 + 1048576)) +"$'\n'"$((0x20000 + 1048576)) $((9 * 1048576)) ?"$'\n' <(map_areas escaped.img.map)

set -m
truncate -s 4G big.img
dd if=keys.img of=big.img conv=notrunc status=none
for kind in binary text; do
    if [ $kind = binary ]; then args=(20240101 20240131 AB12); else args=(20240301 20240331); fi
    "$TOOL" --image "$kind.img" big.img "${args[@]}" >"$kind.out" </dev/null &
    pid=$!
    for _ in $(seq 100); do grep -q MBytes "$kind.out" 2>/dev/null && break; sleep 0.1; done
    kill -s INT "$pid"
    wait "$pid" 2>/dev/null
    status=$?
    same_status "Ctrl-C with --image, $kind card" 1
    if grep -q 'Processing terminated' "$kind.out"; then pass; else fail "Ctrl-C with --image, $kind card: not stopped"; fi
    check_map "Ctrl-C, $kind card" big.img "$kind.img" "$kind.img.map"
    if map_areas "$kind.img.map" | tail -1 | grep -q ' ?$'; then pass; else fail "Ctrl-C, $kind card: nothing left untried"; fi
    rm -f "$kind.img"
done
set +m
cd ..

# --- Native: the disk of the image fills up; the recovery goes on as without --image ---
mkdir full
if mount -t tmpfs -o size=1m tmpfs full 2>/dev/null; then
    small=$work/full
    mkdir full-run && cd full-run
    run_tool out --image ../full/card.img ../card.img 20240101 20240131 AB12
    same_status "full disk" 1
    same_text "full disk: the message once" $'1\n' <(grep -c '^Cannot write image file\.$' <(tr '\r' '\n' <out))
    grep -v '^Cannot write image file\.$' <(without_progress out) >console
    without_progress ../binary-plain/out >expected-console
    same_file "full disk: the console otherwise as without --image" expected-console console
    cat AB12_* >records
    (cd ../binary-plain && cat AB12_*) >expected-records
    same_file "full disk: records" expected-records records
    cp ../full/card.img ../full/card.img.map .
    check_map "full disk" ../card.img card.img card.img.map
    if map_areas card.img.map | tail -1 | grep -q ' ?$'; then pass; else fail "full disk: nothing left untried"; fi
    ddrescue -q ../card.img card.img card.img.map
    same_file "full disk: ddrescue completes the image" ../card.img card.img
    cd ..
    umount full && small=""
else
    echo "SKIP full disk: cannot mount a small tmpfs (not root?)"
fi

finish
