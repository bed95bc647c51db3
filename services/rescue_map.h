// Rescue mapfiles in the GNU ddrescue format: which areas of a device were read
// ('+'), found bad ('-', '/', '*') or never tried ('?'). The tool writes one beside
// every image it makes, and trusts one to tell the good areas of an image it reads.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// One area of a mapfile: `size` bytes from byte `pos` with one status character.
struct MapArea {
    std::uint64_t pos = 0;
    std::uint64_t size = 0;
    char status = '?';
    bool operator==(const MapArea&) const = default;
};

// A whole mapfile: its status line and its areas, in ascending order without gaps.
struct RescueMap {
    std::uint64_t current_pos = 0;  // where the rescue stands
    char current_status = '?';      // the phase it is in: '?' copying, '+' finished, ...
    int current_pass = 1;
    std::vector<MapArea> areas;
};

// The areas marked '+', adjacent ones merged, as [begin, end) byte ranges in ascending order.
struct FinishedAreas {
    std::vector<std::pair<std::uint64_t, std::uint64_t>> runs;
};

// Reads mapfile `text` into `map`; false when it is no valid mapfile (no status line,
// a malformed line, a status outside the format, areas out of order or overlapping).
bool parse_rescue_map(std::string_view text, RescueMap& map);

// Returns `map` as mapfile text: the comment lines `heading` (each ending in a line feed),
// then the status line and the areas.
std::string format_rescue_map(const RescueMap& map, std::string_view heading);

// Adds `size` bytes with `status` after the last area of `map`, merged into it when its status is the same.
void append_map_area(RescueMap& map, std::uint64_t pos, std::uint64_t size, char status);

// Returns the areas of `map` marked '+'.
FinishedAreas finished_areas(const RescueMap& map);

// True when byte `pos` lies in a finished area; `until` is then that area's end, otherwise
// the start of the next finished area (UINT64_MAX when none follows).
bool finished_at(const FinishedAreas& areas, std::uint64_t pos, std::uint64_t& until);
