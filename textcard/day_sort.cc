#include "textcard/day_sort.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>

#include "services/console.h"
#include "services/io_buffer.h"
#include "textcard/replacement_writer.h"

namespace {

constexpr const char* day_file_pattern = "20??????.txt";
constexpr std::size_t day_file_name_length = 12;
// Room for what a file may have grown by since its length was taken.
constexpr std::size_t read_slack = 64 * 1024;
// The buffer of a day file's bytes is a multiple of this.
constexpr std::size_t buffer_step = std::size_t{8} << 20;
// How many names beside a day file are tried for its new content.
constexpr int temporary_name_attempts = 100;

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

// Reads all of `input` into `content` (kept from file to file and grown as needed), of which the
// first `size` bytes are then the file's; false on a read error.
bool read_whole_file(InputFile* input, IoBuffer& content, std::size_t& size)
{
    std::uint64_t length = 0;
    if (!platform::input_file_length(input, length)) length = 0;
    const std::size_t wanted = static_cast<std::size_t>(length) + read_slack;
    // Grown in steps, so that day files of about one size do not each take fresh pages; pages
    // past the file's end are never touched and take no memory.
    if (content.size < wanted) content = make_io_buffer((wanted / buffer_step + 1) * buffer_step);
    size = 0;
    for (;;) {
        bool error = false;
        size += platform::read_input_file(input, content.data() + size, content.size - size, error);
        if (error) return false;
        if (size < content.size) return true;
        // The file grew since its length was taken: read on into a larger buffer.
        IoBuffer larger = make_io_buffer(content.size * 2);
        std::memcpy(larger.data(), content.data(), size);
        content = std::move(larger);
    }
}

// What reading and sorting a day file gave, before anything about it is printed.
enum class Prepared { sorted, in_order, cannot_open, cannot_read };

// Memory that the pass carries from one day file to the next.
struct SortPass {
    IoBuffer content;  // the bytes of the file in hand
    std::size_t size = 0;
    PieceSortMemory memory;
    SortedPieces sorted;
    IoBuffer block;    // where sorted pieces go before they are handed to the writer
};

// What the pass found and did for one day file before printing anything about it.
struct FileWork {
    std::string name;
    std::size_t files_before = 0;  // files handed to the writer before this one
    Prepared prepared = Prepared::in_order;
    bool writable = true;  // the day file can be opened for writing
    bool created = true;   // a new file for its sorted content could be created
    PieceCounts counts;    // its pieces once sorted, and its repeats
};

// Reads and sorts the day file `name` without printing anything; counts its pieces when it is in order.
Prepared prepare_day_file(const DaySortSetup& setup, const std::string& name, SortPass& pass, PieceCounts& counts)
{
    InputFile* input = platform::open_input_file(setup.directory, name);
    if (input == nullptr) return Prepared::cannot_open;
    const bool read = read_whole_file(input, pass.content, pass.size);
    platform::close_input_file(input);
    if (!read) return Prepared::cannot_read;
    pass.sorted = sort_pieces(pass.content.data(), pass.size, setup.limits, pass.memory);
    counts = {};
    if (!pass.sorted.in_order) return Prepared::sorted;
    // A file already in order would be written back byte for byte the same, unless repeats are to go.
    if (setup.unique || setup.report != nullptr) counts = count_pieces(pass.content.data(), pass.size);
    return setup.unique && counts.repeats != 0 ? Prepared::sorted : Prepared::in_order;
}

// Creates a new file beside `name` and hands the sorted pieces of the file in hand to `writer`, which
// stores them over it; false when no new file could be created.
bool write_replacement(const DaySortSetup& setup, const std::string& name, SortPass& pass, ReplacementWriter& writer,
                       PieceCounts& counts)
{
    std::string temporary;
    OutputFile* file = create_replacement(setup.directory, name, temporary);
    if (file == nullptr) return false;
    writer.begin(file, temporary, name);
    const PieceBlockHandler handle = [&writer](IoBuffer& block, std::size_t size) { return writer.put(block, size); };
    write_piece_blocks(pass.sorted, handle, pass.block, setup.unique, &counts);
    writer.end();
    return true;
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

// Reads and sorts the day file `name` and hands its sorted content to `writer`, printing nothing.
FileWork prepare_day_file_work(const DaySortSetup& setup, const std::string& name, SortPass& pass,
                               ReplacementWriter& writer)
{
    FileWork work;
    work.name = name;
    work.files_before = writer.handed();
    // A file the scan filled in order from empty stands as sorting would leave it.
    const WrittenDayFile* known = day_file_in_order(setup.written, name, setup.unique);
    if (known != nullptr)
        work.counts = {static_cast<std::size_t>(known->lines), 0};
    else
        work.prepared = prepare_day_file(setup, name, pass, work.counts);
    // Checked before writing, as the new file is renamed over the old one, which a read-only file would not stop.
    if (work.prepared == Prepared::sorted || work.prepared == Prepared::in_order)
        work.writable = platform::can_open_for_writing(setup.directory, name);
    if (work.prepared == Prepared::sorted && work.writable)
        work.created = write_replacement(setup, name, pass, writer, work.counts);
    return work;
}

// True when the pass stops at the file of `work`, whatever became of the files before it.
bool stops_pass(const FileWork& work)
{
    return work.prepared == Prepared::cannot_open || work.prepared == Prepared::cannot_read || !work.writable ||
           !work.created;
}

// Prints the name and status lines of the file of `work` once every file handed on before it is
// stored, and adds the repeats it dropped to `dropped`; false after printing why the pass stops.
// A failure to store a file is thus told before the next file's name, or at the end, and the
// console reads as if each file were done before the next one was begun.
bool report_day_file(const DaySortSetup& setup, const FileWork& work, ReplacementWriter& writer, std::int64_t& dropped)
{
    if (!writer.wait_stored(work.files_before)) {
        say("Cannot write file.\n");
        return false;
    }
    say("%s   \n", work.name.c_str());
    if (work.prepared == Prepared::cannot_open) {
        say("Cannot open file for reading.\n");
        return false;
    }
    say("Reading file...\r");
    if (work.prepared == Prepared::cannot_read) {
        say("Cannot read file.\n");
        return false;
    }
    say("Sorting data...\r");
    if (!work.writable) {
        say("Cannot open file for writing.\n");
        return false;
    }
    say("Writing file...\r");
    if (!work.created) {
        say("Cannot write file.\n");
        return false;
    }
    const bool rewritten = work.prepared == Prepared::sorted;
    const std::size_t repeats = rewritten && setup.unique ? work.counts.repeats : 0;
    dropped += static_cast<std::int64_t>(repeats);
    note_sorted_file(setup, work.name, work.counts.pieces, repeats, rewritten);
    return true;
}

// Reports the file of `work` as report_day_file() does; when the pass stops there, discards
// every file handed on after it and returns false.
bool report_or_abandon(const DaySortSetup& setup, const FileWork& work, ReplacementWriter& writer,
                       std::int64_t& dropped)
{
    if (report_day_file(setup, work, writer, dropped)) return true;
    writer.abandon();
    return false;
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

int sort_day_files(const DaySortSetup& setup)
{
    say("Sorting files...\n");
    remove_stale_temporaries(setup.directory);
    const std::vector<std::string> names = list_day_files(setup.directory);
    if (names.empty()) {
        say("Cannot find any files to sort.\n");
        return 1;
    }
    SortPass pass;
    ReplacementWriter writer(setup);
    std::int64_t dropped = 0;
    // Each file is read, sorted and handed on before the one before it is reported, which waits until
    // the file before that is stored: sorting one file overlaps syncing and renaming the two before it.
    std::optional<FileWork> unreported;
    for (const std::string& name : names) {
        FileWork work = prepare_day_file_work(setup, name, pass, writer);
        if (unreported && !report_or_abandon(setup, *unreported, writer, dropped)) return 1;
        unreported = std::move(work);
        if (stops_pass(*unreported)) break;
    }
    if (unreported && !report_or_abandon(setup, *unreported, writer, dropped)) return 1;
    if (!writer.wait_stored(writer.handed())) {
        say("Cannot write file.\n");
        return 1;
    }
    if (setup.unique) say("%lld duplicate lines dropped.\n", static_cast<long long>(dropped));
    return 0;
}
