// The sector scan checked against a straightforward reading of the card: one
// 512-byte read per sector, each record checked byte by byte, each line formatted
// with printf-style calls, on random, adversarial and realistic volumes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <random>

#include "binarycard/sector_scan.h"
#include "tests/test_support.h"

namespace {

constexpr std::int64_t start_bound = 1704067200;  // 2024-01-01 00:00:00 UTC
constexpr std::int64_t end_bound = 1706659200;    // 2024-01-31 00:00:00 UTC

struct Outcome {
    std::string console;
    std::string lines;
};

// Reads the card sector by sector from byte 0x20000, as a plain stream reader would.
Outcome reference_scan(const Bytes& card)
{
    Outcome out;
    char text[128];
    out.console = "Scanning QelD card...\n";
    std::int64_t found = 0, stored = 0;
    std::uint64_t counted = 0;
    int shown = 0;
    for (std::size_t at = 0x20000; at + 512 <= card.size(); at += 512) {
        counted += 512;
        if (static_cast<int>(counted >> 20) > shown) {
            shown = static_cast<int>(counted >> 20);
            std::snprintf(text, sizeof text, "%d MBytes\r", shown);
            out.console += text;
        }
        const std::uint8_t* s = card.data() + at;
        for (int p = 0; p + 6 < 512;) {
            const std::uint32_t time = s[p] | s[p + 1] << 8 | s[p + 2] << 16 | static_cast<std::uint32_t>(s[p + 3]) << 24;
            const int length = s[p + 4];
            if (time == 0xFFFFFFFFu || length < 1 || length > 40 || p + length + 6 > 512) break;
            unsigned sum = 0x55;
            for (int i = 0; i < length + 6; ++i) sum += s[p + i];
            if (sum % 256 != 0) break;
            ++found;
            if (time >= start_bound && time <= end_bound) {
                ++stored;
                std::tm utc{};
                platform::utc_calendar(time, utc);
                std::snprintf(text, sizeof text, "20%02d%02d%02d%02d%02d%02d%02X", utc.tm_year % 100, utc.tm_mon + 1,
                              utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, s[p + 5]);
                out.lines += text;
                std::uint16_t crc = 0xFFFF;
                for (int i = 0; i < length - 1; ++i) {
                    std::snprintf(text, sizeof text, "%02X", s[p + 6 + i]);
                    out.lines += text;
                    crc ^= s[p + 6 + i];
                    for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
                }
                std::snprintf(text, sizeof text, "%02X%02X\r\n", crc & 0xFF, crc >> 8);
                out.lines += text;
            }
            p += length + 6;
        }
    }
    std::snprintf(text, sizeof text, "\n%" PRId64 " records found, %" PRId64 " stored\nFinished.      \n", found, stored);
    out.console += text;
    return out;
}

Outcome fast_scan(const Bytes& card)
{
    TempDir dir;
    FixedClock clock(1733800000);
    UploadWriter writer = make_upload_writer("REF1", dir.path(), clock);
    ScriptedKeys keys;
    MemoryVolume volume(card);
    capture_output();
    const int code = scan_binary_card(volume, start_bound, end_bound, keys, writer);
    Outcome out{captured_output(), {}};
    EXPECT_EQ(code, 0);
    for (const std::string& name : dir.files()) out.lines += dir.read(name);
    return out;
}

// Checks the scan against the reference; returns the reference's record lines.
std::string expect_same_outcome(const Bytes& card, const char* what)
{
    const Outcome expected = reference_scan(card);
    const Outcome actual = fast_scan(card);
    EXPECT_EQ(actual.console, expected.console) << what;
    EXPECT_TRUE(actual.lines == expected.lines) << what << ": upload files differ";
    return expected.lines;
}

// A sector of records with times near the range, some of them damaged; `common_percent` of them
// (besides those the random lengths give) have the common length byte 9, some of which have the
// time 0xFFFFFFFF with a checksum that matches.
Bytes adversarial_sector(std::mt19937_64& random, int common_percent = 0)
{
    Bytes sector(512, random() % 3 == 0 ? 0x00 : 0xFF);
    int p = 0;
    while (p < 506) {
        const bool common = static_cast<int>(random() % 100) < common_percent;
        const int length = common ? 9 : 1 + static_cast<int>(random() % 40);
        const std::int64_t time = start_bound - 86400 + static_cast<std::int64_t>(random() % (40 * 86400));
        Bytes r = record(static_cast<std::uint32_t>(time), length - 1, static_cast<std::uint8_t>(random()));
        for (std::size_t i = 6; i + 1 < r.size(); ++i) r[i] = static_cast<std::uint8_t>(random());
        if (common && random() % 200 == 0) std::fill(r.begin(), r.begin() + 4, 0xFF);
        unsigned sum = 0x55;
        for (std::size_t i = 0; i + 1 < r.size(); ++i) sum += r[i];
        r.back() = static_cast<std::uint8_t>(-sum);
        if (random() % 50 == 0) r.back() ^= 1;  // a damaged record ends the sector
        if (p + static_cast<int>(r.size()) > 512) break;
        std::copy(r.begin(), r.end(), sector.begin() + p);
        p += static_cast<int>(r.size());
    }
    return sector;
}

TEST(SectorScanReference, AgreesOnRandomBytes)
{
    std::mt19937_64 random(1);
    for (std::size_t size : {std::size_t{0}, std::size_t{0x20000 + 511}, std::size_t{0x20000 + 3 * 1048576 + 700}}) {
        Bytes card(size);
        for (auto& b : card) b = static_cast<std::uint8_t>(random());
        expect_same_outcome(card, "random bytes");
    }
}

TEST(SectorScanReference, AgreesOnDenseAndDamagedSectorsAcrossReadBlocks)
{
    std::mt19937_64 random(2);
    std::vector<Bytes> sectors;
    // Just over two reads of 2048 sectors, so that sectors lie on both sides of every block edge.
    for (int i = 0; i < 2 * 2048 + 37; ++i) sectors.push_back(adversarial_sector(random));
    Bytes card = card_with(sectors);
    card.resize(card.size() + 300, 0x42);  // a partial sector at the end
    const std::string lines = expect_same_outcome(card, "adversarial sectors");
    EXPECT_GT(std::count(lines.begin(), lines.end(), '\n'), 4097 * 2);  // enough for upload files to rotate

}

TEST(SectorScanReference, AgreesOnSectorsOfMostlyTheCommonRecordLength)
{
    // Runs of 15-byte records, which the walk takes on a path of their own, broken by other
    // lengths so that they meet the sector's end at every offset, damaged or not.
    std::mt19937_64 random(3);
    for (const int common_percent : {60, 90, 99}) {
        std::vector<Bytes> sectors;
        for (int i = 0; i < 2048 + 37; ++i) sectors.push_back(adversarial_sector(random, common_percent));
        const std::string lines = expect_same_outcome(card_with(sectors), "mostly 15-byte records");
        EXPECT_GT(std::count(lines.begin(), lines.end(), '\n'), 2048) << common_percent;
    }
}

// A 15-byte record of `time` with random payload bytes and a correct checksum.
Bytes common_record(std::uint32_t time, std::mt19937_64& random)
{
    Bytes r = record(time, 8, static_cast<std::uint8_t>(random()));
    for (std::size_t i = 6; i < 14; ++i) r[i] = static_cast<std::uint8_t>(random());
    unsigned sum = 0x55;
    for (std::size_t i = 0; i < 14; ++i) sum += r[i];
    r[14] = static_cast<std::uint8_t>(-sum);
    return r;
}

// A time outside the range: just before or after it, far from it, or at either end of what a record can hold.
std::uint32_t time_outside(std::mt19937_64& random)
{
    switch (random() % 6) {
    case 0: return start_bound - 1;
    case 1: return end_bound + 1;
    case 2: return static_cast<std::uint32_t>(random() % 2 == 0 ? 0 : 0xFFFFFFFE);
    case 3: return static_cast<std::uint32_t>(start_bound - 1 - static_cast<std::int64_t>(random() % 100000000));
    default: return static_cast<std::uint32_t>(end_bound + 1 + static_cast<std::int64_t>(random() % 100000000));
    }
}

// How one record breaks a run of 15-byte records outside the range.
enum class Break { none, damaged, no_time, at_start_bound, at_end_bound, in_range, other_length };

Bytes breaking_record(Break kind, std::mt19937_64& random)
{
    switch (kind) {
    case Break::none: return common_record(time_outside(random), random);
    case Break::damaged: {
        Bytes r = common_record(time_outside(random), random);
        r[random() % 15] ^= static_cast<std::uint8_t>(1 + random() % 255);
        return r;
    }
    case Break::no_time: return common_record(0xFFFFFFFF, random);  // the checksum matches, the time says no record
    case Break::at_start_bound: return common_record(start_bound, random);
    case Break::at_end_bound: return common_record(end_bound, random);
    case Break::in_range:
        return common_record(static_cast<std::uint32_t>(start_bound + 1 + random() % (end_bound - start_bound - 1)),
                             random);
    case Break::other_length: {
        const int length_byte =
            random() % 2 == 0 ? 1 + static_cast<int>(random() % 8) : 10 + static_cast<int>(random() % 31);
        return record(time_outside(random), length_byte - 1, static_cast<std::uint8_t>(random()));
    }
    }
    return {};
}

// A sector of one long run of 15-byte records outside the range, which the walk checks a group at a time:
// the run starts after a first record of `lead` bytes (none for 0) and fills the sector, its record at
// `position` broken by `kind`.
Bytes run_sector(int lead, Break kind, int position, std::mt19937_64& random)
{
    std::vector<Bytes> records;
    if (lead != 0) records.push_back(record(time_outside(random), lead - 7, static_cast<std::uint8_t>(random())));
    int used = lead;
    for (int i = 0;; ++i) {
        Bytes r = breaking_record(i == position ? kind : Break::none, random);
        if (used + static_cast<int>(r.size()) > 512) break;
        used += static_cast<int>(r.size());
        records.push_back(std::move(r));
    }
    return sector_with(records);
}

TEST(SectorScanReference, AgreesOnRunsOfTheCommonLengthBrokenAnywhere)
{
    // A first record of 16 or 17 bytes makes the run end on byte 510 or 511; after one of 31 bytes a group
    // starts at the last offset a group check can read from.
    std::mt19937_64 random(4);
    std::vector<Bytes> sectors;
    const Break kinds[] = {Break::none,         Break::damaged,  Break::no_time,     Break::at_start_bound,
                           Break::at_end_bound, Break::in_range, Break::other_length};
    for (const int lead : {0, 7, 16, 17, 31, 46})
        for (const Break kind : kinds)
            for (int position = 0; position < 35; ++position)
                sectors.push_back(run_sector(lead, kind, position, random));
    const std::string lines = expect_same_outcome(card_with(sectors), "runs broken once");
    EXPECT_GT(std::count(lines.begin(), lines.end(), '\n'), 3 * 6 * 30);  // the in-range breaks of every run
}

TEST(SectorScanReference, AgreesOnRunsOfTheCommonLengthWithRareBreaks)
{
    // Many breaks, and in-range records amid the others, at random.
    std::mt19937_64 random(5);
    std::vector<Bytes> sectors;
    for (int i = 0; i < 2048 + 37; ++i) {
        const int lead = random() % 3 == 0 ? 0 : 7 + static_cast<int>(random() % 40);
        std::vector<Bytes> records;
        if (lead != 0) records.push_back(record(time_outside(random), lead - 7, static_cast<std::uint8_t>(random())));
        for (int used = lead;;) {
            const int roll = static_cast<int>(random() % 400);
            const Break kind = roll < 8    ? Break::in_range
                               : roll < 9  ? Break::at_start_bound
                               : roll < 10 ? Break::at_end_bound
                               : roll < 11 ? Break::damaged
                               : roll < 12 ? Break::no_time
                               : roll < 16 ? Break::other_length
                                           : Break::none;
            Bytes r = breaking_record(kind, random);
            if (used + static_cast<int>(r.size()) > 512) break;
            used += static_cast<int>(r.size());
            records.push_back(std::move(r));
        }
        sectors.push_back(sector_with(records));
    }
    const std::string lines = expect_same_outcome(card_with(sectors), "runs with rare breaks");
    EXPECT_GT(std::count(lines.begin(), lines.end(), '\n'), 1000);
}

}  // namespace
