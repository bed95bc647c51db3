#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "binarycard/record_line.h"
#include "tests/test_support.h"

namespace {

// Returns the record line of the record at the start of `bytes`.
std::string line_of(const Bytes& bytes)
{
    const Bytes sector = sector_with({bytes});
    CardRecord rec;
    EXPECT_TRUE(validate_record(sector.data(), 0, rec));
    StampCache cache;
    char out[max_record_line_length];
    return std::string(out, format_record_line(sector.data(), rec, cache, out));
}

std::string stamp_of(std::int64_t seconds)
{
    StampCache cache;
    char out[stamp_length];
    format_time_stamp(cache, seconds, out);
    return std::string(out, stamp_length);
}

TEST(RecordLine, WorkedExamples)
{
    EXPECT_EQ(line_of({0x70, 0x05, 0x8B, 0x64, 0x09, 0x01, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x61}),
              "202306151234560100112233445566772CEA");
    EXPECT_EQ(line_of({0x70, 0x05, 0x8B, 0x64, 0x01, 0x2A, 0x1C}), "202306151234562AFFFF");
}

TEST(RecordLine, LengthFollowsTheLengthByte)
{
    EXPECT_EQ(line_of(record(1700000000, 0)).size(), 20u);
    EXPECT_EQ(line_of(record(1700000000, 8)).size(), 36u);
    const std::string longest = line_of(record(1700000000, 39, 0x0F));
    ASSERT_EQ(longest.size(), 98u);
    EXPECT_EQ(longest.substr(14, 6), "0FA0A1");
    EXPECT_EQ(longest.substr(14 + 2 + 2 * 38, 2), "C6");  // last payload byte 0xA0 + 38
}

TEST(RecordLine, CrcIsModbusPrintedLowByteFirst)
{
    const std::uint8_t digits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(crc16_modbus(digits, sizeof digits), 0x4B37);
    Bytes r = {0x70, 0x05, 0x8B, 0x64, 10, 0x00};
    r.insert(r.end(), digits, digits + 9);
    std::uint8_t sum = 0x55;
    for (std::uint8_t b : r) sum = static_cast<std::uint8_t>(sum + b);
    r.push_back(static_cast<std::uint8_t>(-sum));
    const std::string line = line_of(r);
    EXPECT_EQ(line.substr(line.size() - 4), "374B");
}

TEST(RecordLine, StampsAreUtcWithCenturyTwenty)
{
    EXPECT_EQ(stamp_of(0), "20700101000000");
    EXPECT_EQ(stamp_of(4294967294LL), "20060207062814");
    EXPECT_EQ(stamp_of(1688646305), "20230706122505");
    EXPECT_EQ(stamp_of(951782400), "20000229000000");  // leap day
    EXPECT_EQ(stamp_of(951868799), "20000229235959");
}

TEST(RecordLine, StampCacheFollowsTheDay)
{
    // One cache across days, back and forth, gives what fresh caches give.
    StampCache cache;
    const std::int64_t times[] = {1688646305, 1688646306, 1688688000, 1688601599, 1688646305, 0, 4294967294LL};
    for (std::int64_t t : times) {
        char out[stamp_length];
        format_time_stamp(cache, t, out);
        EXPECT_EQ(std::string(out, stamp_length), stamp_of(t)) << t;
    }
}

}  // namespace
