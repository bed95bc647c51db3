#include <gtest/gtest.h>

#include "services/dates.h"

namespace {

struct DateCase {
    const char* text;
    bool valid;
};

class DateParser : public testing::TestWithParam<DateCase> {};

TEST_P(DateParser, AcceptsExactlyTheValidDates)
{
    const DateCase c = GetParam();
    EXPECT_EQ(parse_date(c.text) != 0, c.valid) << "'" << c.text << "'";
}

INSTANTIATE_TEST_SUITE_P(Table, DateParser, testing::Values(
    DateCase{"20200101", true},
    DateCase{"2020011", false},        // one digit too few
    DateCase{"202001011", false},      // one digit too many
    DateCase{"", false},
    DateCase{"20200229", true},        // leap year
    DateCase{"20210229", false},
    DateCase{"20200230", false},
    DateCase{"20240430", true},
    DateCase{"20240431", false},
    DateCase{"20240931", false},
    DateCase{"20241131", false},
    DateCase{"20240131", true},
    DateCase{"20240132", false},
    DateCase{"20241301", false},
    DateCase{"20240001", false},
    DateCase{"20240100", false},       // day 00 is no day
    DateCase{"19991231", false},
    DateCase{"20000101", true},
    DateCase{"20301231", true},
    DateCase{"20310101", false},
    DateCase{" 2020101", false},       // blanks, signs and letters are not digits
    DateCase{"2020+1+1", false},
    DateCase{"2020 1 1", false},
    DateCase{"2020-1-1", false},
    DateCase{"2020010a", false},
    DateCase{"２0200101", false}));

TEST(DateParser, BoundsAreStandardTimeMidnightsOneDayApart)
{
    // Standard time has no daylight-saving jump, so consecutive days are
    // exactly 86400 seconds apart in every season.
    EXPECT_EQ(parse_date("20200301") - parse_date("20200228"), 2 * 86400);
    EXPECT_EQ(parse_date("20240701") - parse_date("20240630"), 86400);
    EXPECT_EQ(parse_date("20241028") - parse_date("20241026"), 2 * 86400);
    EXPECT_EQ(parse_date("20250101") - parse_date("20240101"), 366 * 86400);
    // Whatever the zone, a bound lies within a day of UTC midnight.
    const std::int64_t utc_midnight_2020 = 1577836800;
    EXPECT_LT(std::llabs(parse_date("20200101") - utc_midnight_2020), 86400);
}

}  // namespace
