# Shared helpers of the end-to-end tests: run the real executable, native or
# the Windows .exe under Wine, and compare what it printed and wrote.
#
# The caller sets MODE (native or windows), TOOL (the executable), TOOLS (the
# directory holding make_card and pty_run) and WINEPREFIX for the Windows mode.

failures=0
checks=0
banner=$'RecoverQelSD V1.01 - recovers logged records from data logger SD cards\n\n'

# run_tool OUT ARGS...: runs the tool in the current directory with no input,
# its console output in OUT (CR LF turned into LF for the .exe); sets $status.
run_tool() {
    local out=$1
    shift
    if [ "$MODE" = windows ]; then
        # Into files, not pipes: Wine's helpers hold a pipe open after the program ends.
        wine "$TOOL" "$@" >"$out.raw" 2>"$out.wine-stderr" </dev/null
        status=$?
        # The tool prints its banner before anything else, so a run that printed nothing never
        # started: Wine itself failed to start it (seen rarely on a loaded machine). Tried again once.
        if [ ! -s "$out.raw" ]; then
            echo "note: Wine did not start the program (exit code $status); trying once more" >&2
            sed 's/^/  wine: /' "$out.wine-stderr" >&2
            wine "$TOOL" "$@" >"$out.raw" 2>"$out.wine-stderr" </dev/null
            status=$?
        fi
        sed 's/\r$//' "$out.raw" >"$out"
        rm -f "$out.raw"
    else
        "$TOOL" "$@" >"$out" </dev/null
        status=$?
    fi
}

# prepare_mode: for the Windows mode, a private Wine prefix beside the .exe,
# made on first use; every run has the same time zone unless a test sets one.
prepare_mode() {
    if [ "$MODE" = windows ]; then
        export WINEPREFIX WINEDEBUG=-all
        WINEPREFIX=$(dirname "$TOOL")/wineprefix
        [ -d "$WINEPREFIX/dosdevices" ] || wineboot -i >/dev/null 2>&1
    fi
    export TZ=UTC0
}

pass() { checks=$((checks + 1)); }

fail() {
    checks=$((checks + 1))
    failures=$((failures + 1))
    echo "FAIL [$MODE] $*"
}

# same_file NAME EXPECTED ACTUAL: the two files are equal byte for byte.
same_file() {
    if cmp -s "$2" "$3"; then
        pass
    else
        fail "$1: $3 differs from $2"
        diff <(od -c "$2") <(od -c "$3") | head -20
    fi
}

# same_text NAME EXPECTED-TEXT ACTUAL-FILE
same_text() {
    local expected
    expected=$(mktemp)
    printf '%s' "$2" >"$expected"
    same_file "$1" "$expected" "$3"
    rm -f "$expected"
}

# same_status NAME EXPECTED
same_status() {
    if [ "$status" = "$2" ]; then pass; else fail "$1: exit code $status, expected $2"; fi
}

# progress_lines FIRST LAST: the progress lines "N MBytes\r" from FIRST to LAST.
progress_lines() {
    local i
    for ((i = $1; i <= $2; i++)); do printf '%d MBytes\r' "$i"; done
}

# utc_seconds 'YYYY-MM-DD hh:mm:ss': seconds since the epoch of that UTC time.
utc_seconds() { date -u -d "$1" +%s; }

# fuse_available: true where a card with failing sectors can be served through FUSE.
fuse_available() { [ -x "$TOOLS/failing_card" ] && [ -c /dev/fuse ] && command -v fusermount3 >/dev/null; }

# without_progress FILE: the console output in FILE without its progress lines.
without_progress() { sed -E 's/([0-9]+ MBytes\r)+//' "$1"; }

# blank_sectors IMAGE FILL SECTORS: the sectors of IMAGE overwritten with byte FILL (octal).
blank_sectors() {
    local s
    for s in ${3//,/ }; do
        head -c 512 /dev/zero | tr '\000' "\\$2" | dd of="$1" bs=512 seek="$s" conv=notrunc status=none
    done
}

# report_before_summary REPORT: standard input with the line REPORT put before the empty line
# that precedes a binary run's summary ("N records found, N stored").
report_before_summary() {
    awk -v report="$1" '
        { lines[NR] = $0 }
        END { for (i = 1; i <= NR; i++) { if (lines[i + 1] ~ /records found/ && lines[i] == "") print report; print lines[i] } }'
}

finish() {
    echo "[$MODE] $checks checks, $failures failed"
    [ "$failures" -eq 0 ]
}
