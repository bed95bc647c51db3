// The record format of a QelD logger's card: records packed into 512-byte
// sectors from byte 0x20000 of the volume, each guarded by a checksum byte.
#pragma once

#include <algorithm>
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

// A date range as record times: from `first` to `first + span` inclusive.
struct TimeWindow {
    std::uint32_t first = 0;
    std::uint32_t span = 0;
};

// The record times from `start_bound` to `end_bound` inclusive. When there are none, the
// window holds 0xFFFFFFFF alone: no valid record has that time.
inline TimeWindow time_window(std::int64_t start_bound, std::int64_t end_bound)
{
    const std::int64_t first = std::max<std::int64_t>(start_bound, 0);
    const std::int64_t last = std::min<std::int64_t>(end_bound, card_record_detail::no_record_time);
    if (first > last) return {card_record_detail::no_record_time, 0};
    return {static_cast<std::uint32_t>(first), static_cast<std::uint32_t>(last - first)};
}

// Groups of records of the common length are checked four at a time, in the lanes of vectors
// (GCC and Clang vector extensions: the processor's vector instructions where it has them).
constexpr int common_group_records = 4;
constexpr int common_group_bytes = common_group_records * common_record_length;
// The check reads 16 bytes from the start of each record, one past its end, so a group
// starting after this offset would read past the sector.
constexpr int last_common_group_offset = sector_size - (common_group_records - 1) * common_record_length - 16;

namespace card_record_detail {

using ByteLanes = std::uint8_t __attribute__((vector_size(16)));
using WordLanes = std::uint16_t __attribute__((vector_size(16)));
using TimeLanes = std::uint32_t __attribute__((vector_size(16)));
using HalfLanes = std::uint64_t __attribute__((vector_size(16)));

inline HalfLanes load16(const std::uint8_t* p)
{
    HalfLanes v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

}  // namespace card_record_detail

// One 32-bit lane for each record of a group, in record order: all ones where a condition holds.
using RecordLanes = std::int32_t __attribute__((vector_size(16)));

// A TimeWindow repeated in every lane, in the form the group check compares with.
struct WindowLanes {
    card_record_detail::TimeLanes first_flipped;  // first with its top bit flipped
    RecordLanes span_flipped;                     // span with its top bit flipped
};

// The lanes of `window`. A time is outside when (time - first) > span as unsigned numbers; flipping the
// top bit of both sides turns that into a comparison of signed numbers, which every vector unit has.
inline WindowLanes window_lanes(const TimeWindow& window)
{
    constexpr std::uint32_t top_bit = 0x80000000u;
    const std::uint32_t first = window.first ^ top_bit;
    const auto span = static_cast<std::int32_t>(window.span ^ top_bit);
    return {card_record_detail::TimeLanes{first, first, first, first}, RecordLanes{span, span, span, span}};
}

// What a group check finds about each of its four records.
struct CommonGroupCheck {
    RecordLanes valid;    // a valid 15-byte record, as valid_common_record finds it with its length byte 9
    RecordLanes outside;  // its time lies outside the window (0xFFFFFFFF, no valid record's, may count as inside)
};

// Checks the four 15-byte records at `offset`, `offset` + 15, + 30 and + 45 of `sector` at once; `offset`
// is at most last_common_group_offset.
inline CommonGroupCheck check_common_group(const std::uint8_t* sector, int offset, const WindowLanes& window)
{
    using namespace card_record_detail;
    const std::uint8_t* p = sector + offset;
    const HalfLanes r0 = load16(p), r1 = load16(p + 15), r2 = load16(p + 30), r3 = load16(p + 45);
    // Bytes 0 to 7 of two records side by side, and bytes 8 to 14 without the byte past each record's end.
    constexpr HalfLanes without_byte_15 = {0x00FFFFFFFFFFFFFFull, 0x00FFFFFFFFFFFFFFull};
    const HalfLanes low01 = __builtin_shufflevector(r0, r1, 0, 2);
    const HalfLanes low23 = __builtin_shufflevector(r2, r3, 0, 2);
    const HalfLanes high01 = __builtin_shufflevector(r0, r1, 1, 3) & without_byte_15;
    const HalfLanes high23 = __builtin_shufflevector(r2, r3, 1, 3) & without_byte_15;
    // Lane k of each holds four bytes of record k.
    const auto time = __builtin_shufflevector(TimeLanes(low01), TimeLanes(low23), 0, 2, 4, 6);
    const auto bytes_4_to_7 = __builtin_shufflevector(TimeLanes(low01), TimeLanes(low23), 1, 3, 5, 7);
    const auto bytes_8_to_11 = __builtin_shufflevector(TimeLanes(high01), TimeLanes(high23), 0, 2, 4, 6);
    const auto bytes_12_to_14 = __builtin_shufflevector(TimeLanes(high01), TimeLanes(high23), 1, 3, 5, 7);
    // Byte lanes wrap at 256 like the checksum: adding the four words gives each record four byte sums,
    // which fold into the low byte of its lane, pairs in 16-bit lanes first, then the two pairs.
    const ByteLanes sums =
        ByteLanes(time) + ByteLanes(bytes_4_to_7) + ByteLanes(bytes_8_to_11) + ByteLanes(bytes_12_to_14);
    const WordLanes pairs = WordLanes(sums) + (WordLanes(sums) >> 8);
    const TimeLanes sum = TimeLanes(pairs) + (TimeLanes(pairs) >> 16);
    const RecordLanes valid = ((sum & 0xFF) == ((0x100 - checksum_seed) & 0xFF)) &
                              ((bytes_4_to_7 & 0xFF) == common_length_byte) & ~(time == no_record_time);
    const RecordLanes outside = RecordLanes(time - window.first_flipped) > window.span_flipped;
    return {valid, outside};
}

// True when every lane of `lanes` is set.
inline bool all_lanes(RecordLanes lanes)
{
    const auto halves = card_record_detail::HalfLanes(lanes);
    return (halves[0] & halves[1]) == ~std::uint64_t{0};
}

// The lanes of `lanes` as bits: bit k for the record of lane k.
inline unsigned lane_bits(RecordLanes lanes)
{
    const RecordLanes bits = lanes & RecordLanes{1, 2, 4, 8};
    return static_cast<unsigned>(bits[0] | bits[1] | bits[2] | bits[3]);
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
