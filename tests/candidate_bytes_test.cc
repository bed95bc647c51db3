#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "textcard/candidate_bytes.h"

namespace {

using candidate_bytes::find_20;
using candidate_bytes::is_plain_record_line;

const unsigned char* bytes_of(const std::string& text) { return reinterpret_cast<const unsigned char*>(text.data()); }

// The first "20" starting in [from, to), one byte at a time.
std::size_t plain_find_20(const std::string& text, std::size_t from, std::size_t to)
{
    for (std::size_t at = from; at < to; ++at)
        if (text[at] == '2' && text[at + 1] == '0') return at;
    return to;
}

// Where find_20 finds the first "20" in [from, to) of `text`.
std::size_t position_of_20(const std::string& text, std::size_t from, std::size_t to)
{
    return static_cast<std::size_t>(find_20(bytes_of(text) + from, bytes_of(text) + to) - bytes_of(text));
}

TEST(CandidateBytes, Find20AgreesWithAPlainSearchFromAndToEveryPosition)
{
    // Few pairs, at every place within and across the sixteen-byte groups and the 64-byte steps;
    // the bytes around them are the ones a sloppy test could mistake for them.
    std::mt19937 random(5);
    const char alphabet[] = {'2', '0', 'x', '\0', static_cast<char>(0xB2), static_cast<char>(0x30 + 0x80)};
    for (int round = 0; round < 40; ++round) {
        std::string text(200 + candidate_bytes::search_overread, 'x');
        for (char& c : text) c = random() % 4 == 0 ? alphabet[random() % std::size(alphabet)] : 'x';
        for (std::size_t from = 0; from < 200; from += 1 + random() % 5)
            for (std::size_t to = from; to <= 200; to += 1 + random() % 9)
                ASSERT_EQ(position_of_20(text, from, to), plain_find_20(text, from, to))
                    << "round " << round << ", from " << from << " to " << to;
    }
}

TEST(CandidateBytes, Find20FindsALonePairAtEveryOffset)
{
    for (std::size_t at = 0; at < 130; ++at) {
        std::string text(130 + candidate_bytes::search_overread, '2');
        text[at + 1] = '0';
        // Only the pair right before the '0' counts; a '0' at the start makes no pair.
        EXPECT_EQ(position_of_20(text, 0, 130), at);
        text[at] = 'x';
        EXPECT_EQ(position_of_20(text, 0, 130), 130u);
    }
}

// The usual record line after its lead-in, judged one byte at a time: 34 upper-case hexadecimal
// digits, then a byte that is neither a line feed nor a NUL, then a line feed.
bool plain_is_record_line(const std::string& remainder)
{
    for (std::size_t i = 0; i < 34; ++i) {
        const char c = remainder[i];
        if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
    }
    return remainder[34] != '\n' && remainder[34] != '\0' && remainder[35] == '\n';
}

TEST(CandidateBytes, PlainRecordLineChecksEveryByteOfTheLine)
{
    const std::string line = "2403151200000A0102030405060708090A\r\n";
    ASSERT_EQ(line.size(), 36u);
    ASSERT_TRUE(is_plain_record_line(bytes_of(line)));
    // Each byte in turn replaced by the bounds of the digit ranges, their neighbours, the bytes
    // that differ from them only in the high bit, and the line ends.
    const std::vector<unsigned char> replacements = {'0',  '9',  'A',  'F',  '/',  ':',  '@',  'G',  'a',  'f', 0,
                                                     '\n', '\r', 0x80, 0xB0, 0xB9, 0xC1, 0xC6, 0xFF, 0x7F, ' '};
    for (std::size_t at = 0; at < line.size(); ++at)
        for (const unsigned char c : replacements) {
            std::string changed = line;
            changed[at] = static_cast<char>(c);
            EXPECT_EQ(is_plain_record_line(bytes_of(changed)), plain_is_record_line(changed))
                << "byte " << at << " set to " << static_cast<int>(c);
        }
}

}  // namespace
