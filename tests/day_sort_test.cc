#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "textcard/day_sort.h"
#include "tests/plain_day_sort.h"
#include "tests/test_support.h"

namespace {

namespace fs = std::filesystem;

// The bytes of a literal that may hold NULs.
template <std::size_t N>
std::string raw(const char (&text)[N])
{
    return std::string(text, N - 1);
}

// A record line of 15 March 2024 at `hhmmss` with the 22 digits of type, payload and CRC.
std::string line(const std::string& hhmmss, const std::string& digits = "0A0102030405060708090A")
{
    return "20240315" + hhmmss + digits + "\r\n";
}

// The console text of a pass that sorted the files `names` one after the other.
std::string sorted_console(const std::vector<std::string>& names)
{
    std::string console = "Sorting files...\n";
    for (const std::string& name : names)
        console += name + "   \nReading file...\rSorting data...\rWriting file...\r";
    return console;
}

struct SortOutcome {
    int code;
    std::string console;
};

SortOutcome run_sort(const DaySortSetup& setup)
{
    capture_output();
    const int code = sort_day_files(setup);
    return {code, captured_output()};
}

DaySortSetup setup_in(const TempDir& dir)
{
    DaySortSetup setup;
    setup.directory = dir.path();
    return setup;
}

std::vector<std::string> pieces_of(const std::string& content)
{
    std::vector<std::string> pieces;
    for (const std::string_view piece : split_line_pieces(content)) pieces.emplace_back(piece);
    return pieces;
}

struct SplitCase {
    const char* what;
    std::string content;
    std::vector<std::string> pieces;
};

TEST(DaySort, SplitsIntoLinePieces)
{
    const std::string a38(38, 'A');
    const std::vector<SplitCase> cases = {
        {"nothing", "", {}},
        {"record lines", line("120000") + line("110000"), {line("120000"), line("110000")}},
        {"a last line without its end", "ab\ncd", {"ab\n", "cd"}},
        {"38 bytes without a line feed end a piece", a38 + "B\n", {a38, "B\n"}},
        {"a line feed as the 38th byte", std::string(37, 'A') + "\n" + "B", {std::string(37, 'A') + "\n", "B"}},
        {"a line feed as the 39th byte", a38 + "\n", {a38, "\n"}},
        {"a long run", std::string(80, 'C'), {std::string(38, 'C'), std::string(38, 'C'), "CCCC"}},
        {"a NUL does not end a piece", raw("a\0b\nc\n"), {raw("a\0b\n"), "c\n"}},
        {"empty lines", "\n\n", {"\n", "\n"}},
    };
    for (const SplitCase& c : cases) EXPECT_EQ(pieces_of(c.content), c.pieces) << c.what;
}

struct OrderCase {
    std::string first;
    std::string second;
};

TEST(DaySort, OrdersPiecesByUnsignedBytes)
{
    const std::vector<OrderCase> cases = {
        {line("120000"), line("120001")},
        {line("120000", "0A0102030405060708090A"), line("120000", "0B0102030405060708090A")},
        {"A\n", "\xff\n"},             // bytes above 0x7F sort last
        {raw("A\0\n"), "A\n"},       // NUL sorts first
        {"AB", "AB\n"},                // a prefix comes first
        {"20240315\n", "20240315\r\n"},  // the line end decides last: LF before CR
    };
    for (const OrderCase& c : cases) {
        EXPECT_TRUE(piece_before(c.first, c.second)) << c.first;
        EXPECT_FALSE(piece_before(c.second, c.first)) << c.first;
        EXPECT_FALSE(piece_before(c.first, c.first)) << c.first;
    }
}

TEST(DaySort, RecognisesDayFileNames)
{
    for (const char* name : {"20240315.txt", "20abcdef.txt", "20??????.txt", "20240315.TXT"})
        EXPECT_TRUE(is_day_file_name(name)) << name;
    for (const char* name : {"2024031.txt", "202403150.txt", "19240315.txt", "x0240315.txt", "20240315.txt.bak",
                             "20240315.tx", "20240315_txt", "2024.txt", ""})
        EXPECT_FALSE(is_day_file_name(name)) << name;
}

struct RewriteCase {
    const char* what;
    std::string before;
    std::string after;
};

TEST(DaySort, RewritesDayFilesInByteOrder)
{
    const std::string a38(38, 'A');
    const std::string b38(38, 'B');
    const std::vector<RewriteCase> cases = {
        {"by seconds", line("120001") + line("120000"), line("120000") + line("120001")},
        {"by type, payload and CRC digits at one time",
         line("120000", "0B0102030405060708090A") + line("120000", "0A0102030405060708090B") +
             line("120000", "0A0102030405060708090A"),
         line("120000", "0A0102030405060708090A") + line("120000", "0A0102030405060708090B") +
             line("120000", "0B0102030405060708090A")},
        {"duplicates kept next to each other", line("130000") + line("120000") + line("130000") + line("120000"),
         line("120000") + line("120000") + line("130000") + line("130000")},
        {"empty", "", ""},
        {"38-byte pieces without a line end", b38 + a38 + "C\n", a38 + b38 + "C\n"},
        {"a NUL byte is kept", raw("b\0x\na\n"), raw("a\nb\0x\n")},
        {"a last line without its end", line("120000") + "1", std::string("1") + line("120000")},
    };
    for (const RewriteCase& c : cases) {
        TempDir dir;
        dir.write("20240315.txt", c.before);
        const SortOutcome r = run_sort(setup_in(dir));
        EXPECT_EQ(r.code, 0) << c.what;
        EXPECT_EQ(r.console, sorted_console({"20240315.txt"})) << c.what;
        EXPECT_EQ(dir.read("20240315.txt"), c.after) << c.what;
        // Nothing is left beside the day file.
        EXPECT_EQ(dir.files(), std::vector<std::string>{"20240315.txt"}) << c.what;
    }
}

TEST(DaySort, VisitsEveryDayFileInNameOrderAndNothingElse)
{
    TempDir dir;
    const std::string unsorted = line("120001") + line("120000");
    const std::string sorted = line("120000") + line("120001");
    for (const char* name : {"20240316.txt", "20231231.txt", "20240315.txt"}) dir.write(name, unsorted);
    // Names outside the pattern and files in sub-directories are left alone.
    const std::vector<std::string> others = {"2024031.txt", "202403150.txt", "19240315.txt", "20240315.txt.bak",
                                             "20240315.log"};
    for (const std::string& name : others) dir.write(name, unsorted);
    fs::create_directory(dir.path() + "/sub");
    dir.write("sub/20240301.txt", unsorted);

    const SortOutcome r = run_sort(setup_in(dir));
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.console, sorted_console({"20231231.txt", "20240315.txt", "20240316.txt"}));
    for (const char* name : {"20231231.txt", "20240315.txt", "20240316.txt"}) EXPECT_EQ(dir.read(name), sorted);
    for (const std::string& name : others) EXPECT_EQ(dir.read(name), unsorted) << name;
    EXPECT_EQ(dir.read("sub/20240301.txt"), unsorted);
}

TEST(DaySort, NoDayFileIsAFailure)
{
    TempDir dir;
    dir.write("20240315.log", line("120000"));
    const SortOutcome r = run_sort(setup_in(dir));
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.console, "Sorting files...\nCannot find any files to sort.\n");
}

TEST(DaySort, AFileInOrderIsLeftAsItIs)
{
    TempDir dir;
    const std::string content = line("120000") + line("120000") + line("120001");
    dir.write("20240315.txt", content);
    dir.write("20240316.txt", "");
    DaySortSetup setup = setup_in(dir);
    int replaced = 0;
    setup.replace_file = [&replaced](const std::string& d, const std::string& from, const std::string& to) {
        ++replaced;
        return platform::replace_file(d, from, to);
    };
    for (int pass = 0; pass < 2; ++pass) {
        const SortOutcome r = run_sort(setup);
        EXPECT_EQ(r.code, 0);
        EXPECT_EQ(r.console, sorted_console({"20240315.txt", "20240316.txt"}));
    }
    EXPECT_EQ(replaced, 0);
    EXPECT_EQ(dir.read("20240315.txt"), content);
    EXPECT_EQ(dir.read("20240316.txt"), "");
}

TEST(DaySort, ADirectoryNamedLikeADayFileCannotBeRead)
{
    TempDir dir;
    const std::string unsorted = line("120001") + line("120000");
    dir.write("20240301.txt", unsorted);
    fs::create_directory(dir.path() + "/20240315.txt");
    dir.write("20240316.txt", unsorted);
    const SortOutcome r = run_sort(setup_in(dir));
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.console, sorted_console({"20240301.txt"}) + "20240315.txt   \nCannot open file for reading.\n");
    EXPECT_EQ(dir.read("20240301.txt"), line("120000") + line("120001"));
    EXPECT_EQ(dir.read("20240316.txt"), unsorted);
}

// Makes the file read-only; false when it can still be opened for writing (as it can for root).
bool make_read_only(const std::string& path)
{
    fs::permissions(path, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
    return !std::ofstream(path, std::ios::app).is_open();
}

TEST(DaySort, AReadOnlyDayFileIsNotRewritten)
{
    TempDir dir;
    const std::string unsorted = line("120001") + line("120000");
    dir.write("20240315.txt", unsorted);
    dir.write("20240316.txt", unsorted);
    if (!make_read_only(dir.path() + "/20240315.txt"))
        GTEST_SKIP() << "this user may write read-only files (root?); the end-to-end tests check it unprivileged";
    const SortOutcome r = run_sort(setup_in(dir));
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.console, "Sorting files...\n20240315.txt   \nReading file...\rSorting data...\r"
                         "Cannot open file for writing.\n");
    EXPECT_EQ(dir.read("20240315.txt"), unsorted);
    EXPECT_EQ(dir.read("20240316.txt"), unsorted);
}

TEST(DaySort, ARewrittenFileKeepsItsPermissions)
{
    TempDir dir;
    const std::string path = dir.path() + "/20240315.txt";
    dir.write("20240315.txt", line("120001") + line("120000"));
    fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    const fs::perms before = fs::status(path).permissions();
    const SortOutcome r = run_sort(setup_in(dir));
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(dir.read("20240315.txt"), line("120000") + line("120001"));
    EXPECT_EQ(fs::status(path).permissions(), before);
}

struct StoreFailureCase {
    const char* what;
    bool fail_write;
    bool fail_sync;
    bool fail_close;
    bool fail_replace;
};

TEST(DaySort, AFailureWhileStoringLeavesTheOldFileAsItWas)
{
    const std::vector<StoreFailureCase> cases = {
        {"a write fails half-way", true, false, false, false},
        {"syncing fails", false, true, false, false},
        {"closing fails", false, false, true, false},
        {"the rename fails", false, false, false, true},
    };
    // Enough lines for more than one write.
    std::string unsorted;
    for (int i = 40000; i > 0; --i) {
        char time[7];
        std::snprintf(time, sizeof time, "%06d", i);
        unsorted += line(time);
    }
    for (const StoreFailureCase& c : cases) {
        TempDir dir;
        dir.write("20240315.txt", unsorted);
        dir.write("20240316.txt", unsorted);
        DaySortSetup setup = setup_in(dir);
        int writes = 0;
        if (c.fail_write)
            setup.write_file = [&writes](OutputFile* file, const char* data, std::size_t size) {
                // The second write stores half of its bytes, then fails.
                if (++writes < 2) return platform::write_file(file, data, size);
                platform::write_file(file, data, size / 2);
                return false;
            };
        if (c.fail_sync) setup.sync_file = [](OutputFile*) { return false; };
        if (c.fail_close)
            setup.close_file = [](OutputFile* file) {
                platform::close_file(file);
                return false;
            };
        if (c.fail_replace) setup.replace_file = [](const std::string&, const std::string&, const std::string&) {
            return false;
        };
        const SortOutcome r = run_sort(setup);
        EXPECT_EQ(r.code, 1) << c.what;
        EXPECT_EQ(r.console, sorted_console({"20240315.txt"}) + "Cannot write file.\n") << c.what;
        EXPECT_EQ(dir.read("20240315.txt"), unsorted) << c.what;
        // The pass stops there, and leaves no half-written file behind.
        EXPECT_EQ(dir.read("20240316.txt"), unsorted) << c.what;
        EXPECT_EQ(dir.files(), (std::vector<std::string>{"20240315.txt", "20240316.txt"})) << c.what;
    }
}

TEST(DaySort, AFailureWhileStoringALaterFileKeepsTheFilesBeforeItAndLeavesThoseAfterIt)
{
    // The files after the failing one may be written already by then: they are discarded.
    // Each file has its own number of lines (all between one and two mebibytes), so that a
    // sync, which runs on a thread of its own per file, can tell which file it is given.
    const std::vector<std::string> names = {"20240314.txt", "20240315.txt", "20240316.txt", "20240317.txt"};
    std::vector<std::string> unsorted(names.size());
    for (std::size_t f = 0; f < names.size(); ++f) {
        for (int i = 40000 - static_cast<int>(f) * 1000; i > 0; --i) {
            char time[12];  // room for any int, though i stays under a million
            std::snprintf(time, sizeof time, "%06d", i);
            unsorted[f] += line(time);
        }
    }
    for (const bool fail_write : {true, false}) {
        TempDir dir;
        for (std::size_t f = 0; f < names.size(); ++f) dir.write(names[f], unsorted[f]);
        DaySortSetup setup = setup_in(dir);
        int writes = 0;
        if (fail_write)
            setup.write_file = [&writes](OutputFile* file, const char* data, std::size_t size) {
                // The first write of the second file fails: the first file takes two.
                return ++writes != 3 && platform::write_file(file, data, size);
            };
        else
            setup.sync_file = [second_size = unsorted[1].size()](OutputFile* file) {
                std::uint64_t length = 0;
                const bool second = platform::output_file_length(file, length) && length == second_size;
                return !second && platform::sync_file(file);
            };
        const SortOutcome r = run_sort(setup);
        EXPECT_EQ(r.code, 1) << fail_write;
        EXPECT_EQ(r.console, sorted_console({"20240314.txt", "20240315.txt"}) + "Cannot write file.\n") << fail_write;
        // Compared whole: a diff of such long texts would take minutes to print.
        EXPECT_TRUE(dir.read("20240314.txt") == plain_sorted(unsorted[0])) << fail_write;
        for (int i = 1; i < 4; ++i) EXPECT_TRUE(dir.read(names[i]) == unsorted[i]) << fail_write << names[i];
        EXPECT_EQ(dir.files(), names) << fail_write;
    }
}

TEST(DaySort, AFailureWhileStoringIsToldBeforeWhatTheNextFileMeets)
{
    // The next file is read before the one before it is stored: its own failure, known first, must
    // not be told first, since the pass stops at the file that failed to store.
    // The second file is the longer one, so that its sync, on a thread of its own, can tell it.
    TempDir dir;
    const std::string first = line("120001") + line("120000");
    const std::string second = line("120002") + first;
    dir.write("20240301.txt", first);
    dir.write("20240302.txt", second);
    fs::create_directory(dir.path() + "/20240315.txt");
    DaySortSetup setup = setup_in(dir);
    setup.sync_file = [second_size = second.size()](OutputFile* file) {
        std::uint64_t length = 0;
        return !(platform::output_file_length(file, length) && length == second_size) && platform::sync_file(file);
    };
    const SortOutcome r = run_sort(setup);
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.console, sorted_console({"20240301.txt", "20240302.txt"}) + "Cannot write file.\n");
    EXPECT_EQ(dir.read("20240301.txt"), line("120000") + line("120001"));
    EXPECT_EQ(dir.read("20240302.txt"), second);
}

TEST(DaySort, RemovesTheNewFilesOfAnEarlierPassThatWasKilledAndNothingElse)
{
    TempDir dir;
    dir.write("20240315.txt", line("120001") + line("120000"));
    // What a pass ended mid-way leaves beside day files, even beside one that is gone since.
    for (const char* leftover : {"20240315.txt.sorting", "20240315.txt.sorting7", "20240316.txt.sorting42"})
        dir.write(leftover, "left over");
    // Names of the same look that the sorting never makes.
    const std::vector<std::string> kept = {"20240315.txt.sorted", "20240315.txt.sorting123", "20240315.txt.sortingX",
                                           "x0240315.txt.sorting", "notes.sorting"};
    for (const std::string& name : kept) dir.write(name, "someone else's");
    const SortOutcome r = run_sort(setup_in(dir));
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(dir.read("20240315.txt"), line("120000") + line("120001"));
    std::vector<std::string> expected = kept;
    expected.push_back("20240315.txt");
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(dir.files(), expected);
    for (const std::string& name : kept) EXPECT_EQ(dir.read(name), "someone else's") << name;
}

}  // namespace
