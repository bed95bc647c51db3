#include <gtest/gtest.h>

#include <climits>

#include "binarycard/sector_scan.h"
#include "tests/test_support.h"

namespace {

constexpr std::int64_t start_bound = 1704067200;  // 2024-01-01 00:00:00 UTC
constexpr std::int64_t end_bound = 1706659200;    // 2024-01-31 00:00:00 UTC
constexpr std::int64_t clock_time = 1733800000;

struct ScanResult {
    int code;
    std::string console;
};

struct ScanFixture {
    TempDir dir;
    FixedClock clock{clock_time};
    UploadWriter writer = make_upload_writer("AB12", dir.path(), clock);
    ScriptedKeys keys;

    ScanResult scan(const Bytes& card)
    {
        MemoryVolume volume(card);
        capture_output();
        const int code = scan_binary_card(volume, start_bound, end_bound, keys, writer);
        return {code, captured_output()};
    }

    std::string upload_content()
    {
        std::string all;
        for (const std::string& name : dir.files()) all += dir.read(name);
        return all;
    }
};

std::string summary(int found, int stored)
{
    char text[100];
    std::snprintf(text, sizeof text, "\n%d records found, %d stored\nFinished.      \n", found, stored);
    return text;
}

TEST(SectorScan, StoresRecordsFromStartBoundToEndBoundInclusive)
{
    ScanFixture f;
    const Bytes card = card_with({
        sector_with({record(start_bound - 1, 2), record(start_bound, 2), record(end_bound, 2)}),
        sector_with({}),  // an empty sector holds nothing
        sector_with({record(end_bound + 1, 2), record(0x80000000u, 2), record(start_bound + 3600, 0)}),
    });
    const ScanResult r = f.scan(card);
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.console, "Scanning QelD card...\n" + summary(6, 3));
    EXPECT_EQ(f.upload_content(),
              "20240101000000" "10A0A1" "B808\r\n"
              "20240131000000" "10A0A1" "B808\r\n"
              "20240101010000" "10" "FFFF\r\n");
}

TEST(SectorScan, SkipsTheHeaderAreaAndATrailingPartialSector)
{
    ScanFixture f;
    Bytes card = card_with({sector_with({record(start_bound, 1)})});
    // A valid record in the skipped area and one in a sector cut short by the end.
    const Bytes hidden = sector_with({record(start_bound, 1)});
    std::copy(hidden.begin(), hidden.end(), card.begin() + 0x1FE00);
    const Bytes partial = sector_with({record(start_bound, 1)});
    card.insert(card.end(), partial.begin(), partial.begin() + 511);
    const ScanResult r = f.scan(card);
    EXPECT_EQ(r.console, "Scanning QelD card...\n" + summary(1, 1));
}

TEST(SectorScan, EmptyVolumeAndNothingInRangeWriteNoFile)
{
    ScanFixture f;
    EXPECT_EQ(f.scan(Bytes(1000, 0)).console, "Scanning QelD card...\n" + summary(0, 0));
    EXPECT_EQ(f.scan(card_with({sector_with({record(end_bound + 1, 3)})})).console,
              "Scanning QelD card...\n" + summary(1, 0));
    EXPECT_TRUE(f.dir.files().empty());
    EXPECT_EQ(f.keys.polls, 0);
}

TEST(SectorScan, ShowsEachMebibyteOnceAndPollsTheKeyboardThen)
{
    ScanFixture f;
    const std::size_t sectors = 3 * 2048 + 100;
    const ScanResult r = f.scan(card_with(std::vector<Bytes>(sectors, sector_with({}))));
    EXPECT_EQ(r.console, "Scanning QelD card...\n1 MBytes\r2 MBytes\r3 MBytes\r" + summary(0, 0));
    EXPECT_EQ(f.keys.polls, 3);
}

TEST(SectorScan, EscapeStopsBeforeTheSectorItWasSeenIn)
{
    ScanFixture f;
    f.keys = ScriptedKeys({'a', 0x100, 27, 27});  // two other keys first: Escape acts at the third line
    const std::vector<Bytes> sectors(4 * 2048, sector_with({record(start_bound, 0)}));
    const ScanResult r = f.scan(card_with(sectors));
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.console, "Scanning QelD card...\n1 MBytes\r2 MBytes\r3 MBytes\r\nProcessing terminated\r" +
                             summary(3 * 2048 - 1, 3 * 2048 - 1));
    EXPECT_EQ(f.keys.polls, 3);
}

TEST(SectorScan, ReportsASeekThatFails)
{
    ScanFixture f;
    MemoryVolume volume(card_with({}));
    volume.refuse_seek = true;
    capture_output();
    EXPECT_EQ(scan_binary_card(volume, start_bound, end_bound, f.keys, f.writer), 1);
    EXPECT_EQ(captured_output(), "Scanning QelD card...\nCannot find start of logging data\n");
}

TEST(SectorScan, WriterFailureEndsTheRunWithoutSummary)
{
    ScanFixture f;
    f.writer.directory = f.dir.path() + "/missing";
    const ScanResult r = f.scan(card_with({sector_with({record(start_bound, 2)})}));
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.console, "Scanning QelD card...\nCannot create Qel file\nCannot store FTP record\n");
}

TEST(SectorScan, WriterFailureStopsTheWalkOnTheRecordItFailedOn)
{
    // The first record in range, amid a sector of 15-byte records outside it: the first of a group,
    // one inside a group, the last of a group, and the last of the sector, which no group reaches.
    for (const int failing : {0, 6, 7, 33}) {
        ScanFixture f;
        f.writer.directory = f.dir.path() + "/missing";
        std::vector<Bytes> records(34, record(end_bound + 1, 8));
        records[failing] = record(start_bound, 8);
        const Bytes sector = sector_with(records);
        BinaryScanCounts counts;
        capture_output();
        EXPECT_FALSE(walk_sector(sector.data(), start_bound, end_bound, f.writer, counts)) << failing;
        EXPECT_EQ(captured_output(), "Cannot create Qel file\n") << failing;
        EXPECT_EQ(counts.found, failing + 1) << failing;
        EXPECT_EQ(counts.in_range, 1) << failing;
        EXPECT_EQ(counts.stored, 0) << failing;
    }
}

TEST(SectorScan, CountsBeyondTheRangeOf32Bits)
{
    ScanFixture f;
    BinaryScanCounts counts;
    counts.found = INT_MAX;
    counts.stored = INT_MAX;
    const Bytes sector = sector_with({record(start_bound, 0), record(start_bound, 0)});
    ASSERT_TRUE(walk_sector(sector.data(), start_bound, end_bound, f.writer, counts));
    EXPECT_EQ(counts.found, 2147483649LL);
    EXPECT_EQ(counts.stored, 2147483649LL);
    EXPECT_TRUE(close_upload_file(f.writer));
}

}  // namespace
