// The account of one run for the --report file: what the card gave and what was
// written. The scans fill it through a pointer that is null when no report is asked for.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "services/card_reader.h"

// One file this run wrote to.
struct ReportFile {
    std::string name;
    std::int64_t records = 0;           // record lines this run wrote to it
    bool day_file = false;              // a day file, which is sorted afterwards
    std::int64_t lines_after_sort = 0;  // day files: its lines once sorted
};

// Everything a report tells; a run fills what applies to it.
struct RunReport {
    std::string card_kind;    // "text" or "binary"
    std::string start_date;   // "YYYY-MM-DD"
    std::string end_date;
    std::string card_given;   // the card as named on the command line
    std::string card_opened;  // the path the tool opened
    bool bytes_total_known = false;
    std::uint64_t bytes_total = 0;
    std::uint64_t bytes_scanned = 0;  // volume offset up to which the scan got, unreadable sectors included
    std::vector<SectorRun> unreadable_sectors;
    std::int64_t records_found = 0;
    std::int64_t records_in_range = 0;
    std::int64_t records_written = 0;
    std::int64_t duplicates_dropped = 0;
    std::int64_t crc_mismatches = 0;
    std::vector<ReportFile> files;
    std::string first_record;  // earliest stamp written, "20YYMMDDhhmmss"; empty when none
    std::string last_record;   // latest stamp written; empty when none
    bool interrupted = false;
    int exit_code = 0;
};

// Returns the index in `report.files` of the entry for `name`, adding an empty one when there is none.
std::size_t report_file_index(RunReport& report, const std::string& name);

// Takes the 14-character stamp at `stamp` into the earliest and latest stamps written.
void note_written_stamp(RunReport& report, const char* stamp);

// Takes the volume's length, how far `reader` got and the sectors it could not read into `report`.
void note_card_reading(RunReport& report, const CardReader& reader);
