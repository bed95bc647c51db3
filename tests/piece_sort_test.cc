#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "tests/plain_day_sort.h"
#include "textcard/piece_sort.h"

namespace {

// What the radix sort writes; checks on the way that it tells a content in order as such.
std::string sorted_by_radix(std::string content, const PieceSortLimits& limits)
{
    const std::vector<std::string> pieces = plain_pieces(content);
    const bool in_order = std::is_sorted(pieces.begin(), pieces.end(), plain_before);
    PieceSortMemory memory;
    const SortedPieces sorted = sort_pieces(content.data(), content.size(), limits, memory);
    EXPECT_EQ(sorted.in_order, in_order) << content;
    std::string out;
    const bool ok = write_pieces(sorted, [&out](const char* data, std::size_t size) {
        out.append(data, size);
        return true;
    });
    EXPECT_TRUE(ok);
    return out;
}

// Record lines of one day: shared "20240315", times from a narrow window so that many
// stamps repeat, and type/payload digits from a small alphabet so that whole lines repeat too.
std::string day_lines(std::mt19937_64& random, int count, bool odd_endings)
{
    std::string content;
    const char* digits = "0123456789ABCDEF";
    for (int i = 0; i < count; ++i) {
        const int second = static_cast<int>(random() % 200) + 43000;
        char stamp[16];
        std::snprintf(stamp, sizeof stamp, "%02d%02d%02d", second / 3600, second / 60 % 60, second % 60);
        content += "20240315";
        content += stamp;
        for (int d = 0; d < 22; ++d) content += digits[random() % (d < 2 ? 16 : 2)];
        const int ending = odd_endings ? static_cast<int>(random() % 6) : 0;
        if (ending == 0) content += "\r\n";
        if (ending == 1) content += "\n";       // a 37-byte piece
        if (ending == 2) content += "\r\r";     // a 38-byte piece without a line feed
        if (ending == 3) content += "\r\n\n";   // a piece that is only a line feed
        if (ending == 4) content += "1\r\n";    // 39 bytes: a 38-byte piece, then "\n"
        if (ending == 5) content += std::string("\0\n", 2);
    }
    return content;
}

// Any bytes, with line feeds often enough to give pieces of every length.
std::string random_bytes(std::mt19937_64& random, std::size_t size, int alphabet)
{
    std::string content;
    for (std::size_t i = 0; i < size; ++i) {
        const unsigned v = static_cast<unsigned>(random() % static_cast<unsigned>(alphabet + 1));
        content += v == 0 ? '\n' : static_cast<char>(v == 1 ? 0xFF : (v == 2 ? 0 : '0' + v));
    }
    return content;
}

TEST(PieceSort, WritesWhatTheComparisonSortWritesAtEveryChunkSize)
{
    const PieceSortLimits limits[] = {
        {},                // the defaults: one chunk
        {1, 38},           // one piece per chunk: a merge of single pieces
        {2, 1000},         // two pieces per chunk
        {3, 38},
        {7, 100},          // bytes limit the chunks, pieces of different lengths
        {1000, 200},
        {5, 1 << 20},
        // Record lines too the general way: in chunks, merged.
        {1, 38, 0},
        {3, 38, 1},
        {7, 100, 0},
        {1000, 200, 5},
    };
    std::mt19937_64 random(10);
    std::vector<std::string> contents = {
        "",
        "\n",
        "b",                                     // only a short last piece
        "b\na\n",
        "b\na",                                  // a short last piece without a line feed
        std::string(38, 'x') + "a",              // 38 bytes, then a short piece
        std::string(76, 'x'),                    // two 38-byte pieces
        "a\na\na\nb",
        std::string("ab\0c\nab\0b\n", 10),       // NULs are bytes like any other
        "20240315\n2024031\n20240315\n",         // a prefix of the shared prefix
        std::string("ab\0\nab", 6),                // a piece that ends where the shared prefix does
    };
    for (int round = 0; round < 30; ++round) {
        contents.push_back(day_lines(random, 1 + static_cast<int>(random() % 300), round % 2 == 1));
        contents.push_back(random_bytes(random, random() % 2000, round % 2 == 0 ? 3 : 60));
        // A day file with bytes after its last line feed.
        contents.push_back(day_lines(random, 50, false) + random_bytes(random, random() % 80, 8));
    }
    for (int round = 0; round < 5; ++round) contents.push_back(plain_sorted(day_lines(random, 100, round % 2 == 1)));
    for (const std::string& content : contents) {
        const std::string expected = plain_sorted(content);
        for (const PieceSortLimits& limit : limits)
            ASSERT_EQ(sorted_by_radix(content, limit), expected)
                << "limits " << limit.chunk_pieces << "/" << limit.chunk_bytes << " content " << content;
    }
}

// Record lines of 15 March 2024 as the scan writes them, seconds drawn from [first, first + span),
// the 22 digits after the time from `alphabet` (few letters: lines share the bytes after the time).
std::string record_lines(std::mt19937_64& random, int count, int first, int span, const std::string& alphabet)
{
    std::string content;
    for (int i = 0; i < count; ++i) {
        const int second = first + static_cast<int>(random() % static_cast<unsigned>(span));
        char stamp[16];
        std::snprintf(stamp, sizeof stamp, "%02d%02d%02d", second / 3600, second / 60 % 60, second % 60);
        content += std::string("20240315") + stamp;
        for (int d = 0; d < 22; ++d) content += alphabet[random() % alphabet.size()];
        content += random() % 4 == 0 ? "0\n" : "\r\n";  // both ends give a 38-byte piece
    }
    return content;
}

struct RecordLinesCase {
    const char* what;
    std::string content;
    bool short_way;  // sorted through the entries of record lines
};

TEST(PieceSort, SortsRecordLinesByTheirSecondsAsTheComparisonSortDoes)
{
    std::mt19937_64 random(13);
    const std::string hex = "0123456789ABCDEF";
    const std::string lines = record_lines(random, 200, 43000, 30, hex);
    // `lines` with its line `at` changed from byte `offset` on.
    const auto changed = [&lines](int at, std::size_t offset, const std::string& bytes) {
        return lines.substr(0, at * 38) + lines.substr(at * 38, offset) + bytes + lines.substr(at * 38 + offset + bytes.size());
    };
    const std::vector<RecordLinesCase> cases = {
        {"seconds in a narrow window", lines, true},
        {"one second: a group larger than the ranks take", record_lines(random, 300, 0, 1, hex), true},
        {"the bytes after the time alike for long", record_lines(random, 300, 86390, 10, "01"), true},
        {"the first and the last second of the day",
         record_lines(random, 50, 0, 2, hex) + record_lines(random, 50, 86398, 2, hex) + record_lines(random, 50, 0, 2, hex), true},
        {"the same line many times", record_lines(random, 1, 500, 1, hex) + plain_sorted(lines) + record_lines(random, 1, 500, 1, hex) + lines.substr(0, 38 * 30), true},
        {"a line of another date", changed(150, 7, "6"), false},
        {"hour 24", changed(20, 8, "24"), false},
        {"minute 60", changed(20, 10, "60"), false},
        {"second 60", changed(20, 12, "60"), false},
        {"a letter in the time", changed(20, 13, "a"), false},
        {"a line feed inside a line", changed(199, 20, "\n"), false},
        {"a line without its line feed", changed(199, 37, "\r"), false},
        {"a line feed as the 37th byte", changed(0, 36, "\n"), false},
        {"in order", plain_sorted(lines), false},
    };
    for (const RecordLinesCase& c : cases) {
        std::string content = c.content;
        PieceSortMemory memory;
        const SortedPieces sorted = sort_pieces(content.data(), content.size(), PieceSortLimits{}, memory);
        EXPECT_EQ(sorted.lines != nullptr, c.short_way) << c.what;
        // The limit on record lines sends them the general way.
        for (const PieceSortLimits& limits : {PieceSortLimits{}, PieceSortLimits{1 << 20, 1 << 20, 10}})
            EXPECT_EQ(sorted_by_radix(c.content, limits), plain_sorted(c.content)) << c.what;
    }
}

TEST(PieceSort, TellsWhetherPiecesAreInOrder)
{
    std::mt19937_64 random(11);
    const std::vector<std::string> cases = {"", "a\n", "a\nb\n", "b\na\n", "a\na\n", "a\na", "a\nb", "b", "ab\na\n",
                                            std::string(38, 'b') + "a", "a\n" + std::string(40, 'b')};
    for (const std::string& content : cases) {
        const std::vector<std::string> pieces = plain_pieces(content);
        EXPECT_EQ(pieces_in_order(content), std::is_sorted(pieces.begin(), pieces.end(), plain_before)) << content;
    }
    for (int round = 0; round < 50; ++round) {
        std::string content = day_lines(random, 20, round % 2 == 1);
        if (round % 3 == 0) content = plain_sorted(content);
        const std::vector<std::string> pieces = plain_pieces(content);
        EXPECT_EQ(pieces_in_order(content), std::is_sorted(pieces.begin(), pieces.end(), plain_before)) << content;
    }
}

TEST(PieceSort, HandsOnBlocksOfWholeMebibytesButTheLast)
{
    // Writes that start and end on page boundaries of the file are copied far faster by the kernel.
    std::mt19937_64 random(14);
    const std::string lines = day_lines(random, 100000, false);  // 3.8 MB
    const std::string odd = day_lines(random, 60000, true);
    for (const std::string& content : {lines, odd, plain_sorted(lines) + plain_sorted(lines)}) {
        for (const bool drop_repeats : {false, true}) {
            std::string copy = content;
            PieceSortMemory memory;
            const SortedPieces sorted = sort_pieces(copy.data(), copy.size(), PieceSortLimits{}, memory);
            std::vector<std::size_t> sizes;
            std::string out;
            IoBuffer block;
            const PieceBlockHandler handle = [&](IoBuffer& full, std::size_t size) {
                sizes.push_back(size);
                out.append(full.data(), size);
                return true;
            };
            EXPECT_TRUE(write_piece_blocks(sorted, handle, block, drop_repeats));
            ASSERT_GT(sizes.size(), 2u);
            for (std::size_t i = 0; i + 1 < sizes.size(); ++i) EXPECT_EQ(sizes[i], std::size_t{1} << 20) << i;
            if (!drop_repeats) {
                EXPECT_TRUE(out == plain_sorted(content));
            }
        }
    }
}

TEST(PieceSort, StopsWhenAWriteFails)
{
    std::mt19937_64 random(12);
    for (const PieceSortLimits limits : {PieceSortLimits{}, PieceSortLimits{100, 4000}}) {
        std::string content = day_lines(random, 60000, false);  // more than one block of output
        int calls = 0;
        const bool ok = write_sorted_pieces(content.data(), content.size(), limits, [&calls](const char*, std::size_t) {
            ++calls;
            return false;
        });
        EXPECT_FALSE(ok);
        EXPECT_EQ(calls, 1);
    }
}

}  // namespace
