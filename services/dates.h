// Date arguments and record-line dates: YYYYMMDD text to a date bound.
#pragma once

#include <cstdint>

// Seconds since the epoch of local standard-time midnight starting the day
// written as exactly eight ASCII digits YYYYMMDD (years 2000 to 2030); 0 when invalid.
std::int64_t parse_date(const char* text);

// True when the eight bytes at `digits` are a valid YYYYMMDD date of 2000 to 2030.
bool is_valid_date_text(const char* digits);
