// The account of a run: checksums of text lines, dropping repeated lines, the counts the
// scans hand to the report, the report's JSON, the options that ask for them, and the drive list.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <cstdio>
#include <string>
#include <vector>

#include "app/drive_list.h"
#include "app/options.h"
#include "app/run.h"
#include "app/run_report_file.h"
#include "binarycard/sector_scan.h"
#include "services/card_reader.h"
#include "services/crc16.h"
#include "textcard/day_sort.h"
#include "textcard/line_checksum.h"
#include "textcard/piece_sort.h"
#include "textcard/text_scan.h"
#include "tests/test_support.h"

namespace {

using Json = nlohmann::ordered_json;

// A record line of a text card with the given stamp digits after "20", type, payload and the
// CRC of the payload (or `crc` when it is not -1), then CR LF.
std::string text_line(const std::string& stamp12, const std::string& payload16 = "0102030405060708", int crc = -1)
{
    std::uint8_t bytes[8];
    for (int i = 0; i < 8; ++i) bytes[i] = static_cast<std::uint8_t>(std::stoi(payload16.substr(2 * i, 2), nullptr, 16));
    const unsigned value = crc >= 0 ? static_cast<unsigned>(crc) : crc16_modbus(bytes, 8);
    char tail[8];
    std::snprintf(tail, sizeof tail, "%02X%02X", value & 0xFF, value >> 8);
    return "20" + stamp12 + "0A" + payload16 + tail + "\r\n";
}

const unsigned char* body_of(const std::string& line) { return reinterpret_cast<const unsigned char*>(line.data() + 2); }

struct ChecksumCase {
    const char* what;
    std::string line;  // "20" and the 34 digits
    bool matches;
};

TEST(LineChecksum, ChecksTheLastFourDigitsAgainstThePayload)
{
    const std::string example = "202306151234560100112233445566772CEA";
    const ChecksumCase cases[] = {
        {"a record line as the binary path writes it", example, true},
        {"its CRC bytes the other way round", "20230615123456010011223344556677EA2C", false},
        {"one payload digit changed", "202306151234560100112233445566782CEA", false},
        // Neither the stamp nor the type is covered by the CRC.
        {"another stamp and type", "202401020304057F00112233445566772CEA", true},
        {"a payload of digits A to F", text_line("240301120000", "ABCDEFFEDCBA0F0F").substr(0, 36), true},
        {"spliced: the head of one line, the tail of another",
         text_line("240301120000", "1111111111111111").substr(0, 24) +
             text_line("240301120000", "2222222222222222").substr(24, 12),
         false},
    };
    for (const ChecksumCase& c : cases) EXPECT_EQ(line_checksum_matches(body_of(c.line)), c.matches) << c.what;
}

struct RepeatCase {
    const char* what;
    std::string content;   // a day file's bytes as they stand
    std::string written;   // the file as sorted with repeats dropped
    std::size_t repeats;
};

// Sorts `content` within `limits` and writes it with repeats dropped; returns what was written.
std::string write_without_repeats(std::string content, const PieceSortLimits& limits, PieceCounts& counts)
{
    PieceSortMemory memory;
    const SortedPieces sorted = sort_pieces(content.data(), content.size(), limits, memory);
    std::string written;
    const auto write = [&written](const char* data, std::size_t size) {
        written.append(data, size);
        return true;
    };
    EXPECT_TRUE(write_pieces(sorted, write, true, &counts));
    return written;
}

TEST(RepeatedLines, DropsEqualNeighboursOnceSorted)
{
    const RepeatCase cases[] = {
        {"nothing", "", "", 0},
        {"no repeats", "b\na\n", "a\nb\n", 0},
        {"repeats first, middle and last", "c\na\nb\nc\na\nc\n", "a\nb\nc\n", 3},
        {"in order already", "a\na\nb\n", "a\nb\n", 1},
        // Equal byte for byte, not equal in meaning: other line ends are other lines.
        {"line ends differ", "a\r\na\n", "a\na\r\n", 0},
        // 38 bytes without a line feed make a piece of their own.
        {"pieces without a line end", std::string(76, 'X') + "\n", "\n" + std::string(38, 'X'), 1},
    };
    // One chunk, and chunks of two pieces that are merged.
    for (const PieceSortLimits limits : {PieceSortLimits{}, PieceSortLimits{2, 64}}) {
        for (const RepeatCase& c : cases) {
            PieceCounts counts;
            EXPECT_EQ(write_without_repeats(c.content, limits, counts), c.written) << c.what;
            EXPECT_EQ(counts.repeats, c.repeats) << c.what;
            EXPECT_EQ(count_pieces(c.written.data(), c.written.size()).pieces, counts.pieces) << c.what;
        }
    }
}

TEST(CardReaderRuns, ListsTheUnreadableSectorsAsRunsInARow)
{
    MemoryVolume volume(Bytes(64 * 512, 'x'));
    volume.bad_sectors = {0, 1, 2, 9, 40, 41, 63};
    bool positioned = false;
    CardReader reader = start_card_reader(volume, 0, positioned);
    std::vector<char> buffer(16 * 512);
    for (int calls = 0; calls < 1000 && !read_card(reader, buffer.data(), buffer.size()).end; ++calls) {
    }
    ASSERT_EQ(reader.unreadable_runs.size(), 4u);
    const std::vector<std::pair<std::uint64_t, std::int64_t>> expected = {{0, 3}, {9 * 512, 1}, {40 * 512, 2},
                                                                          {63 * 512, 1}};
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(reader.unreadable_runs[i].offset, expected[i].first);
        EXPECT_EQ(reader.unreadable_runs[i].count, expected[i].second);
    }
    std::int64_t total = 0;
    for (const SectorRun& run : reader.unreadable_runs) total += run.count;
    EXPECT_EQ(total, reader.skipped_sectors);
}

// A text card scanned into `dir` with `setup`; returns the console text.
std::string scan_text(const std::string& card, const TempDir& dir, TextScanSetup setup, int& code)
{
    MemoryVolume volume(Bytes(card.begin(), card.end()));
    setup.directory = dir.path();
    capture_output();
    code = scan_text_card(volume, midnight("20240301"), midnight("20240331"), setup);
    return captured_output();
}

// Two days in range with good lines, a spliced line and a line with another CRC in range,
// a line out of range, and lines that are not well formed.
std::string mixed_text_card()
{
    const std::string spliced = text_line("240302080000", "1111111111111111").substr(0, 24) +
                                text_line("240302080000", "2222222222222222").substr(24);
    return text_line("240301120000") + text_line("240302090000") + spliced + "xx" +
           text_line("240301100000", "0102030405060708", 0x1234) + text_line("240401120000") +
           text_line("241301120000") +           // month 13: no date
           "20240301120000" "0a0102030405060708ABCD\r\n" +  // lower-case digit
           text_line("240301110000");
}

TEST(TextScanReport, CountsLinesAndChecksumsWithoutChangingWhatIsWritten)
{
    TempDir plain_dir;
    int plain_code = 1;
    const std::string plain_console = scan_text(mixed_text_card(), plain_dir, TextScanSetup{}, plain_code);

    TempDir dir;
    RunReport report;
    TextScanSetup setup;
    setup.report = &report;
    int code = 1;
    EXPECT_EQ(scan_text(mixed_text_card(), dir, setup, code), plain_console);
    EXPECT_EQ(code, plain_code);
    EXPECT_EQ(dir.files(), plain_dir.files());
    for (const std::string& name : dir.files()) EXPECT_EQ(dir.read(name), plain_dir.read(name)) << name;

    EXPECT_EQ(report.records_found, 6);
    EXPECT_EQ(report.records_in_range, 5);
    EXPECT_EQ(report.records_written, 5);
    EXPECT_EQ(report.crc_mismatches, 2);
    ASSERT_EQ(report.files.size(), 2u);
    EXPECT_EQ(report.files[0].name, "20240301.txt");
    EXPECT_EQ(report.files[0].records, 3);
    EXPECT_EQ(report.files[1].name, "20240302.txt");
    EXPECT_EQ(report.files[1].records, 2);
    EXPECT_TRUE(report.files[0].day_file);
    EXPECT_EQ(report.first_record, "20240301100000");
    EXPECT_EQ(report.last_record, "20240302090000");
    EXPECT_EQ(report.bytes_scanned, mixed_text_card().size());
    EXPECT_TRUE(report.bytes_total_known);
    EXPECT_FALSE(report.interrupted);
}

TEST(TextScanReport, CheckCrcLeavesOutTheLinesWithAWrongChecksum)
{
    TempDir dir;
    RunReport report;
    TextScanSetup setup;
    setup.check_crc = true;
    setup.report = &report;
    int code = 1;
    const std::string console = scan_text(mixed_text_card(), dir, setup, code);
    EXPECT_EQ(code, text_scan_complete);
    EXPECT_EQ(console, "Scanning card...\n\n2 lines with a wrong checksum dropped.\n");
    EXPECT_EQ(dir.read("20240301.txt"), text_line("240301120000") + text_line("240301110000"));
    EXPECT_EQ(dir.read("20240302.txt"), text_line("240302090000"));
    EXPECT_EQ(report.records_in_range, 5);
    EXPECT_EQ(report.records_written, 3);
    EXPECT_EQ(report.crc_mismatches, 2);

    // Without a report the option works the same.
    TempDir bare;
    setup.report = nullptr;
    EXPECT_EQ(scan_text(mixed_text_card(), bare, setup, code), console);
    EXPECT_EQ(bare.read("20240301.txt"), dir.read("20240301.txt"));
}

TEST(TextScanReport, AnUnreadableSectorIsListedAndTheScanStillCounted)
{
    std::string card(8 * 512, '.');
    card.replace(0, 38, text_line("240301120000"));
    card.replace(6 * 512, 38, text_line("240303120000"));
    MemoryVolume volume(Bytes(card.begin(), card.end()));
    volume.bad_sectors = {3, 4};
    TempDir dir;
    RunReport report;
    TextScanSetup setup;
    setup.directory = dir.path();
    setup.report = &report;
    capture_output();
    EXPECT_EQ(scan_text_card(volume, midnight("20240301"), midnight("20240331"), setup), text_scan_incomplete);
    captured_output();
    ASSERT_EQ(report.unreadable_sectors.size(), 1u);
    EXPECT_EQ(report.unreadable_sectors[0].offset, 3u * 512);
    EXPECT_EQ(report.unreadable_sectors[0].count, 2);
    EXPECT_EQ(report.records_written, 2);
    EXPECT_EQ(report.bytes_scanned, card.size());
}

TEST(DaySortUnique, KeepsOneCopyOfEqualLinesAndSaysHowManyWentAway)
{
    TempDir dir;
    const std::string a = text_line("240301120000"), b = text_line("240301130000");
    dir.write("20240301.txt", b + a + b + a + a);
    dir.write("20240302.txt", text_line("240302120000"));
    // Already in order but with a repeat: rewritten all the same.
    dir.write("20240303.txt", a + a);
    RunReport report;
    report.files.push_back(ReportFile{"20240302.txt", 1, true});
    DaySortSetup setup;
    setup.directory = dir.path();
    setup.unique = true;
    setup.report = &report;
    capture_output();
    EXPECT_EQ(sort_day_files(setup), 0);
    const std::string console = captured_output();
    EXPECT_TRUE(console.ends_with("Writing file...\r4 duplicate lines dropped.\n")) << console;
    EXPECT_EQ(dir.read("20240301.txt"), a + b);
    EXPECT_EQ(dir.read("20240303.txt"), a);
    EXPECT_EQ(report.duplicates_dropped, 4);
    // The file the scan wrote, and those the sort rewrote; each with its lines once sorted.
    ASSERT_EQ(report.files.size(), 3u);
    EXPECT_EQ(report.files[0].name, "20240302.txt");
    EXPECT_EQ(report.files[0].lines_after_sort, 1);
    EXPECT_EQ(report.files[1].name, "20240301.txt");
    EXPECT_EQ(report.files[1].records, 0);
    EXPECT_EQ(report.files[1].lines_after_sort, 2);
    EXPECT_EQ(report.files[2].lines_after_sort, 1);
}

TEST(DaySortUnique, WithoutTheOptionEveryCopyStaysAndNothingMoreIsPrinted)
{
    TempDir dir;
    const std::string a = text_line("240301120000");
    dir.write("20240301.txt", a + a);
    DaySortSetup setup;
    setup.directory = dir.path();
    capture_output();
    EXPECT_EQ(sort_day_files(setup), 0);
    EXPECT_EQ(captured_output().find("dropped"), std::string::npos);
    EXPECT_EQ(dir.read("20240301.txt"), a + a);
}

TEST(BinaryScanReport, CountsRecordsPerUploadFileAndTheStampsWritten)
{
    const std::int64_t start = midnight("20240101");
    const std::int64_t end = midnight("20240131");
    const auto jan = [](int day, int hour) { return static_cast<std::uint32_t>(1704067200 + (day - 1) * 86400 + hour * 3600); };
    std::vector<Bytes> sectors;
    for (int s = 0; s < 20; ++s) {
        std::vector<Bytes> records;
        for (int r = 0; r < 30; ++r) records.push_back(record(jan(2 + (s + r) % 28, r % 24), 8));
        // Out of range, whatever the time zone: a day before the start.
        records.push_back(record(jan(1, 0) - 86400, 8));
        sectors.push_back(sector_with(records));
    }
    MemoryVolume volume(card_with(sectors));
    TempDir dir;
    FixedClock clock(1717000000);
    UploadWriter writer = make_upload_writer("AB12", dir.path(), clock);
    RunReport report;
    writer.report = &report;
    ScriptedKeys keys;
    capture_output();
    EXPECT_EQ(scan_binary_card(volume, start, end, keys, writer, {}, &report), 0);
    captured_output();
    EXPECT_EQ(report.records_found, 20 * 31);
    EXPECT_EQ(report.records_in_range, 20 * 30);
    EXPECT_EQ(report.records_written, 20 * 30);
    ASSERT_EQ(report.files.size(), 1u);
    EXPECT_EQ(report.files[0].records, 600);
    EXPECT_FALSE(report.files[0].day_file);
    EXPECT_EQ(dir.files(), std::vector<std::string>{report.files[0].name});
    EXPECT_EQ(report.first_record, "20240102000000");
    EXPECT_EQ(report.last_record, "20240129230000");
}

TEST(ReportJson, HasEveryMemberInOrderWithNullsForWhatIsUnknown)
{
    RunReport report;
    report.card_kind = "text";
    report.start_date = "20240301";
    report.end_date = "20240331";
    report.card_given = "E:";
    report.card_opened = "\\\\.\\E:";
    report.bytes_scanned = 4096;
    report.unreadable_sectors = {{1024, 3}, {8192, 1}};
    report.records_found = 7;
    report.records_in_range = 6;
    report.records_written = 5;
    report.duplicates_dropped = 2;
    report.crc_mismatches = 1;
    report.files = {{"20240301.txt", 5, true, 9}, {"AB12_20240101000000_00.txt", 4, false, 0}};
    report.first_record = "20240301080000";
    report.last_record = "20240301235959";
    report.interrupted = true;
    report.exit_code = 1;
    const std::string text = report_json(report);
    ASSERT_EQ(text.back(), '\n');
    const Json json = Json::parse(text);
    std::vector<std::string> keys;
    for (const auto& item : json.items()) keys.push_back(item.key());
    EXPECT_EQ(keys, (std::vector<std::string>{"version", "card_kind", "start_date", "end_date", "card", "bytes_total",
                                              "bytes_scanned", "unreadable_sectors", "records_found",
                                              "records_in_range", "records_written", "duplicates_dropped",
                                              "crc_mismatches", "files", "first_record", "last_record", "interrupted",
                                              "exit_code"}));
    EXPECT_EQ(json["version"], "1.01");
    EXPECT_EQ(json["start_date"], "2024-03-01");
    EXPECT_EQ(json["end_date"], "2024-03-31");
    EXPECT_EQ(json["card"]["given"], "E:");
    EXPECT_EQ(json["card"]["opened"], "\\\\.\\E:");
    EXPECT_TRUE(json["bytes_total"].is_null());
    EXPECT_EQ(json["bytes_scanned"], 4096);
    EXPECT_EQ(json["unreadable_sectors"], Json::parse(R"([{"offset":1024,"count":3},{"offset":8192,"count":1}])"));
    EXPECT_EQ(json["files"], Json::parse(R"([{"name":"20240301.txt","records":5,"lines_after_sort":9},
                                             {"name":"AB12_20240101000000_00.txt","records":4}])"));
    EXPECT_EQ(json["first_record"], "2024-03-01T08:00:00");
    EXPECT_EQ(json["last_record"], "2024-03-01T23:59:59");
    EXPECT_EQ(json["interrupted"], true);
    EXPECT_EQ(json["exit_code"], 1);

    RunReport empty;
    empty.bytes_total_known = true;
    empty.bytes_total = 1ull << 36;
    const Json bare = Json::parse(report_json(empty));
    EXPECT_EQ(bare["bytes_total"], 1ull << 36);
    EXPECT_TRUE(bare["first_record"].is_null());
    EXPECT_TRUE(bare["last_record"].is_null());
    EXPECT_EQ(bare["files"], Json::array());
}

TEST(ReportJson, IsStoredByRenamingANewFileOverTheOld)
{
    TempDir dir;
    const std::string path = dir.path() + "/report.json";
    dir.write("report.json", "old");
    RunReport report;
    report.exit_code = 3;
    EXPECT_TRUE(write_report_file(path, report));
    EXPECT_EQ(dir.files(), std::vector<std::string>{"report.json"});
    EXPECT_EQ(Json::parse(dir.read("report.json"))["exit_code"], 3);
    EXPECT_FALSE(write_report_file(dir.path() + "/missing/report.json", report));
}

TEST(ReportOptions, AreParsedWithTheirValues)
{
    const char* argv[] = {"RecoverQelSD", "-C", "out", "--report=r.json", "E", "--unique", "--check-crc",
                          "20240101", "20240131", "--output-dir", "later"};
    const ParsedCommandLine parsed = parse_command_line(11, argv);
    EXPECT_EQ(parsed.invalid_option, "");
    EXPECT_EQ(parsed.options.report_path, "r.json");
    EXPECT_EQ(parsed.options.output_dir, "later");
    EXPECT_TRUE(parsed.options.unique);
    EXPECT_TRUE(parsed.options.check_crc);
    EXPECT_FALSE(parsed.options.list);
    EXPECT_EQ(parsed.positional.size(), 4u);
    // -C takes its value only as the next argument.
    const char* glued[] = {"RecoverQelSD", "-Cout", "E"};
    const ParsedCommandLine other = parse_command_line(3, glued);
    EXPECT_EQ(other.options.output_dir, "");
    EXPECT_EQ(other.positional.size(), 3u);
    const char* missing[] = {"RecoverQelSD", "E", "-C"};
    EXPECT_EQ(parse_command_line(3, missing).invalid_option, "-C");
}

std::string run(std::vector<const char*> args, int& code)
{
    args.insert(args.begin(), "RecoverQelSD");
    capture_output();
    code = run_program(static_cast<int>(args.size()), args.data());
    return captured_output();
}

const std::string banner = "RecoverQelSD V1.01 - recovers logged records from data logger SD cards\n\n";

TEST(ReportOptions, HelpDescribesThem)
{
    int code = 1;
    const std::string help = run({"--help"}, code);
    EXPECT_EQ(code, 0);
    for (const char* option : {"-C, --output-dir DIR", "--report FILE", "--unique", "--check-crc", "--list"})
        EXPECT_NE(help.find(std::string("  ") + option + " "), std::string::npos) << option;
}

TEST(ReportOptions, AreRefusedWhereTheyCannotApplyBeforeAnythingIsRead)
{
    TempDir dir;
    dir.write("card.img", text_line("240301120000"));
    const std::string card = dir.path() + "/card.img";
    const std::string report = dir.path() + "/r.json";
    int code = 0;
    EXPECT_EQ(run({card.c_str(), "20240101", "20240131", "AB12", "--unique", "--report", report.c_str()}, code),
              banner + "Invalid option '--unique'.\n");
    EXPECT_EQ(code, 1);
    const std::string missing = dir.path() + "/nowhere";
    EXPECT_EQ(run({"-C", missing.c_str(), card.c_str(), "20240301", "20240331", "--report", report.c_str()}, code),
              banner + "Cannot open output directory '" + missing + "'.\n");
    EXPECT_EQ(code, 1);
    // A file is no directory.
    EXPECT_EQ(run({"-C", card.c_str(), card.c_str(), "20240301", "20240331"}, code),
              banner + "Cannot open output directory '" + card + "'.\n");
    EXPECT_EQ(dir.files(), std::vector<std::string>{"card.img"});
}

TEST(ReportOptions, AReportThatCannotBeWrittenMakesTheExitCodeOne)
{
    TempDir dir;
    dir.write("card.img", text_line("240301120000"));
    const std::string card = dir.path() + "/card.img";
    const std::string report = dir.path() + "/missing/r.json";
    int code = 0;
    const std::string console = run({"-C", dir.path().c_str(), card.c_str(), "20240301", "20240331", "--report",
                                     report.c_str()},
                                    code);
    EXPECT_EQ(code, 1);
    EXPECT_TRUE(console.ends_with("Finished.      \nCannot write report file.\n")) << console;
    // The recovery itself went ahead.
    EXPECT_EQ(dir.read("20240301.txt"), text_line("240301120000"));
}

TEST(DriveList, OneLineWithWhatIsKnown)
{
    DriveInfo letter;
    letter.path = "E:";
    letter.type = "removable";
    letter.size_known = true;
    letter.size = 7948206080;
    letter.removable = 1;
    letter.label = "LOGGER";
    letter.file_system = "FAT32";
    EXPECT_EQ(drive_line(letter), "E:                   removable      7.40 GiB  removable, label \"LOGGER\", FAT32");
    DriveInfo disk;
    disk.path = "\\\\.\\PhysicalDrive1";
    disk.type = "disk";
    EXPECT_EQ(drive_line(disk), "\\\\.\\PhysicalDrive1   disk       size unknown");
    disk.size_known = true;
    disk.size = 512;
    disk.removable = 0;
    disk.model = "SD Card";
    EXPECT_EQ(drive_line(disk), "\\\\.\\PhysicalDrive1   disk          512 bytes  not removable, model \"SD Card\"");
}

}  // namespace
