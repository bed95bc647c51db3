// Reading ahead on a second thread: the same pieces and reader state as plain reads,
// and no trace of a block that was read ahead but never asked for.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "services/card_reader.h"
#include "services/io_buffer.h"
#include "services/read_ahead.h"
#include "tests/test_support.h"

namespace {

Bytes numbered_bytes(std::size_t size)
{
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(i * 131 + i / 512);
    return bytes;
}

// What a whole read of a volume gave: every byte read, each run stepped over as
// its length in '#' marks, and the reader's state at the end.
struct ReadOutcome {
    std::string stream;
    std::uint64_t position = 0;
    std::int64_t skipped_sectors = 0;
    std::vector<std::pair<std::uint64_t, std::int64_t>> runs;
};

void note_piece(ReadOutcome& outcome, const char* bytes, const CardPiece& piece)
{
    outcome.stream.append(bytes, piece.bytes);
    outcome.stream.append(piece.skipped, '#');
}

void note_reader(ReadOutcome& outcome, const CardReader& reader)
{
    outcome.position = reader.position;
    outcome.skipped_sectors = reader.skipped_sectors;
    for (const SectorRun& run : reader.unreadable_runs) outcome.runs.emplace_back(run.offset, run.count);
}

ReadOutcome read_plainly(MemoryVolume& volume, std::size_t block)
{
    bool positioned = false;
    CardReader reader = start_card_reader(volume, 0, positioned);
    std::vector<char> buffer(block);
    ReadOutcome outcome;
    for (int calls = 0; calls < 100000; ++calls) {
        const CardPiece piece = read_card(reader, buffer.data(), block);
        note_piece(outcome, buffer.data(), piece);
        if (piece.end) break;
    }
    note_reader(outcome, reader);
    return outcome;
}

// Reads as the scans do: each block into one of two buffers while the next is read into the other.
ReadOutcome read_with_read_ahead(MemoryVolume& volume, std::size_t block)
{
    bool positioned = false;
    CardReader reader = start_card_reader(volume, 0, positioned);
    IoBuffer buffers[2] = {make_io_buffer(block), make_io_buffer(block)};
    ReadOutcome outcome;
    {
        ReadAhead ahead(reader);
        ahead.always = true;
        int current = 0;
        for (int calls = 0; calls < 100000; ++calls) {
            const CardPiece piece = read_card_ahead(ahead, buffers[current].data(), block);
            if (!piece.end) read_ahead(ahead, buffers[1 - current].data(), block);
            note_piece(outcome, buffers[current].data(), piece);
            if (piece.end) break;
            current = 1 - current;
        }
    }
    note_reader(outcome, reader);
    return outcome;
}

TEST(ReadAhead, GivesWhatPlainReadsGiveAroundUnreadableSectors)
{
    struct Case {
        std::size_t size;
        std::size_t block;
        std::set<std::uint64_t> bad_sectors;
        bool hide_length;
    };
    const std::vector<Case> cases = {
        {64 * 512, 4096, {}, false},
        {64 * 512 + 100, 4096, {}, false},           // a short last block
        {64 * 512, 4096, {5, 6, 40, 63}, false},     // failures inside blocks and in the last sector
        {64 * 512, 1000, {0, 9, 10, 11, 33}, true},  // blocks that cut sectors, length unknown
        {8 * 512, 512, {1, 2, 3, 4, 5, 6, 7}, false},
    };
    for (const Case& c : cases) {
        MemoryVolume plain(numbered_bytes(c.size));
        MemoryVolume ahead(numbered_bytes(c.size));
        for (MemoryVolume* volume : {&plain, &ahead}) {
            volume->bad_sectors = c.bad_sectors;
            volume->hide_length = c.hide_length;
        }
        const ReadOutcome expected = read_plainly(plain, c.block);
        const ReadOutcome got = read_with_read_ahead(ahead, c.block);
        const std::string label = "size " + std::to_string(c.size) + ", block " + std::to_string(c.block);
        EXPECT_TRUE(got.stream == expected.stream) << label;
        EXPECT_EQ(got.position, expected.position) << label;
        EXPECT_EQ(got.skipped_sectors, expected.skipped_sectors) << label;
        EXPECT_EQ(got.runs, expected.runs) << label;
        EXPECT_EQ(ahead.failed_reads, plain.failed_reads) << label;
    }
}

TEST(ReadAhead, ABlockReadForAnotherPlaceOrSizeIsReadAgainWhereAsked)
{
    const Bytes bytes = numbered_bytes(16 * 512);
    MemoryVolume volume(bytes);
    bool positioned = false;
    CardReader reader = start_card_reader(volume, 0, positioned);
    std::vector<char> first(2048), second(2048);
    ReadAhead ahead(reader);
    ahead.always = true;
    read_ahead(ahead, first.data(), 2048);
    // Asked into another buffer: the bytes come there, from the same place.
    CardPiece piece = read_card_ahead(ahead, second.data(), 2048);
    ASSERT_EQ(piece.bytes, 2048u);
    EXPECT_EQ(std::memcmp(second.data(), bytes.data(), 2048), 0);
    // Asked for fewer bytes than were read ahead: the next read starts right after them.
    read_ahead(ahead, first.data(), 2048);
    piece = read_card_ahead(ahead, first.data(), 1024);
    ASSERT_EQ(piece.bytes, 1024u);
    EXPECT_EQ(std::memcmp(first.data(), bytes.data() + 2048, 1024), 0);
    piece = read_card_ahead(ahead, first.data(), 1024);
    ASSERT_EQ(piece.bytes, 1024u);
    EXPECT_EQ(std::memcmp(first.data(), bytes.data() + 3072, 1024), 0);
    EXPECT_EQ(reader.position, 4096u);
}

TEST(ReadAhead, ABlockNeverAskedForLeavesTheReaderAsItWas)
{
    const Bytes bytes = numbered_bytes(16 * 512);
    MemoryVolume volume(bytes);
    volume.bad_sectors = {12};
    bool positioned = false;
    CardReader reader = start_card_reader(volume, 0, positioned);
    std::vector<char> buffer(4096);
    {
        ReadAhead ahead(reader);
        ahead.always = true;
        ASSERT_EQ(read_card_ahead(ahead, buffer.data(), 4096).bytes, 4096u);
        // The block with the bad sector is read ahead, then dropped as when a scan stops.
        read_ahead(ahead, buffer.data(), 4096);
    }
    EXPECT_EQ(reader.position, 4096u);
    EXPECT_EQ(reader.skipped_sectors, 0);
    EXPECT_TRUE(reader.unreadable_runs.empty());
    // The reader goes on from where it was, whatever the volume's own position.
    const CardPiece piece = read_card(reader, buffer.data(), 2048);
    ASSERT_EQ(piece.bytes, 2048u);
    EXPECT_EQ(std::memcmp(buffer.data(), bytes.data() + 4096, 2048), 0);
}

}  // namespace
