#include "services/card_reader.h"

#include <cinttypes>

#include "services/console.h"

namespace {

// Where the length of a volume is unknown, this many unreadable sectors in a row are
// taken for its end (32 MiB), so that a dead device cannot keep a scan going for ever.
// Where the length is known, every sector up to it is tried, however many fail.
constexpr std::int64_t max_unreadable_run = 65536;

// Reads at most the rest of one sector, alone, so that only that sector is lost if it fails.
CardPiece read_one_sector(CardReader& reader, void* buffer, std::size_t size)
{
    const bool at_end = reader.length_known ? reader.position >= reader.length
                                            : reader.unreadable_run >= max_unreadable_run;
    if (at_end) {
        reader.ended = true;
        return {0, 0, true};
    }
    std::size_t want = std::min<std::uint64_t>(size, card_sector_size - reader.position % card_sector_size);
    if (reader.length_known) want = std::min<std::uint64_t>(want, reader.length - reader.position);
    bool error = false;
    // A failed read leaves the volume's position unknown, so every careful read says where.
    const std::size_t got = reader.volume->read_alone(reader.position, buffer, want, error);
    if (got == want) {
        reader.position += got;
        reader.unreadable_run = 0;
        return {got, 0, false};
    }
    if (!error) {
        reader.position += got;
        reader.ended = true;
        return {got, 0, true};
    }
    // The whole rest of the sector is stepped over, however little of it was asked for,
    // so that each unreadable sector is tried and counted once.
    const std::uint64_t sector_start = reader.position - reader.position % card_sector_size;
    std::uint64_t next = sector_start + card_sector_size;
    if (reader.length_known) next = std::min(next, std::max(reader.length, reader.position));
    if (reader.skipped_sectors == 0) reader.first_skipped = sector_start;
    ++reader.skipped_sectors;
    ++reader.unreadable_run;
    const std::size_t skipped = static_cast<std::size_t>(next - reader.position);
    reader.position = next;
    return {0, skipped, false};
}

}  // namespace

CardReader start_card_reader(CardVolume& volume, std::uint64_t offset, bool& positioned)
{
    CardReader reader;
    reader.volume = &volume;
    reader.position = offset;
    reader.length_known = volume.length(reader.length);
    positioned = volume.seek(offset);
    return reader;
}

CardPiece read_card(CardReader& reader, void* buffer, std::size_t size)
{
    if (reader.ended || size == 0) return {0, 0, reader.ended};
    if (reader.position < reader.careful_until) return read_one_sector(reader, buffer, size);
    bool error = false;
    std::size_t got = 0;
    if (!reader.reposition || reader.volume->seek(reader.position)) {
        reader.reposition = false;
        got = reader.volume->read(buffer, size, error);
    } else {
        error = true;
    }
    const std::uint64_t block_end = reader.position + size;
    reader.position += got;
    // Any sector read ends a run of unreadable ones.
    if (got != 0) reader.unreadable_run = 0;
    if (got == size) return {got, 0, false};
    if (!error) {
        reader.ended = true;
        return {got, 0, true};
    }
    // Somewhere in the rest of this block a sector failed: try each of its sectors alone.
    reader.reposition = true;
    reader.careful_until = (block_end + card_sector_size - 1) / card_sector_size * card_sector_size;
    return {got, 0, false};
}

void report_unreadable_sectors(const CardReader& reader)
{
    if (reader.skipped_sectors == 1) {
        say("Cannot read 1 sector of the card, at byte %" PRIu64 ".\n", reader.first_skipped);
    } else if (reader.skipped_sectors > 1) {
        say("Cannot read %" PRId64 " sectors of the card; the first at byte %" PRIu64 ".\n", reader.skipped_sectors,
            reader.first_skipped);
    }
}
