#include "binarycard/sector_scan.h"

#include <cinttypes>
#include <algorithm>
#include <bit>
#include <cstring>
#include <vector>

#include "services/card_reader.h"
#include "services/console.h"
#include "services/io_buffer.h"
#include "services/read_ahead.h"

namespace {

constexpr int escape_key = 27;

// Sectors are read 2048 at a time (1 MiB), but handled one by one.
constexpr std::size_t sectors_per_read = 2048;

// The whole mebibytes in `bytes`, as the progress line shows them.
int mebibytes(std::uint64_t bytes) { return static_cast<int>(static_cast<std::uint32_t>(bytes >> 20)); }

// Closes the upload file; false after the failure messages.
bool finish_upload(UploadWriter& writer)
{
    if (close_upload_file(writer)) return true;
    say("Cannot store FTP record\n");
    return false;
}

// True when every record of the `groups` groups of common length from `offset` is valid and
// outside `window`. The groups are all checked before the one test, as most runs fill their sector.
bool quiet_common_groups(const std::uint8_t* sector, int offset, int groups, const WindowLanes& window)
{
    RecordLanes quiet = ~RecordLanes{};
    for (int g = 0; g < groups; ++g) {
        const CommonGroupCheck check = check_common_group(sector, offset + g * common_group_bytes, window);
        quiet &= check.valid & check.outside;
    }
    return all_lanes(quiet);
}

}  // namespace

bool walk_sector(const std::uint8_t* sector, std::int64_t start_bound, std::int64_t end_bound, UploadWriter& writer,
                 BinaryScanCounts& counts)
{
    // Counted in locals, so that the loop keeps them in registers.
    std::int64_t found = 0;
    std::int64_t in_range = 0;
    std::int64_t stored = 0;
    bool written = true;
    std::uint32_t time = 0;
    int offset = 0;
    // Counts the valid record of `total` bytes at `offset` and stores it when in range; false when the writer failed.
    const auto take = [&](int total) {
        ++found;
        if (time < start_bound || time > end_bound) return true;
        ++in_range;
        written = write_record_line(writer, sector, CardRecord{offset, time, static_cast<std::uint8_t>(total)});
        stored += written ? 1 : 0;
        return written;
    };
    // Takes the records of common length from `offset` a group at a time, up to the first that is invalid or
    // that the group check cannot read; false when the writer failed.
    const auto take_common_groups = [&] {
        // Made here rather than for every sector, as sectors without such records have no use for it.
        const WindowLanes window = window_lanes(time_window(start_bound, end_bound));
        const int groups = (last_common_group_offset - offset) / common_group_bytes + 1;
        if (quiet_common_groups(sector, offset, groups, window)) {
            found += groups * common_group_records;
            offset += groups * common_group_bytes;
            return true;
        }
        while (offset <= last_common_group_offset) {
            const CommonGroupCheck check = check_common_group(sector, offset, window);
            if (all_lanes(check.valid & check.outside)) {
                found += common_group_records;
                offset += common_group_bytes;
                continue;
            }
            // Record by record up to the first invalid one; those inside the window may be in range.
            const int valid = std::countr_one(lane_bits(check.valid));
            const unsigned outside = lane_bits(check.outside);
            for (int k = 0; k < valid; ++k, offset += common_record_length) {
                if ((outside >> k & 1) != 0) {
                    ++found;
                    continue;
                }
                std::memcpy(&time, sector + offset, sizeof time);
                if (!take(common_record_length)) return false;
            }
            if (valid < common_group_records) return true;
        }
        return true;
    };
    // Walks from offset 0 to the first invalid record, or to the record the writer failed on.
    const auto walk = [&] {
        for (;;) {
            // Only a record of the common length starts a group check, so that other records do not pay for one;
            // the record the groups stop at is checked again below.
            if (offset <= last_common_group_offset && sector[offset + 4] == common_length_byte &&
                !take_common_groups())
                return;
            // Records of the common length go round a loop of their own, whose next offset is a constant step:
            // the check of one record need not wait for the length byte of the one before, so checks overlap.
            while (offset + common_record_length <= sector_size && sector[offset + 4] == common_length_byte) {
                if (!valid_common_record(sector, offset, time) || !take(common_record_length)) return;
                offset += common_record_length;
            }
            const int total = valid_record_length(sector, offset, time);
            if (total == 0 || !take(total)) return;
            offset += total;
        }
    };
    walk();
    counts.found += found;
    counts.in_range += in_range;
    counts.stored += stored;
    return written;
}

namespace {

// The progress of one scan over the sectors of the logging data.
struct SectorProgress {
    std::uint64_t bytes = 0;  // bytes of the logging data passed, sectors that could not be read included
    int shown_figure = 0;
};

// Counts one more sector passed; prints the progress line when a mebibyte is full and
// then looks for a key. Returns true when that key is Escape.
bool pass_sector(SectorProgress& progress, KeySource& keys)
{
    progress.bytes += sector_size;
    const int figure = mebibytes(progress.bytes);
    if (figure <= progress.shown_figure) return false;
    say("%d MBytes\r", figure);
    progress.shown_figure = figure;
    return keys.next_key() == escape_key;
}

// Reads the bytes before the logging data for the image alone: they hold no records, and
// sectors that cannot be read there show in the image's mapfile, not in the scan's report.
void read_leading_area(CardVolume& volume, const ReaderHooks& hooks)
{
    bool positioned = false;
    CardReader reader = start_card_reader(volume, 0, positioned);
    reader.hooks = hooks;
    // The reader takes the volume for ending there, so that nothing it steps over reaches into the logging data.
    reader.length = reader.length_known ? std::min(reader.length, logging_data_start) : logging_data_start;
    reader.length_known = true;
    std::vector<std::uint8_t> area(logging_data_start);
    for (std::size_t done = 0; done < area.size();) {
        const CardPiece piece = read_card(reader, area.data() + done, area.size() - done);
        done += piece.bytes + piece.skipped;
        if (piece.end) break;
    }
}

// Hands the counts of the scan to `report`, when one is kept.
void fill_report(RunReport* report, const BinaryScanCounts& counts, const CardReader& reader, bool interrupted)
{
    if (report == nullptr) return;
    report->records_found = counts.found;
    report->records_in_range = counts.in_range;
    report->records_written = counts.stored;
    report->interrupted = interrupted;
    note_card_reading(*report, reader);
}

}  // namespace

int scan_binary_card(CardVolume& volume, std::int64_t start_bound, std::int64_t end_bound, KeySource& keys,
                     UploadWriter& writer, const ReaderHooks& hooks, RunReport* report)
{
    say("Scanning QelD card...\n");
    if (hooks.image != nullptr) read_leading_area(volume, hooks);
    bool positioned = false;
    CardReader reader = start_card_reader(volume, logging_data_start, positioned);
    reader.hooks = hooks;
    if (!positioned) {
        fill_report(report, BinaryScanCounts{}, reader, false);
        say("Cannot find start of logging data\n");
        return 1;
    }

    BinaryScanCounts counts;
    SectorProgress progress;
    // Two blocks: while the sectors of one are walked, the next block is read into the other.
    const IoBuffer buffers[2] = {make_io_buffer(sectors_per_read * sector_size),
                                 make_io_buffer(sectors_per_read * sector_size)};
    const std::size_t block_size = buffers[0].size;
    std::uint8_t* block = reinterpret_cast<std::uint8_t*>(buffers[0].data());
    std::uint8_t* other = reinterpret_cast<std::uint8_t*>(buffers[1].data());
    ReadAhead ahead(reader);
    std::size_t filled = 0;  // bytes at the front of the block that do not make a whole sector yet
    bool stopped = false;
    bool interrupted = false;
    while (!stopped) {
        // Ctrl-C stops between sectors, like Escape, so every line and file is complete.
        if (keys.interrupted()) {
            stopped = interrupted = true;
            break;
        }
        const CardPiece piece = read_card_ahead(ahead, block + filled, block_size - filled);
        filled += piece.bytes;
        const std::size_t sectors = filled / sector_size;
        const std::size_t rest = filled - sectors * sector_size;
        // A block of whole sectors leaves nothing behind, so the next one can be read into the other buffer now.
        const bool reading_ahead = rest == 0 && piece.skipped == 0 && !piece.end && read_ahead(ahead, other, block_size);
        for (std::size_t i = 0; i < sectors && !stopped; ++i) {
            stopped = pass_sector(progress, keys);
            if (stopped) break;
            if (!walk_sector(block + i * sector_size, start_bound, end_bound, writer, counts)) {
                fill_report(report, counts, reader, false);
                say("Cannot store FTP record\n");
                return 1;
            }
        }
        if (reading_ahead) {
            std::swap(block, other);
        } else {
            std::memmove(block, block + sectors * sector_size, rest);
        }
        filled = rest;
        if (piece.skipped != 0) {
            // The sector in progress is lost with the bytes that could not be read.
            for (std::size_t lost = (filled + piece.skipped) / sector_size; lost > 0 && !stopped; --lost)
                stopped = pass_sector(progress, keys);
            filled = 0;
        }
        if (piece.end) break;
    }
    if (stopped) say("\nProcessing terminated\r");

    fill_report(report, counts, reader, stopped);
    if (!finish_upload(writer)) return 1;
    report_unreadable_sectors(reader);
    say("\n%" PRId64 " records found, %" PRId64 " stored\n", counts.found, counts.stored);
    say("Finished.      \n");
    // An interrupted or damaged scan is incomplete, which a script must be able to see.
    return reader.skipped_sectors == 0 && !interrupted ? 0 : 1;
}
