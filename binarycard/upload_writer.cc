#include "binarycard/upload_writer.h"

#include <cstdio>
#include <cstring>

#include "services/console.h"

namespace {

// Lines are collected and handed to the file in pieces of about this size.
constexpr std::size_t write_chunk = 256 * 1024;

// Every line ends in CR LF, written as these bytes on every platform (files are binary).
constexpr char line_end[] = "\r\n";
constexpr std::size_t line_end_length = sizeof line_end - 1;

// Gives up looking for a free name after this many taken sequence numbers.
constexpr int max_sequence = 100000;

bool flush_pending(UploadWriter& writer)
{
    if (writer.pending_size == 0) return true;
    const bool ok = platform::write_file(writer.file, writer.pending.data(), writer.pending_size);
    writer.pending_size = 0;
    return ok;
}

// Creates the next upload file, never replacing one that exists already.
bool create_upload_file(UploadWriter& writer)
{
    const std::int64_t now = writer.clock->now();
    if (writer.created_any && now == writer.last_creation_second) {
        ++writer.sequence;
    } else {
        writer.last_creation_second = now;
        writer.sequence = 0;
    }
    writer.created_any = true;

    std::tm fields{};
    platform::utc_calendar(now, fields);
    char stamp[stamp_length + 1] = {};
    format_stamp(fields, stamp);

    for (; writer.sequence < max_sequence; ++writer.sequence) {
        char name[256];
        std::snprintf(name, sizeof name, "%s_%s_%02d.txt", writer.identifier.c_str(), stamp, writer.sequence);
        CreateResult result;
        writer.file = platform::create_new_file(writer.directory, name, result);
        if (result == CreateResult::created) {
            writer.line_count = 0;
            if (writer.report != nullptr) writer.report_file = report_file_index(*writer.report, name);
            return true;
        }
        if (result == CreateResult::failed) break;
    }
    say("Cannot create Qel file\n");
    return false;
}

}  // namespace

UploadWriter make_upload_writer(const std::string& identifier, const std::string& directory, Clock& clock)
{
    UploadWriter writer;
    writer.identifier = identifier;
    writer.directory = directory;
    writer.clock = &clock;
    writer.pending = make_io_buffer(write_chunk + max_record_line_length + line_end_length);
    return writer;
}

bool write_record_line(UploadWriter& writer, const std::uint8_t* sector, const CardRecord& record)
{
    if (writer.file != nullptr && writer.line_count >= max_lines_per_upload_file) {
        if (!close_upload_file(writer)) return false;
    }
    if (writer.file == nullptr && !create_upload_file(writer)) return false;

    char* line = writer.pending.data() + writer.pending_size;
    const std::size_t length = format_record_line(sector, record, writer.stamps, line);
    std::memcpy(line + length, line_end, line_end_length);
    writer.pending_size += length + line_end_length;
    ++writer.line_count;
    if (writer.report != nullptr) {
        ++writer.report->files[writer.report_file].records;
        note_written_stamp(*writer.report, line);
    }

    if (writer.pending_size >= write_chunk && !flush_pending(writer)) {
        platform::close_file(writer.file);
        writer.file = nullptr;
        say("Cannot write Qel file\n");
        return false;
    }
    return true;
}

bool close_upload_file(UploadWriter& writer)
{
    if (writer.file == nullptr) return true;
    const bool written = flush_pending(writer);
    const bool closed = platform::close_file(writer.file);
    writer.file = nullptr;
    if (written && closed) return true;
    say("Cannot write Qel file\n");
    return false;
}
