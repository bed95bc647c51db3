#include "textcard/line_checksum.h"

#include <cstddef>
#include <cstdint>

#include "services/crc16.h"

namespace {

// After the lead-in: twelve stamp digits and two type digits, then the payload.
constexpr std::size_t payload_offset = 14;
constexpr std::size_t payload_bytes = 8;
constexpr std::size_t crc_offset = payload_offset + 2 * payload_bytes;

// The value of one upper-case hexadecimal digit.
unsigned hex_value(unsigned char digit) { return digit <= '9' ? digit - '0' : digit - 'A' + 10; }

// The byte written as the two digits at `digits`.
std::uint8_t hex_byte(const unsigned char* digits)
{
    return static_cast<std::uint8_t>(hex_value(digits[0]) << 4 | hex_value(digits[1]));
}

}  // namespace

bool line_checksum_matches(const unsigned char* body)
{
    unsigned crc = 0xFFFF;
    for (std::size_t i = 0; i < payload_bytes; ++i) crc = crc16_modbus_step(crc, hex_byte(body + payload_offset + 2 * i));
    return hex_byte(body + crc_offset) == (crc & 0xFF) && hex_byte(body + crc_offset + 2) == (crc >> 8);
}
