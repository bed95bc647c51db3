// The record format of a QelD logger's card: records packed into 512-byte
// sectors from byte 0x20000 of the volume, each guarded by a checksum byte.
#pragma once

#include <cstdint>

constexpr int sector_size = 512;
constexpr std::uint64_t logging_data_start = 0x20000;

// One valid card record inside a sector buffer.
struct CardRecord {
    int start = 0;              // offset of the record's first byte in the sector
    std::int64_t time = 0;      // UTC seconds since the epoch, never negative
    std::uint8_t total_length = 0;  // length byte + 6: from 7 to 46
};

// True when a valid card record starts at `offset` of `sector`; fills `record` with it.
bool validate_record(const std::uint8_t* sector, int offset, CardRecord& record);
