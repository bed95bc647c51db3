// Text-log cards: find record lines anywhere in the raw bytes of a card volume
// and append each line of the date range to the day file 20YYMMDD.txt of its date.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "platform/platform.h"
#include "services/card_reader.h"
#include "services/run_report.h"
#include "textcard/written_day_files.h"

// Where a text scan puts its day files and how it reaches them. The defaults are
// the real ones; tests replace the file operations to watch them or make them fail.
struct TextScanSetup {
    // The directory of the day files; empty for the current directory.
    std::string directory;
    // Bytes asked of the volume per read.
    std::size_t block_size = std::size_t{1} << 20;
    // Opens a day file for appending, creating it when missing; nullptr when it cannot.
    std::function<OutputFile*(const std::string& dir, const std::string& name)> open_day_file =
        platform::open_append_file;
    // Writes bytes to an open day file; false when any of them could not be written.
    std::function<bool(OutputFile*, const char*, std::size_t)> write_day_file = platform::write_file;
    // True once the operator has asked the scan to stop (Ctrl-C).
    std::function<bool()> interrupted = platform::interrupt_requested;
    // Gives the length of an open day file; false when it cannot tell.
    std::function<bool(OutputFile*, std::uint64_t&)> day_file_length = platform::output_file_length;
    // Closes a day file; false when anything written to it could not be stored.
    std::function<bool(OutputFile*)> close_day_file = platform::close_file;
    // The image to fill and the areas to read, when the options ask for them.
    ReaderHooks reader_hooks;
    // Leaves out in-range lines whose checksum does not match their payload.
    bool check_crc = false;
    // Receives the counts of the scan; nullptr when no report is kept.
    RunReport* report = nullptr;
    // Receives what the scan saw of the order of each day file it filled; nullptr when nobody asks.
    WrittenDayFiles* written = nullptr;
};

// What a text scan returns.
constexpr int text_scan_complete = 0;    // the whole volume was read
constexpr int text_scan_failed = 1;      // the scan stopped on a failure, after printing why
constexpr int text_scan_incomplete = 2;  // stopped by the operator, or some sectors could not be read

// Reads `volume` once from its first byte to its end, stepping over sectors that cannot be read,
// appends every record line dated from `start_bound` to `end_bound` to its day file, and prints its messages.
int scan_text_card(CardVolume& volume, std::int64_t start_bound, std::int64_t end_bound, const TextScanSetup& setup);
