#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "services/dates.h"
#include "textcard/day_sort.h"
#include "textcard/text_scan.h"
#include "textcard/written_day_files.h"
#include "tests/test_support.h"

namespace {

const std::int64_t march_1 = midnight("20240301");
const std::int64_t march_31 = midnight("20240331");

// A record line of March 2024 as a text-log card holds it: "20", the date digits `yymmdd`, the time
// `hhmmss`, 22 digits of type, payload and CRC, and a line end; 38 bytes.
std::string line(const std::string& yymmdd, const std::string& hhmmss, const std::string& digits = "0A0102030405060708090A")
{
    return "20" + yymmdd + hhmmss + digits + "\r\n";
}

Bytes bytes_of(const std::string& text) { return Bytes(text.begin(), text.end()); }

// Scans `volume` into `dir`, noting the day files in `written`; returns the scan's result.
int scan_into(const TempDir& dir, const std::string& volume, WrittenDayFiles& written)
{
    MemoryVolume card(bytes_of(volume));
    TextScanSetup setup;
    setup.directory = dir.path();
    setup.written = &written;
    capture_output();
    const int code = scan_text_card(card, march_1, march_31, setup);
    captured_output();
    return code;
}

struct SortOutcome {
    int code;
    std::string console;
};

// Sorts the day files of `dir` as a run does after its scan.
SortOutcome sort_after_scan(const TempDir& dir, const WrittenDayFiles& written, bool unique = false,
                            RunReport* report = nullptr)
{
    DaySortSetup setup;
    setup.directory = dir.path();
    setup.written = &written;
    setup.unique = unique;
    setup.report = report;
    capture_output();
    const int code = sort_day_files(setup);
    return {code, captured_output()};
}

std::string sorted_console(const std::vector<std::string>& names)
{
    std::string console = "Sorting files...\n";
    for (const std::string& name : names)
        console += name + "   \nReading file...\rSorting data...\rWriting file...\r";
    return console;
}

// Day 10 comes in order over three openings (dates interleave), day 11 out of order, day 12 is
// appended to a file of an earlier run, day 13 to an empty one, day 14 in order with a line twice.
const std::string interleaved_volume = line("240310", "080000") + line("240311", "090000") + line("240310", "080001") +
                                       line("240312", "070000") + line("240310", "080002") +
                                       line("240311", "085959") + line("240313", "060000") +
                                       line("240314", "050000") + line("240314", "050000") +
                                       line("240314", "050001");
const std::string earlier_line = line("240312", "235959");

struct FollowCase {
    const char* name;
    bool followed;
    std::int64_t lines;
    bool in_order;
    bool repeats;
};

TEST(WrittenDayFiles, TheScanNotesTheOrderOfEachFileItFilledFromEmpty)
{
    TempDir dir;
    dir.write("20240312.txt", earlier_line);
    dir.write("20240313.txt", "");
    WrittenDayFiles written;
    ASSERT_EQ(scan_into(dir, interleaved_volume, written), 0);
    const std::vector<FollowCase> cases = {
        {"20240310.txt", true, 3, true, false},  {"20240311.txt", true, 2, false, false},
        {"20240312.txt", false, 0, true, false}, {"20240313.txt", true, 1, true, false},
        {"20240314.txt", true, 3, true, true},
    };
    ASSERT_EQ(written.files.size(), cases.size());
    for (const FollowCase& c : cases) {
        const WrittenDayFile& file = written.files.at(c.name);
        EXPECT_EQ(file.followed, c.followed) << c.name;
        if (!c.followed) continue;
        EXPECT_EQ(file.lines, c.lines) << c.name;
        EXPECT_EQ(file.in_order, c.in_order) << c.name;
        EXPECT_EQ(file.repeats, c.repeats) << c.name;
    }
    // Only the files that stand as the sort would write them are taken as sorted.
    for (const char* name : {"20240310.txt", "20240313.txt", "20240314.txt"})
        EXPECT_NE(day_file_in_order(&written, name, false), nullptr) << name;
    for (const char* name : {"20240311.txt", "20240312.txt", "20240399.txt"})
        EXPECT_EQ(day_file_in_order(&written, name, false), nullptr) << name;
    EXPECT_EQ(day_file_in_order(&written, "20240314.txt", true), nullptr);
    EXPECT_NE(day_file_in_order(&written, "20240310.txt", true), nullptr);
}

TEST(WrittenDayFiles, TheSortGivesTheSameFilesAndConsoleAsWithoutWhatTheScanNoted)
{
    for (const bool unique : {false, true}) {
        std::map<std::string, std::string> results[2];
        std::string consoles[2];
        RunReport reports[2];
        for (const bool noted : {false, true}) {
            TempDir dir;
            dir.write("20240312.txt", earlier_line);
            dir.write("20240313.txt", "");
            WrittenDayFiles written;
            ASSERT_EQ(scan_into(dir, interleaved_volume, written), 0);
            const WrittenDayFiles none;
            const SortOutcome r = sort_after_scan(dir, noted ? written : none, unique, &reports[noted]);
            EXPECT_EQ(r.code, 0);
            consoles[noted] = r.console;
            for (const std::string& name : dir.files()) results[noted][name] = dir.read(name);
        }
        EXPECT_EQ(consoles[true], consoles[false]);
        EXPECT_EQ(results[true], results[false]);
        ASSERT_EQ(reports[true].files.size(), reports[false].files.size());
        for (std::size_t i = 0; i < reports[true].files.size(); ++i) {
            EXPECT_EQ(reports[true].files[i].name, reports[false].files[i].name);
            EXPECT_EQ(reports[true].files[i].lines_after_sort, reports[false].files[i].lines_after_sort)
                << reports[true].files[i].name;
        }
        EXPECT_EQ(reports[true].duplicates_dropped, reports[false].duplicates_dropped);
    }
    // And the files are what sorting them gives.
    TempDir dir;
    dir.write("20240312.txt", earlier_line);
    WrittenDayFiles written;
    ASSERT_EQ(scan_into(dir, interleaved_volume, written), 0);
    EXPECT_EQ(sort_after_scan(dir, written).console,
              sorted_console({"20240310.txt", "20240311.txt", "20240312.txt", "20240313.txt", "20240314.txt"}));
    EXPECT_EQ(dir.read("20240310.txt"), line("240310", "080000") + line("240310", "080001") + line("240310", "080002"));
    EXPECT_EQ(dir.read("20240311.txt"), line("240311", "085959") + line("240311", "090000"));
    EXPECT_EQ(dir.read("20240312.txt"), line("240312", "070000") + earlier_line);
}

TEST(WrittenDayFiles, AFileTheScanFilledInOrderIsNotReadBack)
{
    TempDir dir;
    dir.write("20240312.txt", earlier_line);
    WrittenDayFiles written;
    ASSERT_EQ(scan_into(dir, interleaved_volume, written), 0);
    // Swapped behind the sort's back, which no other run can do while the directory is locked:
    // the files the scan filled in order are left as they stand; the others are read and sorted.
    const std::string swapped = line("240310", "100000") + line("240310", "000000");
    for (const char* name : {"20240310.txt", "20240311.txt", "20240312.txt", "20240313.txt"}) dir.write(name, swapped);
    EXPECT_EQ(sort_after_scan(dir, written).code, 0);
    const std::string sorted = line("240310", "000000") + line("240310", "100000");
    EXPECT_EQ(dir.read("20240310.txt"), swapped);
    EXPECT_EQ(dir.read("20240313.txt"), swapped);
    EXPECT_EQ(dir.read("20240311.txt"), sorted);
    EXPECT_EQ(dir.read("20240312.txt"), sorted);
}

TEST(WrittenDayFiles, LinesCompareAsUnsignedBytes)
{
    const std::string base = line("240310", "080000");
    ASSERT_EQ(base.size(), appended_line_length);
    // The scan takes a line's words from the 36 bytes after its lead-in "20".
    const auto words = [](const std::string& l) {
        return appended_line_words_after_lead_in(reinterpret_cast<const unsigned char*>(l.data() + 2));
    };
    // A difference at every position after the lead-in, upwards and downwards, past the sign bit too.
    for (std::size_t at = 2; at < appended_line_length; ++at) {
        for (const unsigned char other : {0x00, 0x7F, 0x80, 0xFF}) {
            std::string changed = base;
            changed[at] = static_cast<char>(other);
            const int expected = std::memcmp(changed.data(), base.data(), appended_line_length);
            const int got = compare_appended_line_words(words(changed), words(base));
            EXPECT_EQ(got < 0, expected < 0) << at << " " << int{other};
            EXPECT_EQ(got == 0, expected == 0) << at << " " << int{other};
            EXPECT_EQ(compare_appended_line_words(words(base), words(changed)) < 0, expected > 0) << at;
        }
    }
    // The words are the line's bytes at 0, 8, 16, 24 and 30, the lead-in included.
    AppendedLineWords in_memory{};
    for (std::size_t i = 0; i < in_memory.size(); ++i) std::memcpy(&in_memory[i], base.data() + (i < 4 ? i * 8 : 30), 8);
    EXPECT_EQ(words(base), in_memory);
}

TEST(WrittenDayFiles, FilesFirstOpenedBeyondTheCapacityAreNotFollowed)
{
    TempDir dir;
    WrittenDayFiles written;
    written.capacity = 1;
    // Day 11 is first opened beyond the capacity, and again later when it holds a line.
    ASSERT_EQ(scan_into(dir, line("240310", "080000") + line("240311", "080000") + line("240310", "080001") +
                                 line("240311", "080001"),
                        written),
              0);
    EXPECT_EQ(written.files.size(), 1u);
    EXPECT_NE(day_file_in_order(&written, "20240310.txt", false), nullptr);
    EXPECT_EQ(day_file_in_order(&written, "20240311.txt", false), nullptr);
}

}  // namespace
