#include "services/run_report.h"

#include <cstring>

namespace {

constexpr std::size_t stamp_size = 14;

}  // namespace

std::size_t report_file_index(RunReport& report, const std::string& name)
{
    for (std::size_t i = 0; i < report.files.size(); ++i)
        if (report.files[i].name == name) return i;
    report.files.push_back(ReportFile{name});
    return report.files.size() - 1;
}

void note_written_stamp(RunReport& report, const char* stamp)
{
    // Stamps of equal width order as their texts do.
    if (report.first_record.empty() || std::memcmp(stamp, report.first_record.data(), stamp_size) < 0)
        report.first_record.assign(stamp, stamp_size);
    if (report.last_record.empty() || std::memcmp(stamp, report.last_record.data(), stamp_size) > 0)
        report.last_record.assign(stamp, stamp_size);
}

void note_card_reading(RunReport& report, const CardReader& reader)
{
    report.bytes_total_known = reader.length_known;
    report.bytes_total = reader.length;
    report.bytes_scanned = reader.position;
    report.unreadable_sectors = reader.unreadable_runs;
}
