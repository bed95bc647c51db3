#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <set>

#include "services/dates.h"
#include "textcard/text_scan.h"
#include "tests/test_support.h"

namespace {

const std::int64_t march_1 = midnight("20240301");
const std::int64_t march_31 = midnight("20240331");
constexpr std::size_t mebibyte = std::size_t{1} << 20;

// 28 hexadecimal digits after the date: time 120000, type 0A, payload and CRC digits.
const std::string body = "1200000A0102030405060708090A";

// A record line as a text-log card holds it: "20", the date digits, the body and a line end.
std::string line(const std::string& yymmdd, const std::string& end = "\r\n")
{
    return "20" + yymmdd + body + end;
}

std::string filler(std::size_t count) { return std::string(count, 'x'); }

Bytes bytes_of(const std::string& text) { return Bytes(text.begin(), text.end()); }

// The bytes of a literal that may hold NULs.
template <std::size_t N>
std::string raw(const char (&text)[N])
{
    return std::string(text, N - 1);
}

// Wraps the real day-file open so that it notes the name of every file it opened.
std::function<OutputFile*(const std::string&, const std::string&)> noting_opens(std::vector<std::string>& opened)
{
    return [&opened](const std::string& dir, const std::string& name) {
        OutputFile* file = platform::open_append_file(dir, name);
        if (file != nullptr) opened.push_back(name);
        return file;
    };
}

using DayFiles = std::map<std::string, std::string>;

// What one scan did: its result, its console text, its day files and the names it opened in order.
struct ScanOutcome {
    int code = 0;
    std::string console;
    DayFiles files;
    std::vector<std::string> opened;
};

// The scan as a byte stream reads it: one byte per step while looking for the lead-in, then
// one bounded line read of at most 99 bytes, the counter following every read. Kept as plain
// as the stream calls it mirrors, to check the block-walking scan against.
ScanOutcome reference_scan(const std::string& volume, std::int64_t start, std::int64_t end,
                           const std::set<std::string>& unopenable = {})
{
    ScanOutcome out;
    out.console = "Scanning card...\n";
    std::size_t position = 0;
    bool at_end = false;
    auto read_byte = [&]() -> int {
        if (position == volume.size()) {
            at_end = true;
            return EOF;
        }
        return static_cast<unsigned char>(volume[position++]);
    };
    std::uint64_t counter = 0;
    std::int32_t shown = 0;
    std::string open_name;
    std::int64_t open_bound = 0;
    while (!at_end) {
        const auto figure = static_cast<std::int32_t>(counter >> 20);
        if (figure > shown) {
            out.console += std::to_string(figure) + " MBytes\r";
            shown = figure;
        }
        ++counter;
        if (read_byte() != '2') continue;
        ++counter;
        if (read_byte() != '0') continue;
        std::string remainder;
        while (remainder.size() < 99) {
            const int c = read_byte();
            if (c == EOF) break;
            remainder += static_cast<char>(c);
            if (c == '\n') break;
        }
        const std::size_t length = std::strlen(remainder.c_str());
        counter += length;
        if (length != 36) continue;
        bool hex = true;
        for (int i = 0; i < 34; ++i) {
            const char c = remainder[i];
            if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) {
                hex = false;
                break;
            }
        }
        const std::string date = "20" + remainder.substr(0, 6);
        const std::int64_t bound = parse_date(date.c_str());
        if (!(start <= bound && bound <= end && hex)) continue;
        if (open_name.empty() || open_bound != bound) {
            open_name = date + ".txt";
            if (unopenable.count(open_name) != 0) {
                out.console += "Cannot open output file.\n";
                out.code = 1;
                return out;
            }
            out.opened.push_back(open_name);
            open_bound = bound;
        }
        out.files[open_name] += "20" + remainder.substr(0, 36);
    }
    out.console += "\n";
    return out;
}

// Runs the scan over `volume` into a fresh directory; names in `unopenable` are made
// directories there first, so that opening them as day files fails.
ScanOutcome real_scan(const std::string& volume, std::int64_t start, std::int64_t end, std::size_t block_size,
                      const std::set<std::string>& unopenable = {})
{
    TempDir dir;
    for (const std::string& name : unopenable) std::filesystem::create_directory(dir.path() + "/" + name);
    ScanOutcome out;
    TextScanSetup setup;
    setup.directory = dir.path();
    setup.block_size = block_size;
    setup.open_day_file = noting_opens(out.opened);
    MemoryVolume card(bytes_of(volume));
    capture_output();
    out.code = scan_text_card(card, start, end, setup);
    out.console = captured_output();
    for (const std::string& name : dir.files()) out.files[name] = dir.read(name);
    return out;
}

void expect_same(const ScanOutcome& real, const ScanOutcome& expected, const std::string& context)
{
    EXPECT_EQ(real.code, expected.code) << context;
    EXPECT_EQ(real.console, expected.console) << context;
    EXPECT_EQ(real.files, expected.files) << context;
    EXPECT_EQ(real.opened, expected.opened) << context;
}

std::string show(const std::string& bytes)
{
    std::string shown;
    for (const char c : bytes) {
        if (c == '\r') shown += "\\r";
        else if (c == '\n') shown += "\\n";
        else if (c == '\0') shown += "\\0";
        else shown += c;
    }
    return shown.size() > 200 ? shown.substr(0, 200) + "..." : shown;
}

struct CandidateCase {
    const char* what;
    std::string volume;
    DayFiles files;
};

const std::vector<CandidateCase> candidate_cases = {
    {"a record line with CR LF", line("240315"), {{"20240315.txt", line("240315")}}},
    {"lower-case hexadecimal digits", "20240315" "1200000a0102030405060708090a\r\n", {}},
    {"a lone LF leaves 35 bytes", line("240315", "\n"), {}},
    {"one byte more leaves 37", line("240315", "0\r\n"), {}},
    {"35 digits and a LF", line("240315", "7\n"), {{"20240315.txt", line("240315", "7\n")}}},
    {"the 35th byte is not examined", line("240315", "z\n"), {{"20240315.txt", line("240315", "z\n")}}},
    {"the second 2 of 220 is consumed", "2" + line("240315"), {}},
    {"a lead-in whose remainder is itself a line", "20" + line("240315"), {}},
    {"99 bytes are read at most, the 100th starts anew",
     "20" + std::string(99, 'A') + line("240315"), {{"20240315.txt", line("240315")}}},
    {"a lead-in inside the 99 bytes is consumed", "20" + std::string(98, 'A') + line("240315"), {}},
    {"start and end dates are in range", line("240301") + line("240331"),
     {{"20240301.txt", line("240301")}, {"20240331.txt", line("240331")}}},
    {"the days before and after are not", line("240229") + line("240401"), {}},
    {"month 13", line("241315"), {}},
    {"a letter among the date digits", line("2403A5"), {}},
    {"day 00", line("240400"), {}},
    {"a NUL among the 36 bytes", raw("20240315" "1200000A01\0" "2030405060708090A\r\n"), {}},
    {"a NUL after 36 bytes: no line end, the next line follows",
     "20240315" + body + raw("XY\0junk\n") + line("240315"),
     {{"20240315.txt", "20240315" + body + "XY" + line("240315")}}},
    {"the volume ends after 36 bytes", "20240315" + body + "XY", {{"20240315.txt", "20240315" + body + "XY"}}},
    {"the volume ends after a lead-in", line("240315") + "20", {{"20240315.txt", line("240315")}}},
    {"the volume ends after a 2", line("240315") + "2", {{"20240315.txt", line("240315")}}},
    {"a line twice on the card is written twice", line("240315") + line("240315"),
     {{"20240315.txt", line("240315") + line("240315")}}},
    {"an empty volume", "", {}},
};

TEST(TextScan, CandidateEdgeCases)
{
    for (const CandidateCase& c : candidate_cases) {
        ScanOutcome expected;
        expected.console = "Scanning card...\n\n";
        expected.files = c.files;
        for (const auto& [name, content] : c.files) expected.opened.push_back(name);
        // The model agrees with the hand-made expectation, and the scan with both at any block size.
        ScanOutcome model = reference_scan(c.volume, march_1, march_31);
        expect_same(model, expected, std::string("reference: ") + c.what);
        for (const std::size_t block : {std::size_t{1}, std::size_t{7}, mebibyte})
            expect_same(real_scan(c.volume, march_1, march_31, block), expected,
                        std::string(c.what) + ", block " + std::to_string(block));
    }
}

TEST(TextScan, DayFileIsReopenedWhenItsDateComesBack)
{
    const std::string volume = line("240315", "1\n") + line("240315", "2\n") + line("240229") +
                               line("240316") + line("240315", "3\n");
    const ScanOutcome r = real_scan(volume, march_1, march_31, mebibyte);
    EXPECT_EQ(r.code, 0);
    // A line out of range between two of one date does not close the file.
    EXPECT_EQ(r.opened, (std::vector<std::string>{"20240315.txt", "20240316.txt", "20240315.txt"}));
    EXPECT_EQ(r.files, (DayFiles{{"20240315.txt", line("240315", "1\n") + line("240315", "2\n") +
                                                      line("240315", "3\n")},
                                 {"20240316.txt", line("240316")}}));
}

TEST(TextScan, AppendsToDayFilesOfEarlierRuns)
{
    TempDir dir;
    dir.write("20240315.txt", "earlier\r\n");
    TextScanSetup setup;
    setup.directory = dir.path();
    const std::string volume = line("240315");
    for (int run = 0; run < 2; ++run) {
        MemoryVolume card(bytes_of(volume));
        capture_output();
        EXPECT_EQ(scan_text_card(card, march_1, march_31, setup), 0);
        captured_output();
    }
    EXPECT_EQ(dir.read("20240315.txt"), "earlier\r\n" + line("240315") + line("240315"));
}

TEST(TextScan, NoLineInRangeCreatesNoFile)
{
    const ScanOutcome r = real_scan(line("240401") + filler(500), march_1, march_31, mebibyte);
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.console, "Scanning card...\n\n");
    EXPECT_TRUE(r.files.empty());
}

struct ProgressCase {
    const char* what;
    std::string volume;
    std::set<std::string> unopenable;
    std::string console;
};

TEST(TextScan, ProgressFiguresComeAtTheIterationAfterTheCountReachedThem)
{
    const std::string nul_remainder = raw("20\0") + filler(98);
    const std::set<std::string> no_15 = {"20240315.txt"};
    const std::vector<ProgressCase> cases = {
        {"reached only in the last iteration, not printed", filler(mebibyte - 1), {}, "Scanning card...\n\n"},
        {"1 MiB: the end-of-volume iteration prints it", filler(mebibyte), {}, "Scanning card...\n1 MBytes\r\n"},
        {"every figure once", filler(3 * mebibyte), {},
         "Scanning card...\n1 MBytes\r2 MBytes\r3 MBytes\r\n"},
        {"bytes after a NUL are not counted", nul_remainder + filler(mebibyte - 3), {}, "Scanning card...\n\n"},
        {"the NUL remainder's lead-in is", nul_remainder + filler(mebibyte - 2), {},
         "Scanning card...\n1 MBytes\r\n"},
        {"a last line with its line end: the end-of-volume iteration prints",
         filler(mebibyte - 38) + line("240316"), {}, "Scanning card...\n1 MBytes\r\n"},
        {"a last line cut by the end of the volume: its read ends the scan",
         filler(mebibyte - 38) + "20240316" + body + "XY", {}, "Scanning card...\n\n"},
        {"failing line starts before 1 MiB counted", filler(mebibyte - 1) + line("240315"), no_15,
         "Scanning card...\nCannot open output file.\n"},
        {"failing line starts at 1 MiB counted", filler(mebibyte) + line("240315"), no_15,
         "Scanning card...\n1 MBytes\rCannot open output file.\n"},
        {"a remainder counted up to 1 MiB less one", filler(mebibyte - 39) + line("240316") + line("240315"), no_15,
         "Scanning card...\nCannot open output file.\n"},
        {"a remainder counted up to 1 MiB", filler(mebibyte - 38) + line("240316") + line("240315"), no_15,
         "Scanning card...\n1 MBytes\rCannot open output file.\n"},
    };
    for (const ProgressCase& c : cases) {
        EXPECT_EQ(reference_scan(c.volume, march_1, march_31, c.unopenable).console, c.console)
            << "reference: " << c.what;
        for (const std::size_t block : {std::size_t{4093}, mebibyte}) {
            const ScanOutcome r = real_scan(c.volume, march_1, march_31, block, c.unopenable);
            EXPECT_EQ(r.console, c.console) << c.what << ", block " << block;
            EXPECT_EQ(r.code, c.unopenable.empty() ? 0 : 1) << c.what;
        }
    }
}

// Pieces that make scans interesting: lines in and out of range, broken lines, lone lead-ins,
// NULs, line feeds, long runs without a line end.
std::string random_piece(std::mt19937& random)
{
    static const char* const dates[] = {"240315", "240316", "240301", "240331", "240229", "241315", "240300", "2403A5"};
    // Line ends of three bytes; a line takes the first two or all three.
    static const std::string ends[] = {std::string("\r\n\0", 3), std::string("\n\0\0", 3), std::string("XY\0", 3),
                                       std::string("7\n\0", 3), std::string("\r\n\0", 3), std::string("Z\0\n", 3)};
    static const char alphabet[] = {'2', '0', '\n', '\0', 'A', 'a', '1', '\r', 'x', '\xff'};
    auto pick = [&random](std::size_t count) { return static_cast<std::size_t>(random() % count); };
    switch (pick(7)) {
    case 0:
    case 1:
        return line(dates[pick(std::size(dates))], ends[pick(std::size(ends))].substr(0, 2 + pick(2)));
    case 2:
        return "2" + line(dates[pick(std::size(dates))]);
    case 3: {
        std::string broken = line(dates[pick(std::size(dates))]);
        broken[2 + pick(36)] = alphabet[pick(std::size(alphabet))];
        return broken;
    }
    case 4:
        return "20" + std::string(90 + pick(20), 'A');
    case 5: {
        std::string noise;
        for (std::size_t n = pick(12); n > 0; --n) noise += alphabet[pick(std::size(alphabet))];
        return noise;
    }
    default:
        return filler(pick(40));
    }
}

std::string random_volume(std::mt19937& random, std::size_t target_size)
{
    std::string volume;
    while (volume.size() < target_size) volume += random_piece(random);
    // Cut anywhere, so that a line or a lead-in may end the volume.
    volume.resize(target_size);
    return volume;
}

TEST(TextScan, BlockWalkAgreesWithByteStreamOnRandomVolumes)
{
    std::mt19937 random(20240315);
    const std::vector<std::size_t> blocks = {1, 2, 3, 5, 31, 100, 101, 102, 4096};
    for (int round = 0; round < 150; ++round) {
        const std::string volume = random_volume(random, random() % 1500);
        // Now and then the day file of 16 March cannot be opened.
        const std::set<std::string> unopenable =
            round % 5 == 4 ? std::set<std::string>{"20240316.txt"} : std::set<std::string>{};
        const ScanOutcome expected = reference_scan(volume, march_1, march_31, unopenable);
        const std::size_t block = blocks[static_cast<std::size_t>(round) % blocks.size()];
        expect_same(real_scan(volume, march_1, march_31, block, unopenable), expected,
                    "round " + std::to_string(round) + ", block " + std::to_string(block) + ": " + show(volume));
    }
}

TEST(TextScan, BlockWalkAgreesWithByteStreamOnVolumesOfSeveralMebibytes)
{
    std::mt19937 random(4711);
    for (const std::size_t block : {mebibyte, std::size_t{65539}, std::size_t{1}}) {
        const std::string volume = random_volume(random, 3 * mebibyte);
        const ScanOutcome expected = reference_scan(volume, march_1, march_31);
        ASSERT_NE(expected.console.find("2 MBytes\r"), std::string::npos);
        expect_same(real_scan(volume, march_1, march_31, block), expected, "block " + std::to_string(block));
    }
}

TEST(TextScan, BlockEdgesMayCutCandidatesAnywhere)
{
    const std::string candidates = line("240315") + "20" + std::string(97, 'B') + "\n" + "2" + line("240316") +
                                   "20240315" + body + raw("XY\0tail\n") + line("240331", "\n") + line("240331") +
                                   "20" + std::string(120, 'C') + line("240301") + "20";
    // With a block size of b, b different offsets of the candidates put a block edge at every
    // position of each of them; 103 bytes are more than one candidate can take. The small
    // block sizes cut one candidate several times.
    const std::vector<std::pair<std::size_t, std::size_t>> blocks_and_offsets = {
        {103, 103}, {38, 38}, {1, 3}, {2, 3}, {3, 4}, {5, 6}};
    for (const auto& [block, offsets] : blocks_and_offsets) {
        for (std::size_t offset = 0; offset < offsets; ++offset) {
            const std::string volume = filler(offset) + candidates;
            const ScanOutcome expected = reference_scan(volume, march_1, march_31);
            ASSERT_EQ(expected.files.size(), 3u);
            expect_same(real_scan(volume, march_1, march_31, block), expected,
                        "offset " + std::to_string(offset) + ", block " + std::to_string(block));
        }
    }
}

// The walk takes the candidates that lie wholly in the bytes read at once without reading more,
// and goes back to reading near the end of those bytes. Runs of '2's before a "20", odd and even,
// lines that end early or late and NULs in a line, at every place against the end of a block.
TEST(TextScan, WalkWithinAndAcrossBlocksAgreesWithByteStream)
{
    std::string pieces;
    for (std::size_t twos = 0; twos <= 5; ++twos) pieces += std::string(twos, '2') + line("240315") + filler(3);
    for (std::size_t twos = 1; twos <= 4; ++twos) pieces += std::string(twos, '2') + "0" + filler(2);
    pieces += line("240316") + line("240316", "\n") + line("240316", "7\n") + line("240316", "77\n");
    pieces += raw("20240316" "1200000A01\0" "2030405060708090A\r\n") + "20240316" + body + raw("\r\0\n");
    for (const std::string& end : {raw("\n\0"), raw("\0\n"), raw("XY\0junk\n")}) pieces += "20240316" + body + end;
    // A line feed past the 36 bytes, then none within 99 bytes.
    pieces += "20240316" + body + "XYZ\r\n" + "20" + std::string(110, 'E') + "\n" + line("240331");
    for (const std::size_t block : {std::size_t{256}, std::size_t{777}}) {
        for (std::size_t offset = 0; offset < block; ++offset) {
            const std::string volume = filler(offset) + pieces + pieces;
            const ScanOutcome expected = reference_scan(volume, march_1, march_31);
            ASSERT_EQ(expected.files.size(), 3u);
            expect_same(real_scan(volume, march_1, march_31, block), expected,
                        "offset " + std::to_string(offset) + ", block " + std::to_string(block));
        }
    }
}

// Runs of '2's and lead-ins of any length and parity, dense enough that many lie across block ends.
TEST(TextScan, WalkAgreesWithByteStreamOnBytesFullOfTwosAndZeros)
{
    std::mt19937 random(2220);
    const char alphabet[] = {'2', '2', '2', '0', '0', 'A', '\n', '\0', 'x'};
    for (const std::size_t block : {std::size_t{200}, std::size_t{4096}, mebibyte}) {
        std::string volume;
        while (volume.size() < 300000) {
            if (random() % 8 == 0) volume += line(random() % 2 == 0 ? "240315" : "240316");
            else volume += alphabet[random() % std::size(alphabet)];
        }
        const ScanOutcome expected = reference_scan(volume, march_1, march_31);
        expect_same(real_scan(volume, march_1, march_31, block), expected, "block " + std::to_string(block));
    }
}

// A volume of nothing but lines crosses each mebibyte within a line, and the figure comes at the
// start of the next line's iteration: before the message of a failure there.
TEST(TextScan, ProgressOfADenseVolumeAgreesWithByteStream)
{
    // 27,595 lines of 38 bytes count past 1 MiB; the day file of the next line's date cannot be opened.
    std::string volume;
    for (int i = 0; i < 27595; ++i) volume += line("240301");
    const std::size_t first_failing = volume.size();
    while (volume.size() < 3 * mebibyte + 100) volume += line("240316");
    for (const std::size_t block : {std::size_t{4096}, mebibyte}) {
        for (const std::size_t shift : {std::size_t{0}, std::size_t{34}}) {
            // Shifted, the failing line starts at exactly 1 MiB counted.
            const std::string shifted = volume.substr(shift);
            const ScanOutcome expected = reference_scan(shifted, march_1, march_31, {"20240316.txt"});
            ASSERT_EQ(expected.console, "Scanning card...\n1 MBytes\rCannot open output file.\n");
            ASSERT_GE(first_failing - shift, mebibyte);
            expect_same(real_scan(shifted, march_1, march_31, block, {"20240316.txt"}), expected,
                        "block " + std::to_string(block) + ", shift " + std::to_string(shift));
        }
        const ScanOutcome all = reference_scan(volume, march_1, march_31);
        expect_same(real_scan(volume, march_1, march_31, block), all, "all, block " + std::to_string(block));
    }
}

TEST(TextScan, ReadsTheVolumeInBlocksOfOneMebibyte)
{
    MemoryVolume card(bytes_of(line("240315") + filler(3 * mebibyte)));
    TempDir dir;
    TextScanSetup setup;
    setup.directory = dir.path();
    capture_output();
    EXPECT_EQ(scan_text_card(card, march_1, march_31, setup), 0);
    captured_output();
    EXPECT_EQ(card.largest_read, mebibyte);
    EXPECT_EQ(dir.read("20240315.txt"), line("240315"));
}


struct WriteFailureCase {
    const char* what;
    std::string volume;
    bool fail_write;
    bool fail_close;
};

TEST(TextScan, AFailedWriteOrCloseOfADayFileStopsTheScan)
{
    const std::string two_days = line("240315") + line("240316") + line("240317");
    const std::vector<WriteFailureCase> cases = {
        {"write at the switch to the next day", two_days, true, false},
        {"close at the switch to the next day", two_days, false, true},
        {"write of the last day file at the end", line("240315"), true, false},
        {"close of the last day file at the end", line("240315"), false, true},
    };
    for (const WriteFailureCase& c : cases) {
        TempDir dir;
        TextScanSetup setup;
        setup.directory = dir.path();
        std::vector<std::string> opened;
        setup.open_day_file = noting_opens(opened);
        if (c.fail_write) setup.write_day_file = [](OutputFile*, const char*, std::size_t) { return false; };
        if (c.fail_close)
            setup.close_day_file = [](OutputFile* file) {
                platform::close_file(file);
                return false;
            };
        MemoryVolume card(bytes_of(c.volume));
        capture_output();
        EXPECT_EQ(scan_text_card(card, march_1, march_31, setup), 1) << c.what;
        EXPECT_EQ(captured_output(), "Scanning card...\nCannot write output file.\n") << c.what;
        // The scan stops at the failure: no later day file is opened.
        EXPECT_EQ(opened, std::vector<std::string>{"20240315.txt"}) << c.what;
    }
}

TEST(TextScan, ADayFileThatCannotBeOpenedStopsTheScan)
{
    const std::string volume = line("240316") + line("240315") + line("240317");
    const ScanOutcome r = real_scan(volume, march_1, march_31, mebibyte, {"20240315.txt"});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.console, "Scanning card...\nCannot open output file.\n");
    // Lines written before stay; nothing after the failure is looked at.
    EXPECT_EQ(r.files, (DayFiles{{"20240316.txt", line("240316")}}));
}

}  // namespace
