#include "services/rescue_map.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <limits>

namespace {

constexpr std::uint64_t max_position = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

// Splits one line into its fields; a '#' at the start of the line or after a blank starts a comment.
std::vector<std::string_view> fields_of(std::string_view line)
{
    std::vector<std::string_view> fields;
    std::size_t i = 0;
    while (i < line.size()) {
        if (is_space(line[i])) {
            ++i;
            continue;
        }
        if (line[i] == '#') break;
        const std::size_t start = i;
        while (i < line.size() && !is_space(line[i])) ++i;
        fields.push_back(line.substr(start, i - start));
    }
    return fields;
}

// Reads a non-negative integer written as in C++: decimal, 0x hexadecimal or 0 octal;
// false on any other character or a value beyond the signed 64-bit range.
bool parse_number(std::string_view text, std::uint64_t& value)
{
    unsigned base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    } else if (text.size() > 1 && text[0] == '0') {
        base = 8;
        text.remove_prefix(1);
    }
    if (text.empty()) return false;
    value = 0;
    for (const char c : text) {
        unsigned digit = 0;
        if (c >= '0' && c <= '9') digit = static_cast<unsigned>(c - '0');
        else if (c >= 'a' && c <= 'f') digit = static_cast<unsigned>(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F') digit = static_cast<unsigned>(c - 'A' + 10);
        else return false;
        if (digit >= base || value > (max_position - digit) / base) return false;
        value = value * base + digit;
    }
    return true;
}

// Reads a positive decimal integer that fits an int.
bool parse_pass(std::string_view text, int& pass)
{
    if (text.empty() || text.size() > 9) return false;
    pass = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
        pass = pass * 10 + (c - '0');
    }
    return pass > 0;
}

bool is_one_of(std::string_view field, std::string_view allowed)
{
    return field.size() == 1 && allowed.find(field[0]) != std::string_view::npos;
}

bool parse_status_line(const std::vector<std::string_view>& fields, RescueMap& map)
{
    // Mapfiles of old rescue versions have no pass on their status line.
    if (fields.size() != 2 && fields.size() != 3) return false;
    if (!parse_number(fields[0], map.current_pos) || !is_one_of(fields[1], "?*/-FG+")) return false;
    map.current_status = fields[1][0];
    map.current_pass = 1;
    return fields.size() == 2 || parse_pass(fields[2], map.current_pass);
}

bool parse_area_line(const std::vector<std::string_view>& fields, RescueMap& map)
{
    MapArea area;
    if (fields.size() != 3 || !parse_number(fields[0], area.pos) || !parse_number(fields[1], area.size) ||
        !is_one_of(fields[2], "?*/-+"))
        return false;
    if (area.size > max_position - area.pos) return false;
    // Each area starts where the one before it ends.
    if (!map.areas.empty() && area.pos != map.areas.back().pos + map.areas.back().size) return false;
    area.status = fields[2][0];
    map.areas.push_back(area);
    return true;
}

}  // namespace

bool parse_rescue_map(std::string_view text, RescueMap& map)
{
    map = RescueMap{};
    bool status_seen = false;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        const std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        const std::vector<std::string_view> fields = fields_of(line);
        if (fields.empty()) continue;
        if (!status_seen) {
            if (!parse_status_line(fields, map)) return false;
            status_seen = true;
        } else if (!parse_area_line(fields, map)) {
            return false;
        }
    }
    return status_seen;
}

std::string format_rescue_map(const RescueMap& map, std::string_view heading)
{
    std::string text(heading);
    char line[80];
    text += "# current_pos  current_status  current_pass\n";
    std::snprintf(line, sizeof line, "0x%08" PRIX64 "     %c               %d\n", map.current_pos,
                  map.current_status, map.current_pass);
    text += line;
    text += "#      pos        size  status\n";
    for (const MapArea& area : map.areas) {
        std::snprintf(line, sizeof line, "0x%08" PRIX64 "  0x%08" PRIX64 "  %c\n", area.pos, area.size, area.status);
        text += line;
    }
    return text;
}

void append_map_area(RescueMap& map, std::uint64_t pos, std::uint64_t size, char status)
{
    if (size == 0) return;
    if (!map.areas.empty() && map.areas.back().status == status &&
        map.areas.back().pos + map.areas.back().size == pos) {
        map.areas.back().size += size;
        return;
    }
    map.areas.push_back({pos, size, status});
}

FinishedAreas finished_areas(const RescueMap& map)
{
    FinishedAreas finished;
    for (const MapArea& area : map.areas) {
        if (area.status != '+' || area.size == 0) continue;
        if (!finished.runs.empty() && finished.runs.back().second == area.pos)
            finished.runs.back().second += area.size;
        else
            finished.runs.emplace_back(area.pos, area.pos + area.size);
    }
    return finished;
}

bool finished_at(const FinishedAreas& areas, std::uint64_t pos, std::uint64_t& until)
{
    // The first run that ends after `pos`: it holds `pos`, or it is the next one.
    const auto run = std::upper_bound(areas.runs.begin(), areas.runs.end(), pos,
                                      [](std::uint64_t p, const auto& r) { return p < r.second; });
    if (run == areas.runs.end()) {
        until = std::numeric_limits<std::uint64_t>::max();
        return false;
    }
    if (run->first <= pos) {
        until = run->second;
        return true;
    }
    until = run->first;
    return false;
}
