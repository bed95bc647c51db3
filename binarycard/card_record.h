// The record format of a QelD logger's card: records packed into 512-byte
// sectors from byte 0x20000 of the volume, each guarded by a checksum byte.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

// Record times and checksum words are read straight from memory in card byte order.
static_assert(std::endian::native == std::endian::little, "the card's byte order is little-endian");

constexpr int sector_size = 512;
constexpr std::uint64_t logging_data_start = 0x20000;

// One valid card record inside a sector buffer.
struct CardRecord {
    int start = 0;                  // offset of the record's first byte in the sector
    std::int64_t time = 0;          // UTC seconds since the epoch, never negative
    std::uint8_t total_length = 0;  // length byte + 6: from 7 to 46
};

namespace card_record_detail {

constexpr std::uint32_t no_record_time = 0xFFFFFFFFu;
constexpr int max_length_byte = 40;
constexpr unsigned checksum_seed = 0x55;

inline std::uint64_t load64(const std::uint8_t* p)
{
    std::uint64_t w;
    std::memcpy(&w, p, sizeof w);
    return w;
}

constexpr std::uint64_t even_bytes = 0x00FF00FF00FF00FFull;

// Adds the eight bytes of `w` into four 16-bit lanes of `lanes`.
inline std::uint64_t add_bytes_to_lanes(std::uint64_t lanes, std::uint64_t w)
{
    return lanes + (w & even_bytes) + ((w >> 8) & even_bytes);
}

inline std::uint64_t load32(const std::uint8_t* p)
{
    std::uint32_t w;
    std::memcpy(&w, p, sizeof w);
    return w;
}

// The sum of the `n` bytes at `p` (n from 7 to 46) modulo 256, eight bytes at a
// time, reading no byte outside them. A 16-bit lane gathers at most 12 bytes, so
// no lane overflows, and the lanes are folded once at the end.
inline unsigned sum_of_bytes_mod_256(const std::uint8_t* p, int n)
{
    std::uint64_t lanes = 0;
    const int rest = n & 7;
    // Loggers mostly write records of one length; 15 bytes (length byte 9) gets a straight path.
    if (n == 15) {
        lanes = add_bytes_to_lanes(add_bytes_to_lanes(0, load64(p)), load64(p + 7) >> 8);
        lanes += lanes >> 32;
        lanes += lanes >> 16;
        return static_cast<unsigned>(lanes & 0xFF);
    }
    switch (n >> 3) {
    case 5: lanes = add_bytes_to_lanes(lanes, load64(p + 32)); [[fallthrough]];
    case 4: lanes = add_bytes_to_lanes(lanes, load64(p + 24)); [[fallthrough]];
    case 3: lanes = add_bytes_to_lanes(lanes, load64(p + 16)); [[fallthrough]];
    case 2: lanes = add_bytes_to_lanes(lanes, load64(p + 8)); [[fallthrough]];
    case 1:
        lanes = add_bytes_to_lanes(lanes, load64(p));
        // The last `rest` bytes are the top bytes of the word that ends with the record.
        if (rest != 0) lanes = add_bytes_to_lanes(lanes, load64(p + n - 8) >> (8 * (8 - rest)));
        break;
    default:
        // Seven bytes: 0 to 3, and 4 to 6 as the top of the word of bytes 3 to 6.
        lanes = add_bytes_to_lanes(add_bytes_to_lanes(0, load32(p)), load32(p + 3) >> 8);
        break;
    }
    lanes += lanes >> 32;
    lanes += lanes >> 16;
    return static_cast<unsigned>(lanes & 0xFF);
}

}  // namespace card_record_detail

// Returns the total length of the valid card record at `offset` of `sector`, or 0
// when none starts there; `time` receives the record's time whenever one is read.
inline int valid_record_length(const std::uint8_t* sector, int offset, std::uint32_t& time)
{
    using namespace card_record_detail;
    // The shortest record has 7 bytes, so none starts at offsets 506 to 511.
    if (offset + 6 >= sector_size) return 0;
    const std::uint8_t* p = sector + offset;
    std::memcpy(&time, p, sizeof time);
    const unsigned length = p[4];
    if (time == no_record_time || length - 1u >= static_cast<unsigned>(max_length_byte)) return 0;
    const int total = static_cast<int>(length) + 6;
    if (offset + total > sector_size) return 0;
    return ((checksum_seed + sum_of_bytes_mod_256(p, total)) & 0xFF) == 0 ? total : 0;
}

// The length byte of the records loggers mostly write: 15 bytes in all.
constexpr unsigned common_length_byte = 9;
constexpr int common_record_length = 15;

// For a record at `offset` of `sector` whose length byte is 9 and whose 15 bytes lie within the sector:
// true when it is valid, as valid_record_length would find it; `time` receives its time.
inline bool valid_common_record(const std::uint8_t* sector, int offset, std::uint32_t& time)
{
    using namespace card_record_detail;
    const std::uint8_t* p = sector + offset;
    std::memcpy(&time, p, sizeof time);
    return time != no_record_time && ((checksum_seed + sum_of_bytes_mod_256(p, common_record_length)) & 0xFF) == 0;
}

// True when a valid card record starts at `offset` of `sector`; fills `record` with it.
inline bool validate_record(const std::uint8_t* sector, int offset, CardRecord& record)
{
    std::uint32_t time = 0;
    const int total = valid_record_length(sector, offset, time);
    record.start = offset;
    record.time = time;
    record.total_length = static_cast<std::uint8_t>(total);
    return total != 0;
}
