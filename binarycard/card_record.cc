#include "binarycard/card_record.h"

namespace {

constexpr std::uint32_t no_record_time = 0xFFFFFFFFu;
constexpr int max_length_byte = 40;
constexpr std::uint8_t checksum_seed = 0x55;

}  // namespace

bool validate_record(const std::uint8_t* sector, int offset, CardRecord& record)
{
    record.start = offset;
    // The shortest record has 7 bytes, so none starts at offsets 506 to 511.
    if (offset + 6 >= sector_size) return false;
    const std::uint8_t* p = sector + offset;
    const std::uint32_t time = static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
                               static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
    record.time = time;
    if (time == no_record_time) return false;
    const int length = p[4];
    if (length == 0 || length > max_length_byte) return false;
    record.total_length = static_cast<std::uint8_t>(length + 6);
    if (offset + record.total_length > sector_size) return false;
    std::uint8_t sum = checksum_seed;
    for (int i = 0; i < record.total_length; ++i) sum = static_cast<std::uint8_t>(sum + p[i]);
    return sum == 0;
}
