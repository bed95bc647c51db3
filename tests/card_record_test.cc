#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "binarycard/card_record.h"
#include "tests/test_support.h"

namespace {

// Counts the records a walk from offset 0 finds.
int walk(const Bytes& sector)
{
    CardRecord rec;
    int found = 0;
    for (int offset = 0; validate_record(sector.data(), offset, rec); offset += rec.total_length) ++found;
    return found;
}

TEST(RecordValidator, AcceptsTheWorkedExample)
{
    const Bytes sector = sector_with({{0x00, 0x00, 0x00, 0x5F, 0x03, 0x10, 0xAA, 0xBB, 0xD4}});
    CardRecord rec;
    ASSERT_TRUE(validate_record(sector.data(), 0, rec));
    EXPECT_EQ(rec.start, 0);
    EXPECT_EQ(rec.time, 0x5F000000);
    EXPECT_EQ(rec.total_length, 9);
    EXPECT_EQ(walk(sector), 1);
}

TEST(RecordValidator, RejectsEmptyAndBadlyFormedRecords)
{
    EXPECT_EQ(walk(sector_with({})), 0);  // all 0xFF
    Bytes zero_length = record(1000, 0);
    zero_length[4] = 0;
    EXPECT_EQ(walk(sector_with({zero_length})), 0);
    Bytes too_long = record(1000, 40);  // length byte 41
    EXPECT_EQ(too_long[4], 41);
    EXPECT_EQ(walk(sector_with({too_long})), 0);
    EXPECT_EQ(walk(sector_with({record(1000, 39)})), 1);  // length byte 40, 46 bytes
    Bytes no_time = record(0xFFFFFFFF, 3);
    EXPECT_EQ(walk(sector_with({no_time})), 0);
}

TEST(RecordValidator, BadChecksumEndsTheWalkOfItsSector)
{
    Bytes broken = record(2000, 5);
    broken.back() = static_cast<std::uint8_t>(broken.back() + 1);
    EXPECT_EQ(walk(sector_with({record(1000, 2), broken, record(3000, 2)})), 1);
}

TEST(RecordValidator, RespectsTheSectorEnd)
{
    CardRecord rec;
    const Bytes seven = record(1000, 0);
    EXPECT_TRUE(validate_record(sector_with({seven}, 505).data(), 505, rec));  // ends on byte 511
    // An 8-byte record at 505 would end past the sector: only its first 7 bytes fit.
    Bytes cut = sector_with({});
    const Bytes eight = record(1000, 1);
    std::memcpy(cut.data() + 505, eight.data(), 7);
    EXPECT_FALSE(validate_record(cut.data(), 505, rec));
    Bytes at_506 = sector_with({});
    std::memcpy(at_506.data() + 506, seven.data(), 6);
    EXPECT_FALSE(validate_record(at_506.data(), 506, rec));
    EXPECT_EQ(rec.start, 506);

    std::vector<Bytes> filled(73, seven);
    EXPECT_EQ(walk(sector_with(filled)), 73);  // 511 bytes; nothing fits at 511
}

TEST(RecordValidator, TimeWithTopBitSetIsLargeAndPositive)
{
    CardRecord rec;
    ASSERT_TRUE(validate_record(sector_with({record(0xFFFFFFFE, 2)}).data(), 0, rec));
    EXPECT_EQ(rec.time, 4294967294LL);
}

// A 15-byte record (length byte 9) of `time` with payload bytes from `random` and a correct checksum.
Bytes common_record(std::uint32_t time, std::mt19937_64& random)
{
    Bytes r = record(time, 8, static_cast<std::uint8_t>(random()));
    for (std::size_t i = 6; i < 14; ++i) r[i] = static_cast<std::uint8_t>(random());
    unsigned sum = 0x55;
    for (std::size_t i = 0; i < 14; ++i) sum += r[i];
    r[14] = static_cast<std::uint8_t>(-sum);
    return r;
}

// Checks the group at `offset` of `sector` lane by lane against valid_record_length and the plain range
// test; the sector is copied into exactly 512 bytes on the heap, so that ASan reports a read past it.
void expect_group_agrees(const Bytes& sector, int offset, std::int64_t start, std::int64_t end,
                         const std::string& what)
{
    const auto copy = std::make_unique<std::uint8_t[]>(512);
    std::memcpy(copy.get(), sector.data(), 512);
    const CommonGroupCheck check = check_common_group(copy.get(), offset, window_lanes(time_window(start, end)));
    const unsigned valid = lane_bits(check.valid);
    const unsigned outside = lane_bits(check.outside);
    for (int k = 0; k < common_group_records; ++k) {
        std::uint32_t time = 0;
        const bool plain_valid = valid_record_length(sector.data(), offset + 15 * k, time) == 15;
        EXPECT_EQ((valid >> k & 1) != 0, plain_valid) << what << ", lane " << k;
        if (plain_valid) {
            EXPECT_EQ((outside >> k & 1) != 0, time < start || time > end) << what << ", lane " << k;
        }
    }
    EXPECT_EQ(all_lanes(check.valid), valid == 0xF) << what;
}

TEST(TimeWindow, HoldsTheRecordTimesOfTheBounds)
{
    const struct {
        std::int64_t start, end;
        TimeWindow window;
    } cases[] = {
        {0, 0xFFFFFFFF, {0, 0xFFFFFFFF}},
        {1704067200, 1706745599, {1704067200, 2678399}},
        {-5, 10, {0, 10}},                                   // no time is negative
        {100, std::int64_t{1} << 40, {100, 0xFFFFFFFF - 100}},  // nor past 32 bits
        {7, 7, {7, 0}},
        // No time in range: 0xFFFFFFFF alone, which no valid record has.
        {10, 9, {0xFFFFFFFF, 0}},
        {std::int64_t{1} << 33, std::int64_t{1} << 34, {0xFFFFFFFF, 0}},
        {-10, -1, {0xFFFFFFFF, 0}},
    };
    for (const auto& c : cases) {
        const TimeWindow window = time_window(c.start, c.end);
        EXPECT_EQ(window.first, c.window.first) << c.start << ".." << c.end;
        EXPECT_EQ(window.span, c.window.span) << c.start << ".." << c.end;
    }
}

TEST(CommonGroupCheck, AgreesWithTheValidatorWhateverBreaksARecord)
{
    std::mt19937_64 random(4);
    constexpr std::int64_t start = 1704067200, end = 1706745599;  // January 2024
    // Each lane in turn broken one way, at the start of a sector, at an odd offset, and at the last offset
    // a group can start from, where the 16 bytes read for its last record end on the sector's last byte.
    const struct {
        const char* what;
        void (*spoil)(Bytes& record);
    } spoils[] = {
        {"as written", [](Bytes&) {}},
        {"checksum off by one", [](Bytes& r) { ++r[14]; }},
        {"a payload bit flipped", [](Bytes& r) { r[9] ^= 0x40; }},
        {"length byte 8, checksum of 15 bytes matching", [](Bytes& r) { r[4] = 8, ++r[14]; }},
        {"length byte 0x89, checksum of 15 bytes matching", [](Bytes& r) { r[4] = 0x89, r[14] -= 0x80; }},
        {"time 0xFFFFFFFF, checksum matching",
         [](Bytes& r) {
             for (int i = 0; i < 4; ++i) r[14] = static_cast<std::uint8_t>(r[14] + r[i] - 0xFF), r[i] = 0xFF;
         }},
    };
    for (const int offset : {0, 7, last_common_group_offset}) {
        for (const auto& spoil : spoils) {
            for (int lane = 0; lane < common_group_records; ++lane) {
                Bytes sector(512);
                for (auto& b : sector) b = static_cast<std::uint8_t>(random());
                for (int k = 0; k < common_group_records; ++k) {
                    Bytes r = common_record(static_cast<std::uint32_t>(start - 1000 + k * 400), random);
                    if (k == lane) spoil.spoil(r);
                    std::copy(r.begin(), r.end(), sector.begin() + offset + 15 * k);
                }
                expect_group_agrees(sector, offset, start, end,
                                    std::string(spoil.what) + " at offset " + std::to_string(offset));
            }
        }
    }
}

TEST(CommonGroupCheck, IgnoresTheByteAfterTheGroup)
{
    // The group reads one byte past its last record: whatever it holds, the records are the same.
    std::mt19937_64 random(5);
    Bytes sector(512, 0xFF);
    for (int k = 0; k < 4; ++k) {
        const Bytes r = common_record(1000 + k, random);
        std::copy(r.begin(), r.end(), sector.begin() + last_common_group_offset + 15 * k);
    }
    for (const int byte : {0x00, 0x01, 0x80, 0xFF}) {
        sector[511] = static_cast<std::uint8_t>(byte);
        const CommonGroupCheck check =
            check_common_group(sector.data(), last_common_group_offset, window_lanes(time_window(0, 999)));
        EXPECT_TRUE(all_lanes(check.valid & check.outside)) << byte;
    }
}

TEST(CommonGroupCheck, FindsTimesAtTheEdgesOfTheWindow)
{
    std::mt19937_64 random(6);
    const struct {
        std::int64_t start, end;
        std::uint32_t times[4];
    } cases[] = {
        {1000, 2000, {999, 1000, 2000, 2001}},
        {1000, 1000, {999, 1000, 1001, 0}},
        {0, 0, {0, 1, 0xFFFFFFFE, 0x80000000}},
        {0x7FFFFFFF, 0x80000000, {0x7FFFFFFE, 0x7FFFFFFF, 0x80000000, 0x80000001}},  // where the sign flips
        {0, 0xFFFFFFFF, {0, 1, 0x80000000, 0xFFFFFFFE}},
        {-100, std::int64_t{1} << 40, {0, 5, 0x7FFFFFFF, 0xFFFFFFFE}},
        {0xFFFFFFFE, 0xFFFFFFFF, {0xFFFFFFFD, 0xFFFFFFFE, 0, 0x7FFFFFFF}},
        {2000, 1000, {0, 1000, 1500, 0xFFFFFFFE}},  // an empty range
        {std::int64_t{1} << 32, std::int64_t{1} << 33, {0, 0xFFFFFFFE, 0x80000000, 7}},
    };
    for (const auto& c : cases) {
        Bytes sector(512, 0xFF);
        for (int k = 0; k < 4; ++k) {
            const Bytes r = common_record(c.times[k], random);
            std::copy(r.begin(), r.end(), sector.begin() + 30 + 15 * k);
        }
        expect_group_agrees(sector, 30, c.start, c.end, std::to_string(c.start) + ".." + std::to_string(c.end));
    }
}

TEST(CommonGroupCheck, AgreesWithTheValidatorOnRandomRuns)
{
    // Runs of 15-byte records, some damaged, checked from every offset a group can start at, with windows
    // that cut through the records' times.
    std::mt19937_64 random(7);
    for (int round = 0; round < 300; ++round) {
        Bytes sector(512);
        for (auto& b : sector) b = static_cast<std::uint8_t>(random());
        const int run_start = static_cast<int>(random() % 30);
        for (int at = run_start; at + 15 <= 512; at += 15) {
            Bytes r = common_record(static_cast<std::uint32_t>(1000 + random() % 64), random);
            if (random() % 8 == 0) r[random() % 15] ^= static_cast<std::uint8_t>(1 + random() % 255);
            std::copy(r.begin(), r.end(), sector.begin() + at);
        }
        const std::int64_t start = 1000 + static_cast<std::int64_t>(random() % 64);
        const std::int64_t end = start + static_cast<std::int64_t>(random() % 32) - 4;
        for (int offset = 0; offset <= last_common_group_offset; ++offset)
            expect_group_agrees(sector, offset, start, end, "round " + std::to_string(round));
    }
}

}  // namespace
