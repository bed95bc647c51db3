// Day files: rewrite every day file of a directory with its lines in ascending byte order.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"
#include "services/run_report.h"
#include "textcard/piece_sort.h"
#include "textcard/written_day_files.h"

// Where the sorting pass works and how it stores a rewritten file. The defaults are the
// real ones; tests replace the storing steps to make them fail.
struct DaySortSetup {
    // The directory of the day files; empty for the current directory.
    std::string directory;
    // Writes bytes to the new file; false when any of them could not be written.
    std::function<bool(OutputFile*, const char*, std::size_t)> write_file = platform::write_file;
    // Forces the new file onto the storage device; false when it cannot.
    std::function<bool(OutputFile*)> sync_file = platform::sync_file;
    // Closes the new file; false when anything written to it could not be stored.
    std::function<bool(OutputFile*)> close_file = platform::close_file;
    // Renames the new file over the day file in a directory; false when it cannot.
    std::function<bool(const std::string& dir, const std::string& from, const std::string& to)> replace_file =
        platform::replace_file;
    // Keeps one copy of lines that are equal byte for byte, and prints how many were dropped.
    bool unique = false;
    // Receives the lines of each sorted file and the repeats dropped; nullptr when no report is kept.
    RunReport* report = nullptr;
    // What the scan before this pass saw of the day files it filled: a file it created and filled in
    // order is not read back. nullptr when there was no such scan.
    const WrittenDayFiles* written = nullptr;
    // How much memory the sort of one file may take beside the file's bytes.
    PieceSortLimits limits;
};

// True when `name` matches "20??????.txt" with exactly one character for each '?'
// (".txt" in any case, as case-blind file systems report it).
bool is_day_file_name(const std::string& name);

// Rewrites every day file in `setup.directory`, in name order, with its line pieces in ascending
// order; a file is replaced only once its new content is stored whole. Prints its messages; returns 0 or 1.
int sort_day_files(const DaySortSetup& setup);
