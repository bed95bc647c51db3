#include <gtest/gtest.h>

#include <cstring>
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

}  // namespace
