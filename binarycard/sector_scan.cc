#include "binarycard/sector_scan.h"

#include <cinttypes>
#include <vector>

#include "app/console.h"

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

}  // namespace

bool walk_sector(const std::uint8_t* sector, std::int64_t start_bound, std::int64_t end_bound, UploadWriter& writer,
                 BinaryScanCounts& counts)
{
    // Counted in locals, so that the loop keeps them in registers.
    std::int64_t found = 0;
    std::int64_t stored = 0;
    bool written = true;
    std::uint32_t time = 0;
    int offset = 0;
    for (int total; (total = valid_record_length(sector, offset, time)) != 0; offset += total) {
        ++found;
        if (time < start_bound || time > end_bound) continue;
        const CardRecord record{offset, time, static_cast<std::uint8_t>(total)};
        written = write_record_line(writer, sector, record);
        if (!written) break;
        ++stored;
    }
    counts.found += found;
    counts.stored += stored;
    return written;
}

int scan_binary_card(CardVolume& volume, std::int64_t start_bound, std::int64_t end_bound, KeySource& keys,
                     UploadWriter& writer)
{
    say("Scanning QelD card...\n");
    if (!volume.seek(logging_data_start)) {
        say("Cannot find start of logging data\n");
        return 1;
    }

    BinaryScanCounts counts;
    std::vector<std::uint8_t> block(sectors_per_read * sector_size);
    std::uint64_t bytes_read = 0;
    int shown_figure = 0;
    bool stopped = false;
    while (!stopped) {
        const std::size_t got = volume.read(block.data(), block.size());
        const std::size_t sectors = got / sector_size;
        for (std::size_t i = 0; i < sectors; ++i) {
            bytes_read += sector_size;
            const int figure = mebibytes(bytes_read);
            if (figure > shown_figure) {
                say("%d MBytes\r", figure);
                shown_figure = figure;
                if (keys.next_key() == escape_key) {
                    say("\nProcessing terminated\r");
                    stopped = true;
                    break;
                }
            }
            if (!walk_sector(block.data() + i * sector_size, start_bound, end_bound, writer, counts)) {
                say("Cannot store FTP record\n");
                return 1;
            }
        }
        if (got < block.size()) break;
    }

    if (!finish_upload(writer)) return 1;
    say("\n%" PRId64 " records found, %" PRId64 " stored\n", counts.found, counts.stored);
    say("Finished.      \n");
    return 0;
}
