#include "app/drive_list.h"

#include <cinttypes>
#include <cstdio>

#include "services/console.h"

namespace {

// The size in the largest binary unit that keeps a figure of at least 1, with two decimals.
std::string readable_size(std::uint64_t bytes)
{
    const char* units[] = {"bytes", "KiB", "MiB", "GiB", "TiB"};
    double value = static_cast<double>(bytes);
    int unit = 0;
    while (value >= 1024 && unit < 4) {
        value /= 1024;
        ++unit;
    }
    char text[40];
    if (unit == 0) std::snprintf(text, sizeof text, "%" PRIu64 " bytes", bytes);
    else std::snprintf(text, sizeof text, "%.2f %s", value, units[unit]);
    return text;
}

}  // namespace

std::string drive_line(const DriveInfo& drive)
{
    char head[160];
    std::snprintf(head, sizeof head, "%-20s %-10s %12s", drive.path.c_str(), drive.type.c_str(),
                  drive.size_known ? readable_size(drive.size).c_str() : "size unknown");
    std::string line = head;
    std::string details;
    const auto add = [&details](const std::string& text) { details += (details.empty() ? "" : ", ") + text; };
    if (drive.removable == 1) add("removable");
    if (drive.removable == 0) add("not removable");
    if (!drive.label.empty()) add("label \"" + drive.label + "\"");
    if (!drive.file_system.empty()) add(drive.file_system);
    if (!drive.model.empty()) add("model \"" + drive.model + "\"");
    if (!details.empty()) line += "  " + details;
    return line;
}

void print_drive_list()
{
    for (const DriveInfo& drive : platform::list_drives()) say("%s\n", drive_line(drive).c_str());
}
