#include "services/card_reader.h"

#include <cinttypes>
#include <limits>

#include "services/card_image.h"
#include "services/console.h"
#include "services/rescue_map.h"

namespace {

// Where the length of a volume is unknown, this many unreadable sectors in a row are
// taken for its end (32 MiB), so that a dead device cannot keep a scan going for ever.
// Where the length is known, every sector up to it is tried, however many fail.
constexpr std::int64_t max_unreadable_run = 65536;

// Adds `count` sectors from `offset` to the runs of unreadable sectors, extending the last run when they follow it.
void note_unreadable_sectors(CardReader& reader, std::uint64_t offset, std::int64_t count)
{
    std::vector<SectorRun>& runs = reader.unreadable_runs;
    if (!runs.empty() && runs.back().offset + runs.back().count * card_sector_size == offset) {
        runs.back().count += count;
        return;
    }
    runs.push_back(SectorRun{offset, count});
}

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
    // Bytes of a read that failed are not kept: the whole rest of the sector is stepped over.
    if (reader.hooks.image != nullptr && (got == want || !error))
        image_store(*reader.hooks.image, reader.position, buffer, got);
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
    note_unreadable_sectors(reader, sector_start, 1);
    ++reader.unreadable_run;
    const std::size_t skipped = static_cast<std::size_t>(next - reader.position);
    if (reader.hooks.image != nullptr) image_skip(*reader.hooks.image, reader.position, skipped);
    reader.position = next;
    return {0, skipped, false};
}

// How many bytes from the reader's position lie in whole sectors that the finished areas
// hold; 0 when the sector at the position is not one of them. The last sector of a volume
// of known length counts as whole when the areas reach the volume's end.
std::uint64_t readable_span(const CardReader& reader)
{
    std::uint64_t until = 0;
    const std::uint64_t sector_start = reader.position - reader.position % card_sector_size;
    if (!finished_at(*reader.hooks.readable, sector_start, until)) return 0;
    if (reader.length_known && until >= reader.length) return std::numeric_limits<std::uint64_t>::max();
    const std::uint64_t whole_end = until - until % card_sector_size;
    return whole_end > reader.position ? whole_end - reader.position : 0;
}

// True when the sector that starts at `start` lies whole in the finished areas; the last
// sector of a volume of known length counts as whole when the areas reach the volume's end.
bool is_listed_sector(const CardReader& reader, std::uint64_t start, std::uint64_t& until)
{
    if (!finished_at(*reader.hooks.readable, start, until)) return false;
    return until - start >= card_sector_size || (reader.length_known && until >= reader.length);
}

// Steps over the sectors from the reader's position up to the next sector that the finished
// areas hold whole, or to the end of the volume, counting them as unreadable.
CardPiece skip_unlisted_sectors(CardReader& reader)
{
    const std::uint64_t sector_start = reader.position - reader.position % card_sector_size;
    std::uint64_t next = sector_start + card_sector_size;
    for (std::uint64_t until = 0; !(reader.length_known && next >= reader.length);) {
        if (is_listed_sector(reader, next, until)) break;
        if (until != std::numeric_limits<std::uint64_t>::max()) {
            // The next sector that may be whole: after the area that ends inside this one,
            // or where the next area starts.
            next = (until + card_sector_size - 1) / card_sector_size * card_sector_size;
        } else if (reader.length_known) {
            next = reader.length;
        } else {
            // Of a volume of unknown length, nothing after the last finished area is read.
            reader.ended = true;
            return {0, 0, true};
        }
    }
    if (reader.length_known) next = std::min(next, std::max(reader.length, reader.position));
    if (reader.skipped_sectors == 0) reader.first_skipped = sector_start;
    const auto sectors = static_cast<std::int64_t>((next - sector_start + card_sector_size - 1) / card_sector_size);
    reader.skipped_sectors += sectors;
    note_unreadable_sectors(reader, sector_start, sectors);
    const std::uint64_t skipped = next - reader.position;
    if (reader.hooks.image != nullptr) image_skip(*reader.hooks.image, reader.position, skipped);
    reader.position = next;
    reader.reposition = true;
    return {0, static_cast<std::size_t>(skipped), false};
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

bool plan_plain_read(const CardReader& reader, void* buffer, std::size_t size, PlainRead& read)
{
    if (reader.ended || size == 0 || reader.position < reader.careful_until) return false;
    read = PlainRead{};
    read.buffer = buffer;
    read.asked = size;
    read.size = size;
    if (reader.hooks.readable != nullptr) {
        if (reader.length_known && reader.position >= reader.length) return false;
        const std::uint64_t span = readable_span(reader);
        if (span == 0) return false;
        read.size = static_cast<std::size_t>(std::min<std::uint64_t>(size, span));
    }
    read.position = reader.position;
    read.seek_first = reader.reposition;
    return true;
}

void make_plain_read(CardVolume& volume, PlainRead& read)
{
    read.got = 0;
    read.error = false;
    read.seeked = false;
    if (read.seek_first) {
        read.seeked = volume.seek(read.position);
        if (!read.seeked) {
            read.error = true;
            return;
        }
    }
    read.got = volume.read(read.buffer, read.size, read.error);
}

CardPiece take_plain_read(CardReader& reader, const PlainRead& read)
{
    if (read.seeked) reader.reposition = false;
    const std::size_t got = read.got;
    const std::uint64_t block_end = reader.position + read.size;
    if (reader.hooks.image != nullptr) image_store(*reader.hooks.image, reader.position, read.buffer, got);
    reader.position += got;
    // Any sector read ends a run of unreadable ones.
    if (got != 0) reader.unreadable_run = 0;
    if (got == read.size) return {got, 0, false};
    if (!read.error) {
        reader.ended = true;
        return {got, 0, true};
    }
    // Somewhere in the rest of this block a sector failed: try each of its sectors alone.
    reader.reposition = true;
    reader.careful_until = (block_end + card_sector_size - 1) / card_sector_size * card_sector_size;
    return {got, 0, false};
}

CardPiece read_card(CardReader& reader, void* buffer, std::size_t size)
{
    PlainRead plain;
    if (plan_plain_read(reader, buffer, size, plain)) {
        make_plain_read(*reader.volume, plain);
        return take_plain_read(reader, plain);
    }
    if (reader.ended || size == 0) return {0, 0, reader.ended};
    if (reader.hooks.readable != nullptr) {
        if (reader.length_known && reader.position >= reader.length) {
            reader.ended = true;
            return {0, 0, true};
        }
        const std::uint64_t span = readable_span(reader);
        if (span == 0) return skip_unlisted_sectors(reader);
        size = static_cast<std::size_t>(std::min<std::uint64_t>(size, span));
    }
    return read_one_sector(reader, buffer, size);
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
