// The record line of a card record: stamp, type, payload and CRC in hexadecimal.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <limits>

#include "binarycard/card_record.h"
#include "services/crc16.h"

constexpr std::size_t stamp_length = 14;
constexpr std::size_t max_record_line_length = 98;

// Writes the 14 characters "20YYMMDDhhmmss" of UTC calendar `fields` to `out`; the century is always 20.
void format_stamp(const std::tm& fields, char* out);

// Remembers the date of the last stamp, so that a run of records of one day
// costs one calendar conversion.
struct StampCache {
    std::int64_t day_start = std::numeric_limits<std::int64_t>::min();  // first second of the cached day
    char date[8] = {};  // "20YYMMDD" of that day
};

// Writes the 14-character stamp of UTC `seconds` to `out`.
void format_time_stamp(StampCache& cache, std::int64_t seconds, char* out);

// Writes the record line of `record` in `sector` to `out` without a line end; returns its length.
std::size_t format_record_line(const std::uint8_t* sector, const CardRecord& record, StampCache& cache, char* out);
