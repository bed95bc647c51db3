// What a text scan saw of the day files it filled, handed to the sorting pass that follows,
// so that a file the scan knows to be in order already need not be read back.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>

// Every line the scan appends is a record line of exactly this many bytes.
constexpr std::size_t appended_line_length = 38;

// An appended line as five overlapping eight-byte words, read as they lie in memory: its bytes
// at 0, 8, 16, 24 and 30.
using AppendedLineWords = std::array<std::uint64_t, 5>;

// How the scan filled one day file.
struct WrittenDayFile {
    bool followed = false;   // the file was empty when the scan first opened it, so it holds only the lines below
    std::int64_t lines = 0;  // lines appended
    bool in_order = true;    // no line appended sorts before the line appended to the file before it
    bool repeats = false;    // some line appended equals the line appended to the file before it
    AppendedLineWords last_line{};  // the last line appended
};

// The day files of one scan, kept by the run from the scan to the sort. A file that held bytes
// when the scan first opened it is kept too, as not followed, so that a later opening in the
// same scan, which finds the scan's own lines there, does not take it for an empty one.
struct WrittenDayFiles {
    // How many names are kept at most; a file first opened beyond that is not followed.
    std::size_t capacity = 16384;
    std::map<std::string, WrittenDayFile> files;
};

// Takes an opening of the day file `name` by the scan, which found it `length` bytes long
// (`length_known` false when it could not tell); returns the entry that follows its lines,
// or nullptr when the file is not followed.
WrittenDayFile* follow_opened_day_file(WrittenDayFiles& written, const std::string& name, bool length_known,
                                       std::uint64_t length);

// The words of the line made of the lead-in "20" and the 36 bytes at `remainder`. Taken from the
// remainder rather than from a copy of the line just made: reading back bytes a moment after they
// were written in pieces of other sizes stalls the processor until the writes are done.
inline AppendedLineWords appended_line_words_after_lead_in(const unsigned char* remainder)
{
    static_assert(std::endian::native == std::endian::little, "the lead-in goes into the lowest bytes");
    AppendedLineWords words;
    std::memcpy(&words[0], remainder, 8);
    words[0] = words[0] << 16 | std::uint64_t{'0'} << 8 | '2';  // little-endian: "20" are the lowest bytes
    for (std::size_t i = 1; i < words.size(); ++i) std::memcpy(&words[i], remainder + (i < 4 ? i * 8 - 2 : 28), 8);
    return words;
}

// Compares two appended lines given as their words, as unsigned bytes: below 0 when `a` sorts
// before `b`, 0 when they are equal, above 0 otherwise. Inline, as a library call per line costs
// more than the comparison.
inline int compare_appended_line_words(const AppendedLineWords& a, const AppendedLineWords& b)
{
    for (std::size_t i = 0; i < a.size(); ++i)
        if (a[i] != b[i]) return __builtin_bswap64(a[i]) < __builtin_bswap64(b[i]) ? -1 : 1;
    return 0;
}

// Notes the line made of the lead-in "20" and the 36 bytes at `remainder`, appended to the
// followed `file`.
inline void note_appended_line(WrittenDayFile& file, const unsigned char* remainder)
{
    ++file.lines;
    // Out of order once means sorted by the pass in any case; nothing more to watch.
    if (!file.in_order) return;
    const AppendedLineWords line = appended_line_words_after_lead_in(remainder);
    if (file.lines > 1) {
        const int order = compare_appended_line_words(line, file.last_line);
        if (order < 0) {
            file.in_order = false;
            return;
        }
        if (order == 0) file.repeats = true;
    }
    file.last_line = line;
}

// The entry of the day file `name` when the scan created it (or found it empty), appended its
// lines in ascending order and, when `drop_repeats` is set, appended no line twice in a row:
// the file stands as the sorting pass would write it. nullptr otherwise.
const WrittenDayFile* day_file_in_order(const WrittenDayFiles* written, const std::string& name, bool drop_repeats);
