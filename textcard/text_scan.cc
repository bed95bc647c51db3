#include "textcard/text_scan.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <initializer_list>
#include <vector>

#include "services/card_reader.h"
#include "services/console.h"
#include "services/dates.h"
#include "textcard/candidate_bytes.h"
#include "textcard/line_checksum.h"
#include "services/io_buffer.h"
#include "services/read_ahead.h"

// The scan works as if it read the volume as a byte stream: one byte per iteration
// while looking for the lead-in "20", then the rest of a candidate line as one bounded
// line read. It reads whole blocks instead and walks them, counting bytes exactly as
// those single reads would, since the progress line follows that count. Within a block it
// looks for lead-ins sixteen bytes at a time, and only a candidate that the block's end
// may cut waits for the next block.

namespace {

constexpr std::size_t lead_in_length = 2;
// A bounded line read takes at most this many bytes: up to and including a line feed.
constexpr std::size_t remainder_capacity = 99;
// Everything one candidate can take from its '2' on.
constexpr std::size_t candidate_span = lead_in_length + remainder_capacity;
// Of a record line only its 36 bytes after the lead-in are measured...
constexpr std::size_t remainder_length = 36;
// ...and only the first 34 of them checked as hexadecimal digits.
constexpr std::size_t hex_body_length = 34;
// Accepted lines are collected and handed to the day file in pieces of about this size. Each
// write call costs the file system a fixed share beside its bytes (a third of the scan's
// system time with pieces of 64 KiB), so the pieces are large.
constexpr std::size_t write_chunk = std::size_t{1} << 20;
// Room before the block that each read fills, for the unwalked tail of the block before:
// whole pages, so that every full block is read to a page boundary.
constexpr std::size_t tail_room = (candidate_span + io_buffer_alignment - 1) / io_buffer_alignment * io_buffer_alignment;

// Date bounds of 2000-01-01 .. 2030-12-31, 31 slots to every month, computed on first use.
constexpr int cached_years = 31;
constexpr std::size_t date_slots = cached_years * 12 * 31;


// The part of the volume read so far and not yet walked, refilled block by block.
// Sectors that cannot be read split the volume into segments; a segment's bytes are
// walked as if the volume ended with them, so no candidate line spans a gap.
struct VolumeWindow {
    ReadAhead* reader = nullptr;
    std::size_t block_size = 0;
    // Two buffers of tail_room, one block, and tail_room again for reads after a short one:
    // the block is walked in one while the next is read into the other.
    IoBuffer buffers[2];
    unsigned char* bytes = nullptr; // the bytes of the buffer walked
    unsigned char* other = nullptr; // the bytes of the other buffer
    bool reading_ahead = false;     // the next block is being read into the other buffer
    std::size_t begin = 0;          // next byte to walk
    std::size_t end = 0;            // one past the last byte read
    bool segment_ended = false;     // no more bytes follow in this segment
    bool volume_ended = false;      // ... and no segment follows it
    bool interrupted = false;       // the operator stopped the scan; taken as the end of the volume
    std::uint64_t gap_bytes = 0;    // the unreadable bytes that end this segment
    std::function<bool()> interrupt_check;
};

// Everything one scan carries from iteration to iteration.
struct ScanState {
    const TextScanSetup* setup = nullptr;
    std::int64_t start_bound = 0;
    std::int64_t end_bound = 0;
    std::uint64_t counted_bytes = 0;   // advances as the single reads would; feeds only the progress line
    std::int32_t shown_figure = 0;     // the last mebibyte figure printed
    OutputFile* day_file = nullptr;    // the open day file, or none
    WrittenDayFile* followed = nullptr; // what is noted of the open day file's lines, or nothing
    std::int64_t day_bound = 0;        // the date bound of the open day file
    IoBuffer pending = make_io_buffer(write_chunk + lead_in_length + remainder_length);
    std::size_t pending_size = 0;      // accepted lines not yet handed to the day file: the first bytes of `pending`
    std::vector<std::int64_t> date_bounds = std::vector<std::int64_t>(date_slots, 0);
    bool verify_crc = false;           // checksums are checked: for --check-crc or for the report
    std::size_t report_file = 0;       // the report's entry of the open day file
    std::int64_t found = 0;            // well-formed lines of any date
    std::int64_t in_range = 0;
    std::int64_t written = 0;
    std::int64_t crc_mismatches = 0;   // in-range lines whose checksum does not match
    std::uint64_t last_date_digits = 0;  // the six date bytes of the last line looked up, or 0
    std::int64_t last_date_bound = 0;    // ...and their date bound
};

// Makes at least `wanted` unwalked bytes of the segment available unless it ends first; returns how many are.
std::size_t make_available(VolumeWindow& window, std::size_t wanted)
{
    if (window.end - window.begin >= wanted || window.segment_ended) return window.end - window.begin;
    // The unwalked tail (shorter than `wanted`) goes right before the block start, so that the
    // read after it starts on a page boundary: in the other buffer when the next block is being
    // read into it already, else in this one, which then stays warm in the processor's cache.
    const std::size_t rest = window.end - window.begin;
    if (window.reading_ahead) {
        std::memcpy(window.other + tail_room - rest, window.bytes + window.begin, rest);
        std::swap(window.bytes, window.other);
        window.reading_ahead = false;
    } else {
        std::memmove(window.bytes + tail_room - rest, window.bytes + window.begin, rest);
    }
    window.begin = tail_room - rest;
    window.end = tail_room;
    while (window.end - window.begin < wanted && !window.segment_ended) {
        // Ctrl-C is taken between blocks: what was read is still walked, and the files close whole.
        // A candidate line in the middle of its read is read to its full length first and judged,
        // and the scan stops right after it, so that a stop never cuts a line.
        if (!window.interrupted && window.interrupt_check && window.interrupt_check()) window.interrupted = true;
        if (window.interrupted && window.end == window.begin) {
            window.volume_ended = window.segment_ended = true;
            break;
        }
        const CardPiece piece = read_card_ahead(*window.reader, window.bytes + window.end, window.block_size);
        window.end += piece.bytes;
        window.gap_bytes = piece.skipped;
        window.volume_ended = piece.end;
        window.segment_ended = piece.skipped != 0 || piece.end;
    }
    // The other buffer is free now: the next block is read into it while this one is walked.
    if (!window.segment_ended && !window.interrupted)
        window.reading_ahead = read_ahead(*window.reader, window.other + tail_room, window.block_size);
    return window.end - window.begin;
}

// Prints the progress figure of an iteration that starts with `counted` bytes counted.
// An iteration counts at most 101 bytes, so the figure steps by one at most; catching
// up after walking many iterations at once prints each figure once, in order, as
// checking before every single iteration would.
void show_progress(ScanState& scan, std::uint64_t counted)
{
    const auto figure = static_cast<std::int32_t>(counted >> 20);
    while (scan.shown_figure < figure) {
        ++scan.shown_figure;
        say("%d MBytes\r", scan.shown_figure);
    }
}

// Steps over the unreadable bytes that ended the segment, to the next segment.
void start_next_segment(ScanState& scan, VolumeWindow& window)
{
    scan.counted_bytes += window.gap_bytes;
    window.gap_bytes = 0;
    window.segment_ended = false;
    // The progress line moves on through a long unreadable stretch too.
    show_progress(scan, scan.counted_bytes);
}

// True when each of the eight bytes of `w` is '0'..'9' or 'A'..'F'. Each range test adds a
// constant that carries a byte into its high bit exactly when it reaches the range's bound;
// bytes of 0x80 and more are refused first, so no addition carries into the next byte.
bool all_upper_hex(std::uint64_t w)
{
    constexpr std::uint64_t ones = 0x0101010101010101;
    constexpr std::uint64_t highs = ones * 0x80;
    if ((w & highs) != 0) return false;
    const auto at_least = [w](unsigned bound) { return w + ones * (0x80 - bound); };
    const std::uint64_t digit = at_least('0') & ~at_least('9' + 1);
    const std::uint64_t letter = at_least('A') & ~at_least('F' + 1);
    return ((digit | letter) & highs) == highs;
}

// True when the first 34 bytes of `remainder` are upper-case hexadecimal digits, checked eight at a time.
bool has_hex_body(const unsigned char* remainder)
{
    static_assert(hex_body_length == 34);
    for (const std::size_t at : {0, 8, 16, 24, 26}) {
        std::uint64_t w;
        std::memcpy(&w, remainder + at, sizeof w);
        if (!all_upper_hex(w)) return false;
    }
    return true;
}

int two_digits(const char* text) { return (text[0] - '0') * 10 + (text[1] - '0'); }

// The date bound of the eight-character `date_text` "20YYMMDD"; 0 when it is no valid date.
std::int64_t date_bound_of(ScanState& scan, const char* date_text)
{
    if (!is_valid_date_text(date_text)) return 0;
    const std::size_t slot = static_cast<std::size_t>(two_digits(date_text + 2) * 12 * 31 +
                                                      (two_digits(date_text + 4) - 1) * 31 +
                                                      (two_digits(date_text + 6) - 1));
    std::int64_t& bound = scan.date_bounds[slot];
    if (bound == 0) bound = parse_date(date_text);
    return bound;
}

// Hands the collected lines to the open day file; false when they could not all be written.
bool flush_day_file(ScanState& scan)
{
    if (scan.pending_size == 0) return true;
    const bool written = scan.setup->write_day_file(scan.day_file, scan.pending.data(), scan.pending_size);
    scan.pending_size = 0;
    return written;
}

// Writes what is collected and closes the open day file, if any; false when a line may be lost.
bool close_day_file(ScanState& scan)
{
    if (scan.day_file == nullptr) return true;
    const bool written = flush_day_file(scan);
    const bool closed = scan.setup->close_day_file(scan.day_file);
    scan.day_file = nullptr;
    return written && closed;
}

// Gives up on the open day file after a failed write; always false, for the caller to return.
bool report_write_failure(ScanState& scan)
{
    close_day_file(scan);
    say("Cannot write output file.\n");
    return false;
}

// Counts a line stored in the report's entry `file` and takes its stamp.
void note_stored_line(RunReport& report, std::size_t file, const unsigned char* remainder)
{
    ++report.files[file].records;
    char stamp[14] = {'2', '0'};
    std::memcpy(stamp + lead_in_length, remainder, sizeof stamp - lead_in_length);
    note_written_stamp(report, stamp);
}

// Appends the accepted line "20" + `remainder` to the day file of `date_text`, opening
// that file when the line's date differs from the open one's; false after printing why not.
bool store_line(ScanState& scan, const unsigned char* remainder, const char* date_text, std::int64_t bound)
{
    if (scan.day_file == nullptr || bound != scan.day_bound) {
        if (!close_day_file(scan)) {
            say("Cannot write output file.\n");
            return false;
        }
        const std::string name = std::string(date_text, 8) + ".txt";
        scan.day_file = scan.setup->open_day_file(scan.setup->directory, name);
        if (scan.day_file == nullptr) {
            say("Cannot open output file.\n");
            return false;
        }
        scan.day_bound = bound;
        if (WrittenDayFiles* written = scan.setup->written; written != nullptr) {
            std::uint64_t length = 0;
            const bool length_known = scan.setup->day_file_length(scan.day_file, length);
            scan.followed = follow_opened_day_file(*written, name, length_known, length);
        }
        if (scan.setup->report != nullptr) {
            scan.report_file = report_file_index(*scan.setup->report, name);
            scan.setup->report->files[scan.report_file].day_file = true;
        }
    }
    char* line = scan.pending.data() + scan.pending_size;
    std::memcpy(line, date_text, lead_in_length);
    std::memcpy(line + lead_in_length, remainder, remainder_length);
    static_assert(lead_in_length + remainder_length == appended_line_length);
    if (scan.followed != nullptr) note_appended_line(*scan.followed, remainder);
    scan.pending_size += lead_in_length + remainder_length;
    ++scan.written;
    if (scan.setup->report != nullptr) note_stored_line(*scan.setup->report, scan.report_file, remainder);
    if (scan.pending_size >= write_chunk && !flush_day_file(scan)) return report_write_failure(scan);
    return true;
}

// Takes the date bound of the remainder's date digits `digits` (its first six bytes) as the last one looked up.
void look_up_date(ScanState& scan, std::uint64_t digits, const unsigned char* remainder)
{
    char date_text[9] = "20";
    std::memcpy(date_text + 2, remainder, 6);
    date_text[8] = '\0';
    scan.last_date_digits = digits;
    scan.last_date_bound = date_bound_of(scan, date_text);
}

// Checks the checksum of an in-range line of date bound `bound` when asked, and stores it when it
// passes; false after a failure was printed.
bool accept_line(ScanState& scan, const unsigned char* remainder, std::int64_t bound)
{
    ++scan.in_range;
    if (scan.verify_crc && !line_checksum_matches(remainder)) {
        ++scan.crc_mismatches;
        if (scan.setup->check_crc) return true;
    }
    char date_text[9] = "20";
    std::memcpy(date_text + 2, remainder, 6);
    date_text[8] = '\0';
    return store_line(scan, remainder, date_text, bound);
}

// Judges a remainder of the right length whose 34 digits are known to be hexadecimal, and
// stores it when it passes; false after a failure was printed. Kept small: the walk runs it for
// every line, and most lines of a card lie outside the range.
inline bool consider_hex_line(ScanState& scan, const unsigned char* remainder)
{
    // Lines come in runs of one date, so the last date looked up is the likely one. The
    // remainder has 36 bytes, so its first eight can be taken in one load.
    std::uint64_t digits;
    std::memcpy(&digits, remainder, sizeof digits);
    digits &= 0xFFFFFFFFFFFF;
    if (digits != scan.last_date_digits) [[unlikely]] look_up_date(scan, digits, remainder);
    const std::int64_t bound = scan.last_date_bound;
    if (bound == 0) return true;
    ++scan.found;
    if (bound < scan.start_bound || bound > scan.end_bound) return true;
    return accept_line(scan, remainder, bound);
}

// Checks a remainder of the right length and stores it when it passes; false after a failure was printed.
bool consider_line(ScanState& scan, const unsigned char* remainder)
{
    return !has_hex_body(remainder) || consider_hex_line(scan, remainder);
}

// Walks the iterations over the bytes before the next '2' in the window, one byte each;
// true when a '2' is next.
bool skip_to_lead_in(ScanState& scan, VolumeWindow& window)
{
    const unsigned char* from = window.bytes + window.begin;
    const std::size_t available = window.end - window.begin;
    // In a run of record lines the next '2' is the very next byte.
    const auto* two = available != 0 && from[0] == '2'
                          ? from
                          : static_cast<const unsigned char*>(std::memchr(from, '2', available));
    const std::size_t skipped = two != nullptr ? static_cast<std::size_t>(two - from) : available;
    scan.counted_bytes += skipped;
    window.begin += skipped;
    // Those bytes were all read, so another iteration follows and starts here.
    show_progress(scan, scan.counted_bytes);
    return two != nullptr;
}

// The position of the first byte `value` among the 36 bytes at `p`, or 36 when there is none:
// eight bytes at a time (the last word overlaps the one before), where the carry trick finds
// the lowest byte equal to `value` in a word exactly.
std::size_t first_of_36(const unsigned char* p, unsigned char value)
{
    constexpr std::uint64_t ones = 0x0101010101010101;
    constexpr std::uint64_t highs = ones * 0x80;
    for (const std::size_t at : {0, 8, 16, 24, 28}) {
        std::uint64_t w;
        std::memcpy(&w, p + at, sizeof w);
        w ^= ones * value;
        const std::uint64_t found = (w - ones) & ~w & highs;
        if (found != 0) return at + static_cast<std::size_t>(std::countr_zero(found)) / 8;
    }
    return remainder_length;
}

enum class Step { go_on, segment_ended, failed };

// What the bounded line read after a lead-in takes.
struct RemainderRead {
    std::size_t consumed = 0;  // bytes read: up to and including a line feed, at most 99
    std::size_t length = 0;    // the string length of what was read: the bytes before its first NUL
    bool meets_end = false;    // the read stopped short at the end of the segment
};

// Reads the remainder at `remainder`, of which `limit` bytes (at most 99) are left in the segment.
RemainderRead read_remainder(const unsigned char* remainder, std::size_t limit)
{
    RemainderRead read;
    // A record line's line feed and any NUL lie among its first 36 bytes, which are looked at
    // eight at a time; the rest of the read's reach only when no line feed is there.
    const bool near_in_reach = limit >= remainder_length;
    read.consumed = limit;
    bool found_line_feed = false;
    if (near_in_reach) {
        const std::size_t at = first_of_36(remainder, '\n');
        found_line_feed = at < remainder_length;
        if (found_line_feed) read.consumed = at + 1;
    }
    if (!found_line_feed) {
        const std::size_t from = near_in_reach ? remainder_length : 0;
        const auto* line_feed = static_cast<const unsigned char*>(std::memchr(remainder + from, '\n', limit - from));
        found_line_feed = line_feed != nullptr;
        if (found_line_feed) read.consumed = static_cast<std::size_t>(line_feed - remainder) + 1;
    }
    // Short of its capacity without a line feed, the read stopped at the end of the segment.
    read.meets_end = !found_line_feed && read.consumed < remainder_capacity;
    // The remainder is measured as a string: bytes after a NUL are consumed but not counted.
    read.length = read.consumed;
    if (near_in_reach && read.consumed <= remainder_length) {
        read.length = std::min(read.consumed, first_of_36(remainder, '\0'));
    } else if (const void* nul = std::memchr(remainder, '\0', read.consumed); nul != nullptr) {
        read.length = static_cast<std::size_t>(static_cast<const unsigned char*>(nul) - remainder);
    }
    return read;
}

// Runs the iteration whose first byte, the next in the window, is a '2'.
Step scan_candidate(ScanState& scan, VolumeWindow& window)
{
    const std::size_t available = make_available(window, candidate_span);
    const unsigned char* lead_in = window.bytes + window.begin;
    scan.counted_bytes += 1;
    if (available == 1) {
        // The read after the '2' meets the end of the segment.
        scan.counted_bytes += 1;
        window.begin += 1;
        return Step::segment_ended;
    }
    // The byte after a '2' is consumed whatever it is, so "220" holds no lead-in.
    scan.counted_bytes += 1;
    window.begin += lead_in_length;
    if (lead_in[1] != '0') return Step::go_on;

    const unsigned char* remainder = lead_in + lead_in_length;
    const RemainderRead read = read_remainder(remainder, std::min(available - lead_in_length, remainder_capacity));
    scan.counted_bytes += read.length;
    window.begin += read.consumed;
    if (read.length == remainder_length && !consider_line(scan, remainder)) return Step::failed;
    return read.meets_end ? Step::segment_ended : Step::go_on;
}

// The number of '2's right before `at`, back to `from` at most.
std::size_t twos_before(const unsigned char* from, const unsigned char* at)
{
    std::size_t count = 0;
    while (at - count > from && at[-1 - static_cast<std::ptrdiff_t>(count)] == '2') ++count;
    return count;
}

// The first lead-in that starts in [from, to), where `from` starts an iteration, or `to` when
// none does. A '2' consumes the byte after it, so a "20" is a lead-in only when the run of '2's
// it ends, counted from `from` on, is of odd length: "220" holds none, "2220" does. Reads up to
// the search's overread past `to`.
const unsigned char* find_lead_in(const unsigned char* from, const unsigned char* to)
{
    for (;;) {
        const unsigned char* pair = candidate_bytes::find_20(from, to);
        if (pair == to || twos_before(from, pair) % 2 == 0) return pair;
        // That '2' was the byte after another; the '0' after it starts the next iteration.
        from = pair + 1;
    }
}

// The iteration start nearest before `to`, or `to` itself, for a walk from `from` that meets no
// lead-in before `to`: a '2' right before `to` that starts an iteration takes `to` with it.
const unsigned char* last_iteration_start(const unsigned char* from, const unsigned char* to)
{
    return twos_before(from, to) % 2 == 1 ? to - 1 : to;
}

// The walk's reach past a lead-in's start that the fast walk needs in the window: a candidate's
// span, which also covers what the search reads past its last start position.
constexpr std::size_t fast_reach = candidate_span;
static_assert(candidate_bytes::search_overread <= fast_reach);

// Runs the iterations whose candidates lie wholly in the window, without reading: from the next
// byte up to an iteration start less than a candidate's span before the window's end. The
// counting, the progress line and the lines found are those of the single iterations.
Step walk_window(ScanState& scan, VolumeWindow& window)
{
    if (window.end - window.begin <= fast_reach) return Step::go_on;
    const unsigned char* at = window.bytes + window.begin;
    // Lead-ins before this have a candidate's span after them in the window.
    const unsigned char* const reach_end = window.bytes + window.end - fast_reach;
    std::uint64_t counted = scan.counted_bytes;
    Step step = Step::go_on;
    while (at < reach_end) {
        // In a run of record lines the next lead-in starts at the very next byte.
        const unsigned char* lead_in = at[0] == '2' && at[1] == '0' ? at : find_lead_in(at, reach_end);
        if (lead_in == reach_end) {
            const unsigned char* stop = last_iteration_start(at, reach_end);
            counted += static_cast<std::uint64_t>(stop - at);
            at = stop;
            break;
        }
        counted += static_cast<std::uint64_t>(lead_in - at);
        // The candidate's iteration starts here.
        show_progress(scan, counted);
        counted += lead_in_length;
        const unsigned char* remainder = lead_in + lead_in_length;
        if (candidate_bytes::is_plain_record_line(remainder)) {
            counted += remainder_length;
            at = remainder + remainder_length;
            if (!consider_hex_line(scan, remainder)) {
                step = Step::failed;
                break;
            }
            continue;
        }
        const RemainderRead read = read_remainder(remainder, remainder_capacity);
        counted += read.length;
        at = remainder + read.consumed;
        if (read.length == remainder_length && !consider_line(scan, remainder)) {
            step = Step::failed;
            break;
        }
    }
    scan.counted_bytes = counted;
    window.begin = static_cast<std::size_t>(at - window.bytes);
    return step;
}

// Hands the counts of the scan to the report, when one is kept.
void fill_report(const ScanState& scan, const CardReader& reader, const VolumeWindow& window)
{
    RunReport* report = scan.setup->report;
    if (report == nullptr) return;
    report->records_found = scan.found;
    report->records_in_range = scan.in_range;
    report->records_written = scan.written;
    report->crc_mismatches = scan.crc_mismatches;
    report->interrupted = window.interrupted;
    note_card_reading(*report, reader);
}

}  // namespace

int scan_text_card(CardVolume& volume, std::int64_t start_bound, std::int64_t end_bound, const TextScanSetup& setup)
{
    say("Scanning card...\n");
    ScanState scan;
    scan.setup = &setup;
    scan.start_bound = start_bound;
    scan.end_bound = end_bound;
    scan.verify_crc = setup.check_crc || setup.report != nullptr;
    bool positioned = false;
    CardReader reader = start_card_reader(volume, 0, positioned);
    reader.hooks = setup.reader_hooks;
    VolumeWindow window;
    // Made after the window, so that it ends first: a block still being read goes into the window's buffers.
    ReadAhead ahead(reader);
    window.reader = &ahead;
    window.block_size = std::max<std::size_t>(setup.block_size, 1);
    // A read that follows a short one starts up to a candidate's span past the block start.
    for (IoBuffer& buffer : window.buffers) buffer = make_io_buffer(tail_room + window.block_size + tail_room);
    window.bytes = reinterpret_cast<unsigned char*>(window.buffers[0].data());
    window.other = reinterpret_cast<unsigned char*>(window.buffers[1].data());
    window.interrupt_check = setup.interrupted;

    for (;;) {
        // Stopped while a candidate was completed: the rest of what was read is left.
        if (window.interrupted && window.end != window.begin) break;
        if (make_available(window, 1) == 0) {
            if (!window.volume_ended) {
                start_next_segment(scan, window);
                continue;
            }
            // This iteration's single read meets the end of the volume.
            show_progress(scan, scan.counted_bytes);
            scan.counted_bytes += 1;
            break;
        }
        // The candidates that lie wholly in the window first, then one iteration at a time up to the next
        // candidate, which may need the next block.
        if (walk_window(scan, window) == Step::failed) {
            fill_report(scan, reader, window);
            return text_scan_failed;
        }
        if (!skip_to_lead_in(scan, window)) continue;
        const Step step = scan_candidate(scan, window);
        if (step == Step::failed) {
            fill_report(scan, reader, window);
            return text_scan_failed;
        }
        if (step == Step::segment_ended) {
            if (window.volume_ended) break;
            start_next_segment(scan, window);
        }
    }

    const bool closed = close_day_file(scan);
    fill_report(scan, reader, window);
    if (!closed) {
        say("Cannot write output file.\n");
        return text_scan_failed;
    }
    if (window.interrupted) say("\nProcessing terminated\r");
    say("\n");
    report_unreadable_sectors(reader);
    if (setup.check_crc) say("%lld lines with a wrong checksum dropped.\n", static_cast<long long>(scan.crc_mismatches));
    return reader.skipped_sectors == 0 && !window.interrupted ? text_scan_complete : text_scan_incomplete;
}
