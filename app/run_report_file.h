// The --report file: a run's account as one JSON object.
#pragma once

#include <string>

#include "services/run_report.h"

// Returns `report` as the text of a JSON object, members in a fixed order, ending in a line feed.
std::string report_json(const RunReport& report);

// Writes `report` to `path` as a new file renamed over any old one, so a reader never sees half a report;
// false when it could not be stored.
bool write_report_file(const std::string& path, const RunReport& report);
