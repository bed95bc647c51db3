// Upload files: record lines of a binary card, at most 4097 to a file, in
// files named IDENT_20YYMMDDhhmmss_NN.txt after the logger and the time of creation.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "binarycard/card_record.h"
#include "binarycard/record_line.h"
#include "platform/platform.h"
#include "services/run_report.h"
#include "services/io_buffer.h"

constexpr std::int64_t max_lines_per_upload_file = 4097;

// The upload file state of one run. Create it fresh for each run.
struct UploadWriter {
    std::string identifier;     // the logger identifier that starts every file name
    std::string directory;      // where upload files go; empty for the current directory
    Clock* clock = nullptr;
    OutputFile* file = nullptr; // the current upload file, or none
    std::int64_t line_count = 0;
    bool created_any = false;
    std::int64_t last_creation_second = 0;
    int sequence = 0;
    StampCache stamps;
    IoBuffer pending;           // formatted lines not yet handed to the file: the first pending_size bytes
    std::size_t pending_size = 0;
    RunReport* report = nullptr;  // receives each file and the lines written to it; nullptr when no report is kept
    std::size_t report_file = 0;  // the report's entry of the current upload file
};

// Makes the writer for `identifier` that puts its files in `directory` and reads `clock`.
UploadWriter make_upload_writer(const std::string& identifier, const std::string& directory, Clock& clock);

// Writes the record line of `record` to the current upload file, starting a new file when
// there is none or the current one is full; false after printing why it could not.
bool write_record_line(UploadWriter& writer, const std::uint8_t* sector, const CardRecord& record);

// Stores what is pending and closes the current upload file; false after printing "Cannot write Qel file".
bool close_upload_file(UploadWriter& writer);
