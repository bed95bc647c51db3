// Fuzz target: the text-log scan over arbitrary volume bytes, with some sectors unreadable.
//
// The input gives the volume's bytes and, from its tail, the block size of the scan's
// reads, the date range and the unreadable sectors. Every run writes its day files into a
// fresh directory, and then:
// - every entry there is a day file named from a valid date of the range, and every line in
//   it has the shape of a record line of that date;
// - the day files and the order in which they were opened agree with a byte-stream scan
//   that reads each stretch of readable bytes as plainly as possible;
// - the result and the console tell whether sectors could not be read, how many and where;
// - the scan reads the volume a bounded number of times;
// - with a run report (for half the inputs, which leaves the day files as they are), its counts
//   add up to the lines in the day files and its unreadable runs are the unreadable sectors.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "services/dates.h"
#include "fuzz/fuzz_support.h"
#include "textcard/text_scan.h"

namespace {

using DayFiles = std::map<std::string, std::string>;

constexpr std::size_t record_line_length = 38;
constexpr std::size_t sector = 512;

// The days of 2000 to 2030, every fourth year a leap year.
constexpr int first_year = 2000;
constexpr int last_year = 2030;
constexpr int days_in_range = 31 * 365 + 8;

bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}

bool is_upper_hex(char c)
{
    return is_digit(c) || (c >= 'A' && c <= 'F');
}

int month_length(int year, int month)
{
    static const int lengths[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && year % 4 == 0 ? 29 : lengths[month - 1];
}

// True when the eight bytes of `text` are a date YYYYMMDD of 2000 to 2030.
bool is_date_text(std::string_view text)
{
    if (text.size() != 8) return false;
    for (const char c : text)
        if (!is_digit(c)) return false;
    const int year = std::stoi(std::string(text.substr(0, 4)));
    const int month = std::stoi(std::string(text.substr(4, 2)));
    const int day = std::stoi(std::string(text.substr(6, 2)));
    return year >= first_year && year <= last_year && month >= 1 && month <= 12 && day >= 1 &&
           day <= month_length(year, month);
}

// The text YYYYMMDD of the day `index` days after 1 January 2000.
std::string date_of_day(int index)
{
    int year = first_year;
    int month = 1;
    while (index >= month_length(year, month)) {
        index -= month_length(year, month);
        if (++month == 13) {
            month = 1;
            ++year;
        }
    }
    char text[9];
    std::snprintf(text, sizeof text, "%04d%02d%02d", year, month, index + 1);
    return text;
}

// The date range of a scan, as texts YYYYMMDD, which order as the dates do.
struct DateRange {
    std::string start;
    std::string end;
    bool holds(std::string_view date) const { return date >= start && date <= end; }
};

// What the plain scan found: the day files and the names opened, in order.
struct Expected {
    DayFiles files;
    std::vector<std::string> opened;
    std::string open_date;  // the date of the day file left open, carried from one stretch to the next
};

// Scans one stretch of readable bytes as a byte stream: one byte at a time while looking for
// "20", the byte after a '2' consumed whatever it is, then one line read of at most 99 bytes
// that stops after a line feed or at the end of the stretch, measured up to its first NUL.
void plain_scan(std::string_view bytes, const DateRange& range, Expected& expected)
{
    std::size_t position = 0;
    bool at_end = false;
    auto next_byte = [&]() -> int {
        if (position == bytes.size()) {
            at_end = true;
            return EOF;
        }
        return static_cast<unsigned char>(bytes[position++]);
    };
    while (!at_end) {
        if (next_byte() != '2') continue;
        if (next_byte() != '0') continue;
        std::string remainder;
        while (remainder.size() < 99) {
            const int c = next_byte();
            if (c == EOF) break;
            remainder += static_cast<char>(c);
            if (c == '\n') break;
        }
        if (std::strlen(remainder.c_str()) != 36) continue;
        bool hex = true;
        for (int i = 0; i < 34; ++i) hex = hex && is_upper_hex(remainder[i]);
        const std::string date = "20" + remainder.substr(0, 6);
        if (!hex || !is_date_text(date) || !range.holds(date)) continue;
        const std::string name = date + ".txt";
        if (date != expected.open_date) {
            expected.opened.push_back(name);
            expected.open_date = date;
        }
        expected.files[name] += "20" + remainder.substr(0, 36);
    }
}

// The plain scan of a whole volume: each stretch between unreadable sectors is read as if the
// volume ended with it, so no line spans an unreadable sector.
Expected plain_scan_volume(const std::string& volume, const std::set<std::uint64_t>& bad, const DateRange& range)
{
    Expected expected;
    std::size_t from = 0;
    for (const std::uint64_t number : bad) {
        if (number * sector >= volume.size()) break;
        plain_scan(std::string_view(volume).substr(from, number * sector - from), range, expected);
        from = static_cast<std::size_t>(std::min<std::uint64_t>((number + 1) * sector, volume.size()));
    }
    plain_scan(std::string_view(volume).substr(from), range, expected);
    return expected;
}

// Checks that `name` is the day file of a date in range and `content` holds only record lines of that date.
void check_day_file(const std::string& name, const std::string& content, const DateRange& range)
{
    require(name.size() == 12 && name.compare(8, 4, ".txt") == 0, "a file not named 20YYMMDD.txt", name);
    const std::string date = name.substr(0, 8);
    require(date.compare(0, 2, "20") == 0 && is_date_text(date), "a day file named after no valid date", name);
    require(range.holds(date), "a day file of a date out of range", name);
    require(content.size() % record_line_length == 0, "a day file that is no sequence of 38-byte lines", content);
    for (std::size_t at = 0; at < content.size(); at += record_line_length) {
        const std::string_view line = std::string_view(content).substr(at, record_line_length);
        require(line.substr(0, 8) == date, "a line in the day file of another date", line);
        for (std::size_t i = 2; i < 36; ++i)
            require(is_upper_hex(line[i]), "a line with a byte that is no upper-case hex digit", line);
        // The line read stops after a line feed and the length ends at a NUL, so neither comes before the end.
        require(line[36] != '\n' && line[36] != '\0' && line[37] != '\0', "a line that ends early", line);
    }
}

std::string sector_list(const std::set<std::uint64_t>& sectors)
{
    std::string text;
    for (const std::uint64_t number : sectors) text += " " + std::to_string(number);
    return text;
}

std::string describe_files(const DayFiles& files)
{
    std::string text;
    for (const auto& [name, content] : files) text += name + "=[" + content + "] ";
    return text;
}

}  // namespace

// The report agrees with the day files written and the sectors that could not be read.
void check_report(const RunReport& report, const DayFiles& written, const std::set<std::uint64_t>& bad,
                  std::uint64_t unreadable)
{
    std::int64_t lines = 0;
    for (const auto& [name, content] : written) lines += static_cast<std::int64_t>(content.size() / record_line_length);
    require(report.records_written == lines, "the report's records written are not the lines written");
    std::int64_t in_files = 0;
    for (const ReportFile& file : report.files) {
        require(written.count(file.name) == 1, "the report names a file not written", file.name);
        in_files += file.records;
    }
    require(in_files == lines, "the report's files do not add up to the lines written");
    require(report.records_found >= report.records_in_range && report.records_in_range >= report.records_written &&
                report.crc_mismatches <= report.records_in_range,
            "the report's counts are not in order");
    std::uint64_t listed = 0;
    for (const SectorRun& run : report.unreadable_sectors)
        for (std::int64_t i = 0; i < run.count; ++i) {
            require(bad.count(run.offset / sector + i) == 1, "the report lists a readable sector");
            ++listed;
        }
    require(listed == unreadable, "the report's unreadable sectors are not those that failed");
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzedDataProvider input(data, size);
    static const std::size_t block_sizes[] = {1, 2, 3, 37, 38, 100, 101, 102, 511, 512, 513, 4096, 65536};
    const std::size_t block_size =
        block_sizes[input.ConsumeIntegralInRange<std::size_t>(0, std::size(block_sizes) - 1)];
    DateRange range{"20000101", "20301231"};
    if (input.ConsumeBool()) {
        const int first = input.ConsumeIntegralInRange<int>(0, days_in_range - 1);
        const int span = input.ConsumeIntegralInRange<int>(0, 400);
        range = {date_of_day(first), date_of_day(std::min(first + span, days_in_range - 1))};
    }
    std::vector<std::uint16_t> bad_numbers(input.ConsumeIntegralInRange<int>(0, 4));
    for (std::uint16_t& number : bad_numbers) number = input.ConsumeIntegral<std::uint16_t>();
    const std::string bytes = input.ConsumeRemainingBytesAsString();
    // Unreadable sectors within the volume, or just behind its end.
    std::set<std::uint64_t> bad;
    for (const std::uint16_t number : bad_numbers) bad.insert(number % (bytes.size() / sector + 2));

    ScratchDir dir;
    TextScanSetup setup;
    setup.directory = dir.path;
    setup.block_size = block_size;
    std::vector<std::string> opened;
    setup.open_day_file = [&](const std::string& where, const std::string& name) {
        require(where == dir.path, "a day file opened outside the output directory", where);
        opened.push_back(name);
        return platform::open_append_file(where, name);
    };
    RunReport report;
    // Chosen by the input's length, so that the seeds keep their meaning.
    if (size % 2 == 1) setup.report = &report;
    FuzzVolume volume(bytes, bad);
    begin_capture();
    const int result = scan_text_card(volume, parse_date(range.start.c_str()), parse_date(range.end.c_str()), setup);
    const std::string console = end_capture();

    DayFiles written;
    for (const std::string& name : entries_of(dir.path)) {
        written[name] = read_file(dir.path, name);
        check_day_file(name, written[name], range);
    }
    const Expected expected = plain_scan_volume(bytes, bad, range);
    require(written == expected.files, "the day files differ from the plain scan's",
            "written: " + describe_files(written) + "\nexpected: " + describe_files(expected.files));
    require(opened == expected.opened, "the day files were not opened as the plain scan opens them");

    std::uint64_t unreadable = 0;
    for (const std::uint64_t number : bad) unreadable += number * sector < bytes.size() ? 1 : 0;
    require(console.rfind("Scanning card...\n", 0) == 0, "the console does not start as a scan does", console);
    if (unreadable == 0) {
        require(result == text_scan_complete, "a readable volume not scanned to its end", console);
        require(console.find("Cannot") == std::string::npos, "a failure reported on a readable volume", console);
    } else {
        require(result == text_scan_incomplete, "unreadable sectors not reflected in the result", console);
        const std::string count = "Cannot read " + std::to_string(unreadable) + " sector";
        const std::string place = "byte " + std::to_string(*bad.begin() * sector) + ".\n";
        const std::size_t line = console.find(count);
        require(line != std::string::npos && console.find(place, line) != std::string::npos,
                "the unreadable sectors not reported with their count and first place",
                console + "volume of " + std::to_string(bytes.size()) + " bytes, bad sectors" + sector_list(bad));
    }
    require(volume.reads <= static_cast<int>(4 * bytes.size() + 16), "the volume was read too often");
    if (setup.report != nullptr) check_report(report, written, bad, unreadable);
    return 0;
}
