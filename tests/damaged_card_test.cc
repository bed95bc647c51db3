// Damaged cards: sectors that cannot be read are retried alone once, stepped
// over, counted and reported, and everything around them is still recovered.
#include <gtest/gtest.h>

#include "services/card_reader.h"
#include "services/dates.h"
#include "binarycard/sector_scan.h"
#include "textcard/text_scan.h"
#include "tests/test_support.h"

namespace {

constexpr std::size_t mebibyte = std::size_t{1} << 20;

// Reads the whole volume through a reader in blocks of `block`, keeping what it gave.
std::string read_all(MemoryVolume& volume, std::size_t block, CardReader& reader)
{
    bool positioned = false;
    reader = start_card_reader(volume, 0, positioned);
    EXPECT_TRUE(positioned);
    std::string out;
    std::vector<char> buffer(block);
    for (int calls = 0; calls < 100000; ++calls) {
        const CardPiece piece = read_card(reader, buffer.data(), block);
        out.append(buffer.data(), piece.bytes);
        out.append(piece.skipped, '?');
        if (piece.end) return out;
    }
    ADD_FAILURE() << "the reader never reached the end";
    return out;
}

TEST(CardReader, StepsOverEachUnreadableSectorOnce)
{
    Bytes bytes(3 * mebibyte + 700);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>('a' + i % 26);
    const std::set<std::uint64_t> bad = {0, 7, 8, 9, 2048, 4100, 6145};  // 6145: the last, partial sector
    std::string expected(bytes.begin(), bytes.end());
    for (std::uint64_t s : bad) expected.replace(s * 512, std::min<std::size_t>(512, bytes.size() - s * 512),
                                                 std::min<std::size_t>(512, bytes.size() - s * 512), '?');
    for (const std::size_t block : {std::size_t{4096}, std::size_t{1000}, mebibyte}) {
        MemoryVolume volume(bytes);
        volume.bad_sectors = bad;
        CardReader reader;
        EXPECT_TRUE(read_all(volume, block, reader) == expected) << block;
        EXPECT_EQ(reader.skipped_sectors, 7);
        EXPECT_EQ(reader.first_skipped, 0u);
        // Each bad sector fails at most twice: in a large read, and alone.
        EXPECT_LE(volume.failed_reads, 2 * 7) << block;
    }
}

// A device that fails every read and cannot tell its length.
class DeadVolume final : public CardVolume {
public:
    bool seek(std::uint64_t) override { return true; }
    std::size_t read(void*, std::size_t, bool& error) override
    {
        ++reads;
        error = true;
        return 0;
    }
    bool length(std::uint64_t&) override { return false; }
    long reads = 0;
};

TEST(CardReader, GivesUpOnADeadDeviceOfUnknownLength)
{
    DeadVolume volume;
    bool positioned = false;
    CardReader reader = start_card_reader(volume, 0, positioned);
    char buffer[4096];
    long calls = 0;
    while (!read_card(reader, buffer, sizeof buffer).end) ASSERT_LT(++calls, 1000000);
    EXPECT_EQ(reader.skipped_sectors, 65536);
    EXPECT_LT(volume.reads, 80000);  // each sector alone, and a large read now and then
}

TEST(CardReader, ReadsOnThroughLongUnreadableStretches)
{
    struct Case {
        const char* what;
        bool length_known;
        std::size_t sectors;
        std::vector<std::pair<std::uint64_t, std::uint64_t>> bad_runs;  // [first, end) sector numbers
    };
    const Case cases[] = {
        // Beyond the cap for a volume of unknown length, but this one's length is known.
        {"one stretch of 70000 sectors", true, 75000, {{2000, 72000}}},
        // Each stretch below the cap; the sectors read between them end the first run.
        {"two stretches of 33000 sectors, length unknown", false, 68016, {{1000, 34000}, {34016, 67016}}},
    };
    for (const Case& c : cases) {
        Bytes bytes(c.sectors * 512);
        for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>('a' + i % 26);
        std::string expected(bytes.begin(), bytes.end());
        MemoryVolume volume(bytes);
        volume.hide_length = !c.length_known;
        std::int64_t bad_count = 0;
        for (const auto& [first, end] : c.bad_runs) {
            for (std::uint64_t s = first; s < end; ++s) volume.bad_sectors.insert(s);
            expected.replace(first * 512, (end - first) * 512, (end - first) * 512, '?');
            bad_count += static_cast<std::int64_t>(end - first);
        }
        CardReader reader;
        EXPECT_TRUE(read_all(volume, 4096, reader) == expected) << c.what;
        EXPECT_EQ(reader.skipped_sectors, bad_count) << c.what;
        EXPECT_EQ(reader.first_skipped, c.bad_runs.front().first * 512) << c.what;
    }
}

TEST(DamagedCard, TextScanReadsToTheEndOfALongUnreadableStretchWithItsProgressMoving)
{
    const std::string line1 = "202403150000000A0102030405060708090A\r\n";
    const std::string line2 = "202403160000000A0102030405060708090A\r\n";
    std::string card = line1;
    card.resize(40 * mebibyte - line2.size(), 'x');
    card += line2;
    MemoryVolume volume(Bytes(card.begin(), card.end()));
    for (std::uint64_t s = 1000; s < 71000; ++s) volume.bad_sectors.insert(s);
    TempDir dir;
    TextScanSetup setup;
    setup.directory = dir.path();
    capture_output();
    EXPECT_EQ(scan_text_card(volume, parse_date("20240301"), parse_date("20240331"), setup), text_scan_incomplete);
    std::string expected = "Scanning card...\n";
    for (int figure = 1; figure <= 40; ++figure) expected += std::to_string(figure) + " MBytes\r";
    expected += "\nCannot read 70000 sectors of the card; the first at byte 512000.\n";
    EXPECT_EQ(captured_output(), expected);
    EXPECT_EQ(dir.files(), (std::vector<std::string>{"20240315.txt", "20240316.txt"}));
    EXPECT_EQ(dir.read("20240316.txt"), line2);
}

TEST(CardReader, ReportsCountAndFirstPlace)
{
    CardReader reader;
    capture_output();
    report_unreadable_sectors(reader);
    reader.skipped_sectors = 1;
    reader.first_skipped = 7340032;
    report_unreadable_sectors(reader);
    reader.skipped_sectors = 3;
    report_unreadable_sectors(reader);
    EXPECT_EQ(captured_output(), "Cannot read 1 sector of the card, at byte 7340032.\n"
                                 "Cannot read 3 sectors of the card; the first at byte 7340032.\n");
}

TEST(DamagedCard, BinaryScanRecoversAroundUnreadableSectorsAndEndsWithOne)
{
    const std::int64_t start = 1704067200, end = 1706659200;
    std::vector<Bytes> sectors(2 * 2048 + 10, sector_with({record(start + 60, 2)}));
    MemoryVolume volume(card_with(sectors));
    // Sectors 3 and 2100 of the logging data, which starts at sector 256.
    volume.bad_sectors = {256 + 3, 256 + 2100};
    TempDir dir;
    FixedClock clock(1733800000);
    UploadWriter writer = make_upload_writer("DMG1", dir.path(), clock);
    ScriptedKeys keys;
    capture_output();
    EXPECT_EQ(scan_binary_card(volume, start, end, keys, writer), 1);
    const std::size_t good = sectors.size() - 2;
    EXPECT_EQ(captured_output(), "Scanning QelD card...\n1 MBytes\r2 MBytes\r"
                                 "Cannot read 2 sectors of the card; the first at byte " +
                                     std::to_string((256 + 3) * 512) + ".\n\n" + std::to_string(good) +
                                     " records found, " + std::to_string(good) + " stored\nFinished.      \n");
    std::string all;
    for (const std::string& name : dir.files()) all += dir.read(name);
    EXPECT_EQ(std::count(all.begin(), all.end(), '\n'), static_cast<long>(good));
}

TEST(DamagedCard, NoTextLineSpansAnUnreadableSector)
{
    const std::string body = "1200000A0102030405060708090A\r\n";
    // Sector 1 is unreadable: the line that starts 10 bytes before it is cut by it.
    std::string card(512 - 10, 'x');
    card += "20240315" + body;  // spans into sector 1
    card.resize(1024, 'y');
    card += "20240316" + body;  // whole, in sector 2
    card.resize(2048, 'z');
    MemoryVolume volume(Bytes(card.begin(), card.end()));
    volume.bad_sectors = {1};
    TempDir dir;
    TextScanSetup setup;
    setup.directory = dir.path();
    capture_output();
    EXPECT_EQ(scan_text_card(volume, parse_date("20240301"), parse_date("20240331"), setup), text_scan_incomplete);
    EXPECT_EQ(captured_output(), "Scanning card...\n\nCannot read 1 sector of the card, at byte 512.\n");
    EXPECT_EQ(dir.files(), std::vector<std::string>{"20240316.txt"});
    EXPECT_EQ(dir.read("20240316.txt"), "20240316" + body);
}

}  // namespace

namespace {

TEST(Interrupt, BinaryScanStopsBetweenBlocksWithItsSummaryAndOne)
{
    const std::int64_t start = 1704067200, end = 1706659200;
    MemoryVolume volume(card_with(std::vector<Bytes>(3 * 2048, sector_with({record(start, 2)}))));
    TempDir dir;
    FixedClock clock(1733800000);
    UploadWriter writer = make_upload_writer("INT1", dir.path(), clock);
    ScriptedKeys keys;
    keys.interrupt_at = 1;  // Ctrl-C arrives while the first mebibyte is walked
    capture_output();
    EXPECT_EQ(scan_binary_card(volume, start, end, keys, writer), 1);
    EXPECT_EQ(captured_output(), "Scanning QelD card...\n1 MBytes\r\nProcessing terminated\r\n"
                                 "2048 records found, 2048 stored\nFinished.      \n");
    std::string all;
    for (const std::string& name : dir.files()) all += dir.read(name);
    EXPECT_EQ(std::count(all.begin(), all.end(), '\n'), 2048);  // every line whole, the file closed
}

TEST(Interrupt, TextScanJudgesALineAcrossABlockEdgeWholeBeforeItStops)
{
    struct Case {
        const char* what;
        std::string line;      // starts 38 bytes before the edge of the first 4096-byte block
        std::string written;   // what the scan, stopped at that edge, writes to the day file of 15 March
    };
    const std::string record = "202403150000000A0102030405060708090A\r\n";
    const Case cases[] = {
        {"a record line", record, record},
        // Its first 38 bytes have the shape of a record line without its line end.
        {"a longer line of hexadecimal digits", "202403150000000A0102030405060708090A0B0C\r\n", ""},
    };
    for (const Case& c : cases) {
        std::string card(4096 - 38, 'x');
        card += c.line;
        card.resize(8192, 'y');
        MemoryVolume volume(Bytes(card.begin(), card.end()));
        TempDir dir;
        TextScanSetup setup;
        setup.directory = dir.path();
        setup.block_size = 4096;
        int checks = 0;
        setup.interrupted = [&checks] { return checks++ >= 1; };  // while the line is completed
        capture_output();
        EXPECT_EQ(scan_text_card(volume, parse_date("20240301"), parse_date("20240331"), setup), text_scan_incomplete)
            << c.what;
        EXPECT_EQ(captured_output(), "Scanning card...\n\nProcessing terminated\r\n") << c.what;
        const std::vector<std::string> files =
            c.written.empty() ? std::vector<std::string>{} : std::vector<std::string>{"20240315.txt"};
        EXPECT_EQ(dir.files(), files) << c.what;
        if (!files.empty()) {
            EXPECT_EQ(dir.read("20240315.txt"), c.written) << c.what;
        }
    }
}

TEST(Interrupt, TextScanStopsBetweenBlocksAndKeepsWhatItWrote)
{
    const std::string line1 = "202403150000000A0102030405060708090A\r\n";
    const std::string line2 = "202403160000000A0102030405060708090A\r\n";
    std::string card = line1;
    card.resize(4096, 'x');
    card += line2;
    MemoryVolume volume(Bytes(card.begin(), card.end()));
    TempDir dir;
    TextScanSetup setup;
    setup.directory = dir.path();
    setup.block_size = 4096;
    int checks = 0;
    setup.interrupted = [&checks] { return checks++ >= 1; };  // before the second block
    capture_output();
    EXPECT_EQ(scan_text_card(volume, parse_date("20240301"), parse_date("20240331"), setup), text_scan_incomplete);
    EXPECT_EQ(captured_output(), "Scanning card...\n\nProcessing terminated\r\n");
    EXPECT_EQ(dir.files(), std::vector<std::string>{"20240315.txt"});
    EXPECT_EQ(dir.read("20240315.txt"), line1);
}

}  // namespace
