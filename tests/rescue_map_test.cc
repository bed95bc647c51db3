// Rescue mapfiles: what the parser takes and refuses, what the writer writes, and
// how finished areas are looked up.
#include <gtest/gtest.h>

#include <limits>

#include "services/rescue_map.h"

namespace {

struct GoodMap {
    const char* what;
    const char* text;
    std::uint64_t current_pos;
    char current_status;
    int current_pass;
    std::vector<MapArea> areas;
};

const std::vector<GoodMap> good_maps = {
    {"as the rescue tool writes it",
     "# Mapfile. Created by GNU ddrescue version 1.27\n"
     "# Command line: ddrescue -d -c18 /dev/fd0 fdimage mapfile\n"
     "# current_pos  current_status  current_pass\n"
     "0x00120000     ?               1\n"
     "#      pos        size  status\n"
     "0x00000000  0x00117000  +\n"
     "0x00117000  0x00000200  -\n"
     "0x00117200  0x00001000  /\n"
     "0x00118200  0x00007E00  *\n"
     "0x00120000  0x00048000  ?\n",
     0x120000, '?', 1,
     {{0, 0x117000, '+'}, {0x117000, 0x200, '-'}, {0x117200, 0x1000, '/'}, {0x118200, 0x7E00, '*'},
      {0x120000, 0x48000, '?'}}},
    {"decimal, octal and lower-case hexadecimal", "1024 + 3\n0 010 +\n8 0x3f8 -\n", 1024, '+', 3,
     {{0, 8, '+'}, {8, 0x3F8, '-'}}},
    {"a status line without its pass, from an old version", "0 +\n0 512 +\n", 0, '+', 1, {{0, 512, '+'}}},
    {"comments after blanks, blank lines, CR LF, tabs",
     "\r\n  # note\r\n0\t-\t2  # retrying\r\n\r\n0 512 + # good\r\n", 0, '-', 2, {{0, 512, '+'}}},
    {"no areas at all", "0 ? 1\n", 0, '?', 1, {}},
    {"the first area need not start at 0", "0 + 1\n4096 512 +\n", 0, '+', 1, {{4096, 512, '+'}}},
    {"an empty area", "0 + 1\n0 0 +\n0 512 -\n", 0, '+', 1, {{0, 0, '+'}, {0, 512, '-'}}},
    {"the last line without a line end", "0 F 1\n0 512 +", 0, 'F', 1, {{0, 512, '+'}}},
};

TEST(RescueMap, ParsesValidMapfiles)
{
    for (const GoodMap& good : good_maps) {
        RescueMap map;
        ASSERT_TRUE(parse_rescue_map(good.text, map)) << good.what;
        EXPECT_EQ(map.current_pos, good.current_pos) << good.what;
        EXPECT_EQ(map.current_status, good.current_status) << good.what;
        EXPECT_EQ(map.current_pass, good.current_pass) << good.what;
        EXPECT_TRUE(map.areas == good.areas) << good.what;
    }
}

TEST(RescueMap, RefusesInvalidMapfiles)
{
    const std::vector<std::pair<const char*, const char*>> bad_maps = {
        {"empty", ""},
        {"comments only", "# Mapfile\n# nothing else\n"},
        {"an area line where the status line belongs", "0 512 +\n"},
        {"an unknown status on the status line", "0 X 1\n0 512 +\n"},
        {"pass 0", "0 + 0\n0 512 +\n"},
        {"a hexadecimal pass", "0 + 0x1\n0 512 +\n"},
        {"a fractional pass", "0 + 1.5\n0 512 +\n"},
        {"a status of the status line only, in an area", "0 + 1\n0 512 F\n"},
        {"an area without status", "0 + 1\n0 512\n"},
        {"a word after an area", "0 + 1\n0 512 + extra\n"},
        {"a status of two characters", "0 + 1\n0 512 ++\n"},
        {"a negative size", "0 + 1\n0 -5 +\n"},
        {"a digit 8 in an octal number", "0 + 1\n0 08 +\n"},
        {"a bare 0x", "0 + 1\n0x 512 +\n"},
        {"a letter in a decimal number", "0 + 1\n0 51a +\n"},
        {"a gap between areas", "0 + 1\n0 512 +\n1024 512 -\n"},
        {"overlapping areas", "0 + 1\n0 512 +\n256 512 -\n"},
        {"a position beyond 2^63 - 1", "0 + 1\n0x8000000000000000 1 +\n"},
        {"an area that ends beyond 2^63 - 1", "0 + 1\n1 0x7FFFFFFFFFFFFFFF +\n"},
        {"a '#' inside a number", "0 + 1\n0 512#x +\n"},
        {"the image itself given as the mapfile", "\x7f" "ELF\x02\x01\x01\n\x00\x00\n"},
    };
    for (const auto& [what, text] : bad_maps) {
        RescueMap map;
        EXPECT_FALSE(parse_rescue_map(text, map)) << what;
    }
}

TEST(RescueMap, WritesTheFormatOfTheRescueToolAndReadsItBack)
{
    RescueMap map;
    map.current_pos = 0x20200;
    map.current_status = '?';
    append_map_area(map, 0, 0x20000, '+');
    append_map_area(map, 0x20000, 0x200, '-');
    append_map_area(map, 0x20200, 0x100000000, '?');
    const std::string text = format_rescue_map(map, "# Mapfile. Created by a test\n");
    EXPECT_EQ(text,
              "# Mapfile. Created by a test\n"
              "# current_pos  current_status  current_pass\n"
              "0x00020200     ?               1\n"
              "#      pos        size  status\n"
              "0x00000000  0x00020000  +\n"
              "0x00020000  0x00000200  -\n"
              "0x00020200  0x100000000  ?\n");
    RescueMap read;
    ASSERT_TRUE(parse_rescue_map(text, read));
    EXPECT_TRUE(read.areas == map.areas);
    EXPECT_EQ(read.current_pos, map.current_pos);
}

TEST(RescueMap, AppendedAreasOfOneStatusMerge)
{
    RescueMap map;
    append_map_area(map, 0, 512, '+');
    append_map_area(map, 512, 1024, '+');
    append_map_area(map, 1536, 0, '-');
    append_map_area(map, 1536, 512, '-');
    append_map_area(map, 2048, 512, '+');
    EXPECT_TRUE(map.areas == (std::vector<MapArea>{{0, 1536, '+'}, {1536, 512, '-'}, {2048, 512, '+'}}));
}

TEST(RescueMap, FinishedAreasMergeAndAnswerLookups)
{
    RescueMap map;
    ASSERT_TRUE(parse_rescue_map("0 + 1\n0 100 +\n100 50 +\n150 10 -\n160 40 ?\n200 0 +\n200 300 +\n", map));
    const FinishedAreas finished = finished_areas(map);
    ASSERT_EQ(finished.runs.size(), 2u);
    EXPECT_EQ(finished.runs[0], std::make_pair(std::uint64_t{0}, std::uint64_t{150}));
    EXPECT_EQ(finished.runs[1], std::make_pair(std::uint64_t{200}, std::uint64_t{500}));
    const std::uint64_t none = std::numeric_limits<std::uint64_t>::max();
    const std::vector<std::tuple<std::uint64_t, bool, std::uint64_t>> lookups = {
        {0, true, 150}, {149, true, 150}, {150, false, 200}, {199, false, 200},
        {200, true, 500}, {499, true, 500}, {500, false, none}, {none - 1, false, none},
    };
    for (const auto& [pos, inside, until] : lookups) {
        std::uint64_t got = 0;
        EXPECT_EQ(finished_at(finished, pos, got), inside) << pos;
        EXPECT_EQ(got, until) << pos;
    }
}

}  // namespace
