#include "textcard/day_sort.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

#include "services/console.h"
#include "textcard/repeated_lines.h"

namespace {

constexpr const char* day_file_pattern = "20??????.txt";
constexpr std::size_t day_file_name_length = 12;
// A line piece without a line feed ends after this many bytes.
constexpr std::size_t max_piece_length = 38;
// The sorted pieces are handed to the new file in chunks of about this size.
constexpr std::size_t write_chunk = 1 << 20;
// How many names beside a day file are tried for its new content.
constexpr int temporary_name_attempts = 100;

// The eight bytes at `p` as a big-endian number.
std::uint64_t big_endian_word(const char* p)
{
    std::uint64_t w;
    std::memcpy(&w, p, sizeof w);
    static_assert(std::endian::native == std::endian::little);
    return __builtin_bswap64(w);
}

char lower_ascii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// The day files of `dir`, in name order.
std::vector<std::string> list_day_files(const std::string& dir)
{
    std::vector<std::string> names = platform::find_entries(dir, day_file_pattern);
    // Some directory searches also match shorter names, or long names through their short alias.
    std::erase_if(names, [](const std::string& name) { return !is_day_file_name(name); });
    std::sort(names.begin(), names.end());
    return names;
}

// True when `name` is one of the names create_replacement() gives: a day file's name, ".sorting"
// and at most two digits.
bool is_sort_temporary(const std::string& name)
{
    const std::string mark = ".sorting";
    if (name.size() < day_file_name_length + mark.size() || !is_day_file_name(name.substr(0, day_file_name_length)) ||
        name.compare(day_file_name_length, mark.size(), mark) != 0)
        return false;
    const std::string number = name.substr(day_file_name_length + mark.size());
    return number.size() <= 2 && std::all_of(number.begin(), number.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Deletes what a pass that was ended mid-way (killed, or the console closed) left of its new files.
// Day files are sorted by one run at a time, so no other pass is writing them now.
void remove_stale_temporaries(const std::string& dir)
{
    std::vector<std::string> names;
    for (const char* pattern : {"20??????.txt.sorting", "20??????.txt.sorting?", "20??????.txt.sorting??"}) {
        const std::vector<std::string> found = platform::find_entries(dir, pattern);
        names.insert(names.end(), found.begin(), found.end());
    }
    std::sort(names.begin(), names.end());
    names.erase(std::unique(names.begin(), names.end()), names.end());
    for (const std::string& name : names)
        if (is_sort_temporary(name)) platform::remove_file(dir, name);
}

// Creates a new, empty file beside `name` for its sorted content; nullptr when none can be created.
OutputFile* create_replacement(const std::string& dir, const std::string& name, std::string& temporary)
{
    for (int attempt = 0; attempt < temporary_name_attempts; ++attempt) {
        // Never the name of a day file, so an interrupted pass leaves nothing that a later one would sort.
        temporary = name + ".sorting" + (attempt == 0 ? std::string() : std::to_string(attempt));
        CreateResult result;
        OutputFile* file = platform::create_new_file_like(dir, temporary, name, result);
        if (result == CreateResult::created) return file;
        if (result == CreateResult::failed) return nullptr;
    }
    return nullptr;
}

// Writes `pieces` in order, nothing between them, in chunks; false when a byte could not be written.
bool write_pieces(const DaySortSetup& setup, OutputFile* file, const std::vector<std::string_view>& pieces)
{
    std::string chunk;
    chunk.reserve(write_chunk + max_piece_length);
    for (const std::string_view piece : pieces) {
        chunk.append(piece);
        if (chunk.size() >= write_chunk) {
            if (!setup.write_file(file, chunk.data(), chunk.size())) return false;
            chunk.clear();
        }
    }
    return chunk.empty() || setup.write_file(file, chunk.data(), chunk.size());
}

// Stores `pieces` as the new content of `name`: written whole beside it, then renamed over it,
// so that any failure leaves the old file as it was; false when it could not.
bool replace_content(const DaySortSetup& setup, const std::string& name, const std::vector<std::string_view>& pieces)
{
    std::string temporary;
    OutputFile* file = create_replacement(setup.directory, name, temporary);
    if (file == nullptr) return false;
    bool stored = write_pieces(setup, file, pieces) && setup.sync_file(file);
    stored = setup.close_file(file) && stored;
    stored = stored && setup.replace_file(setup.directory, temporary, name);
    if (!stored) platform::remove_file(setup.directory, temporary);
    return stored;
}

// Takes a sorted day file into the report: its lines, and an entry when the sort rewrote a file the scan had not written.
void note_sorted_file(const DaySortSetup& setup, const std::string& name, std::size_t lines, std::size_t dropped,
                      bool rewritten)
{
    RunReport* report = setup.report;
    if (report == nullptr) return;
    report->duplicates_dropped += static_cast<std::int64_t>(dropped);
    const bool listed = std::any_of(report->files.begin(), report->files.end(),
                                    [&](const ReportFile& file) { return file.name == name; });
    if (!listed && !rewritten) return;
    ReportFile& file = report->files[report_file_index(*report, name)];
    file.day_file = true;
    file.lines_after_sort = static_cast<std::int64_t>(lines);
}

// Sorts the day file `name`, printing its name and status lines, and adds the repeats it
// dropped to `dropped`; false after printing why it stopped.
bool sort_day_file(const DaySortSetup& setup, const std::string& name, std::int64_t& dropped)
{
    say("%s   \n", name.c_str());
    InputFile* input = platform::open_input_file(setup.directory, name);
    if (input == nullptr) {
        say("Cannot open file for reading.\n");
        return false;
    }
    say("Reading file...\r");
    std::string content;
    const bool read = platform::read_to_end(input, content);
    platform::close_input_file(input);
    if (!read) {
        say("Cannot read file.\n");
        return false;
    }

    say("Sorting data...\r");
    std::vector<std::string_view> pieces = split_line_pieces(content);
    const bool in_order = std::is_sorted(pieces.begin(), pieces.end(), piece_before);
    if (!in_order) std::stable_sort(pieces.begin(), pieces.end(), piece_before);
    const std::size_t repeats = setup.unique ? drop_repeated_pieces(pieces) : 0;
    const bool rewrite = !in_order || repeats != 0;

    // Checked first, as the new file is renamed over the old one, which a read-only file would not stop.
    if (!platform::can_open_for_writing(setup.directory, name)) {
        say("Cannot open file for writing.\n");
        return false;
    }
    say("Writing file...\r");
    // A file already in order would be written back byte for byte the same.
    if (rewrite && !replace_content(setup, name, pieces)) {
        say("Cannot write file.\n");
        return false;
    }
    dropped += static_cast<std::int64_t>(repeats);
    note_sorted_file(setup, name, pieces.size(), repeats, rewrite);
    return true;
}

}  // namespace

bool is_day_file_name(const std::string& name)
{
    if (name.size() != day_file_name_length || name[0] != '2' || name[1] != '0') return false;
    const char* extension = ".txt";
    for (std::size_t i = 0; i < 4; ++i)
        if (lower_ascii(name[8 + i]) != extension[i]) return false;
    return true;
}

std::vector<std::string_view> split_line_pieces(std::string_view content)
{
    std::vector<std::string_view> pieces;
    pieces.reserve(content.size() / max_piece_length + 1);
    while (!content.empty()) {
        const std::size_t limit = std::min(content.size(), max_piece_length);
        const void* line_feed = std::memchr(content.data(), '\n', limit);
        const std::size_t length =
            line_feed != nullptr ? static_cast<std::size_t>(static_cast<const char*>(line_feed) - content.data()) + 1
                                 : limit;
        pieces.push_back(content.substr(0, length));
        content.remove_prefix(length);
    }
    return pieces;
}

bool piece_before(std::string_view a, std::string_view b)
{
    // Eight bytes at a time, read as big-endian numbers so that their order is the bytes' order.
    const std::size_t common = std::min(a.size(), b.size());
    std::size_t i = 0;
    for (; i + 8 <= common; i += 8) {
        const std::uint64_t x = big_endian_word(a.data() + i);
        const std::uint64_t y = big_endian_word(b.data() + i);
        if (x != y) return x < y;
    }
    for (; i < common; ++i) {
        const auto x = static_cast<unsigned char>(a[i]);
        const auto y = static_cast<unsigned char>(b[i]);
        if (x != y) return x < y;
    }
    return a.size() < b.size();
}

int sort_day_files(const DaySortSetup& setup)
{
    say("Sorting files...\n");
    remove_stale_temporaries(setup.directory);
    const std::vector<std::string> names = list_day_files(setup.directory);
    if (names.empty()) {
        say("Cannot find any files to sort.\n");
        return 1;
    }
    std::int64_t dropped = 0;
    for (const std::string& name : names)
        if (!sort_day_file(setup, name, dropped)) return 1;
    if (setup.unique) say("%lld duplicate lines dropped.\n", static_cast<long long>(dropped));
    return 0;
}
