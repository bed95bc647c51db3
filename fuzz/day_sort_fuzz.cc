// Fuzz target: the day-file sorting over arbitrary file contents.
//
// The input is split into the contents of up to three day files, which are put in a fresh
// directory beside files that the sorting must leave alone (names that are no day file) and
// a leftover of an interrupted rewrite, which it removes. After the pass:
// - it succeeded and printed the name and status lines of each day file, in name order;
// - each day file holds its line pieces (split plainly: up to and including a line feed, or
//   38 bytes, or the rest) in ascending byte order, one after the other: the same multiset of
//   pieces, in order, and nothing else;
// - the other files are unchanged, the leftover is gone and no file was left behind;
// - a second pass sorts the pieces of what the first wrote, the same way.
// The library's own splitting and ordering are checked against the plain ones on the way, and
// the sort runs in chunks of every size, down to one piece. Contents can be shaped into record
// lines, of any bytes after the time, which the sorting takes a shorter way.

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstring>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "tests/plain_day_sort.h"
#include "textcard/day_sort.h"

namespace {

using Files = std::map<std::string, std::string>;

// Day file names: any six characters after "20", then ".txt".
const char* const day_names[] = {"20240315.txt", "20abcdef.txt", "20301231.txt"};

// Checks split_line_pieces and piece_before against the plain ones on `content`.
void check_pieces(const std::string& content)
{
    const std::vector<std::string> plain = plain_pieces(content);
    const std::vector<std::string_view> split = split_line_pieces(content);
    require(split.size() == plain.size(), "split_line_pieces gives another number of pieces", content);
    for (std::size_t i = 0; i < plain.size(); ++i) {
        require(split[i] == plain[i], "split_line_pieces gives another piece", plain[i]);
        if (i == 0) continue;
        for (const auto& [a, b] : {std::pair{plain[i - 1], plain[i]}, std::pair{plain[i], plain[i - 1]}})
            require(piece_before(a, b) == plain_before(a, b), "piece_before orders two pieces otherwise", a + "|" + b);
    }
}

// Makes every whole 38 bytes of `content` a record line of one date and a valid time, whatever
// the bytes after the time, so that the short way of sorting record lines is taken often.
void shape_as_record_lines(std::string& content)
{
    const char* bounds = "3:6:6:";  // the digits of hhmmss: hours below 30 (24 and on are no time), minutes, seconds
    for (std::size_t at = 0; at + 38 <= content.size(); at += 38) {
        char* line = content.data() + at;
        std::memcpy(line, "20240315", 8);
        for (int d = 0; d < 6; ++d) line[8 + d] = static_cast<char>('0' + static_cast<unsigned char>(line[8 + d]) % (bounds[d] - '0'));
        for (int b = 14; b < 37; ++b)
            if (line[b] == '\n') line[b] = '\r';
        line[37] = '\n';
    }
}

Files files_in(const std::string& dir)
{
    Files files;
    for (const std::string& name : entries_of(dir)) files[name] = read_file(dir, name);
    return files;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzedDataProvider input(data, size);
    // Small sort chunks, so that sorting in chunks and merging them runs on small files too.
    PieceSortLimits limits;
    if (input.ConsumeBool()) {
        limits.chunk_pieces = input.ConsumeIntegralInRange<std::size_t>(1, 64);
        limits.chunk_bytes = input.ConsumeIntegralInRange<std::size_t>(38, 600);
        limits.record_lines = input.ConsumeIntegralInRange<std::size_t>(0, 64);
    }
    const bool record_form = input.ConsumeBool();
    const std::size_t count = input.ConsumeIntegralInRange<std::size_t>(1, std::size(day_names));
    std::vector<std::size_t> lengths(count - 1);
    for (std::size_t& length : lengths) length = input.ConsumeIntegralInRange<std::size_t>(0, 2048);
    Files before;
    for (std::size_t i = 0; i < count; ++i)
        before[day_names[i]] =
            i + 1 < count ? input.ConsumeBytesAsString(lengths[i]) : input.ConsumeRemainingBytesAsString();
    if (record_form)
        for (std::size_t i = 0; i < count; ++i) shape_as_record_lines(before[day_names[i]]);
    // Not day files: left alone, even when they hold unsorted lines. The directory search of
    // this platform tells case apart, so ".TXT" is no day file here.
    const std::string unsorted = "b\na\n";
    before["notes.txt"] = unsorted;
    before["20240316.TXT"] = unsorted;
    before["2024031.txt"] = unsorted;
    before["20240315.txt.sorted"] = unsorted;
    before["20240315.txt.sorting"] = unsorted;

    ScratchDir dir;
    for (const auto& [name, content] : before) write_file(dir.path, name, content);
    std::string expected_console = "Sorting files...\n";
    Files expected = before;
    expected.erase("20240315.txt.sorting");
    std::vector<std::string> sorted_names(day_names, day_names + count);
    std::sort(sorted_names.begin(), sorted_names.end());
    for (const std::string& name : sorted_names) {
        check_pieces(before[name]);
        expected[name] = plain_sorted(before[name]);
        expected_console += name + "   \nReading file...\rSorting data...\rWriting file...\r";
    }

    DaySortSetup setup;
    setup.directory = dir.path;
    setup.limits = limits;
    for (int pass = 1; pass <= 2; ++pass) {
        begin_capture();
        const int result = sort_day_files(setup);
        const std::string console = end_capture();
        require(result == 0, "the sorting failed", console);
        require(console == expected_console, "the sorting printed something else", console);
        const Files after = files_in(dir.path);
        for (const auto& [name, content] : expected) {
            const auto found = after.find(name);
            require(found != after.end(), "a file is gone", name);
            require(found->second == content, "a file is not as sorting makes it", name + ": " + found->second);
        }
        require(after.size() == expected.size(), "the sorting left another file behind");
        // A piece without its line feed can join the next one once sorted, so the next pass
        // sorts the pieces of what this pass wrote; for record lines it changes nothing.
        for (const std::string& name : sorted_names) expected[name] = plain_sorted(expected[name]);
    }
    return 0;
}
