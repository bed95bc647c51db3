#include "app/run_report_file.h"

#include <nlohmann/json.hpp>

#include "services/file_store.h"

namespace {

using Json = nlohmann::ordered_json;

// "YYYY-MM-DD" of the date argument "YYYYMMDD".
std::string dashed_date(const std::string& date)
{
    if (date.size() != 8) return date;
    return date.substr(0, 4) + "-" + date.substr(4, 2) + "-" + date.substr(6, 2);
}

// "YYYY-MM-DDThh:mm:ss" of the stamp "YYYYMMDDhhmmss"; null when there is none.
Json stamp_value(const std::string& stamp)
{
    if (stamp.size() != 14) return nullptr;
    return dashed_date(stamp.substr(0, 8)) + "T" + stamp.substr(8, 2) + ":" + stamp.substr(10, 2) + ":" +
           stamp.substr(12, 2);
}

Json file_value(const ReportFile& file)
{
    Json value = {{"name", file.name}, {"records", file.records}};
    if (file.day_file) value["lines_after_sort"] = file.lines_after_sort;
    return value;
}

}  // namespace

std::string report_json(const RunReport& report)
{
    Json runs = Json::array();
    for (const SectorRun& run : report.unreadable_sectors) runs.push_back({{"offset", run.offset}, {"count", run.count}});
    Json files = Json::array();
    for (const ReportFile& file : report.files) files.push_back(file_value(file));
    const Json value = {
        {"version", std::to_string(RECOVERQELSD_VERSION_MAJOR) + "." +
                        (RECOVERQELSD_VERSION_MINOR < 10 ? "0" : "") + std::to_string(RECOVERQELSD_VERSION_MINOR)},
        {"card_kind", report.card_kind},
        {"start_date", dashed_date(report.start_date)},
        {"end_date", dashed_date(report.end_date)},
        {"card", {{"given", report.card_given}, {"opened", report.card_opened}}},
        {"bytes_total", report.bytes_total_known ? Json(report.bytes_total) : Json(nullptr)},
        {"bytes_scanned", report.bytes_scanned},
        {"unreadable_sectors", runs},
        {"records_found", report.records_found},
        {"records_in_range", report.records_in_range},
        {"records_written", report.records_written},
        {"duplicates_dropped", report.duplicates_dropped},
        {"crc_mismatches", report.crc_mismatches},
        {"files", files},
        {"first_record", stamp_value(report.first_record)},
        {"last_record", stamp_value(report.last_record)},
        {"interrupted", report.interrupted},
        {"exit_code", report.exit_code},
    };
    // Names and paths that are not UTF-8 are kept readable rather than refused.
    return value.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

bool write_report_file(const std::string& path, const RunReport& report)
{
    return store_whole_file(path, report_json(report));
}
