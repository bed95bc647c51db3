#include "binarycard/record_line.h"

#include <array>
#include <cstring>

#include "platform/platform.h"

namespace {

// The two upper-case hexadecimal digits of every byte value.
constexpr std::array<char, 512> make_hex_pairs()
{
    const char digits[] = "0123456789ABCDEF";
    std::array<char, 512> pairs{};
    for (int b = 0; b < 256; ++b) {
        pairs[2 * b] = digits[b >> 4];
        pairs[2 * b + 1] = digits[b & 0x0F];
    }
    return pairs;
}
constexpr std::array<char, 512> hex_pairs = make_hex_pairs();

char* put_hex_byte(char* out, std::uint8_t byte)
{
    std::memcpy(out, &hex_pairs[2 * byte], 2);
    return out + 2;
}

// "00" to "99".
constexpr std::array<char, 200> make_decimal_pairs()
{
    std::array<char, 200> pairs{};
    for (int v = 0; v < 100; ++v) {
        pairs[2 * v] = static_cast<char>('0' + v / 10);
        pairs[2 * v + 1] = static_cast<char>('0' + v % 10);
    }
    return pairs;
}
constexpr std::array<char, 200> decimal_pairs = make_decimal_pairs();

char* put_two_digits(char* out, int value)
{
    std::memcpy(out, &decimal_pairs[2 * value], 2);
    return out + 2;
}

constexpr std::int64_t seconds_per_day = 86400;

std::int64_t floor_div(std::int64_t a, std::int64_t b)
{
    const std::int64_t q = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

}  // namespace

void format_stamp(const std::tm& fields, char* out)
{
    out[0] = '2';
    out[1] = '0';
    char* p = put_two_digits(out + 2, fields.tm_year % 100);
    p = put_two_digits(p, fields.tm_mon + 1);
    p = put_two_digits(p, fields.tm_mday);
    p = put_two_digits(p, fields.tm_hour);
    p = put_two_digits(p, fields.tm_min);
    put_two_digits(p, fields.tm_sec);
}

void format_time_stamp(StampCache& cache, std::int64_t seconds, char* out)
{
    if (seconds < cache.day_start || seconds >= cache.day_start + seconds_per_day) {
        cache.day_start = floor_div(seconds, seconds_per_day) * seconds_per_day;
        std::tm fields{};
        platform::utc_calendar(cache.day_start, fields);
        char stamp[stamp_length];
        format_stamp(fields, stamp);
        std::memcpy(cache.date, stamp, sizeof cache.date);
    }
    const auto of_day = static_cast<unsigned>(seconds - cache.day_start);
    std::memcpy(out, cache.date, sizeof cache.date);
    char* p = put_two_digits(out + 8, static_cast<int>(of_day / 3600));
    p = put_two_digits(p, static_cast<int>(of_day / 60 % 60));
    put_two_digits(p, static_cast<int>(of_day % 60));
}

std::size_t format_record_line(const std::uint8_t* sector, const CardRecord& record, StampCache& cache, char* out)
{
    const std::uint8_t* bytes = sector + record.start;
    format_time_stamp(cache, record.time, out);
    char* p = put_hex_byte(out + stamp_length, bytes[5]);
    // Payload digits and the CRC over the payload, in one pass.
    const std::uint8_t* payload = bytes + 6;
    const unsigned payload_size = record.total_length - 7u;
    unsigned crc = 0xFFFF;
    for (unsigned i = 0; i < payload_size; ++i) {
        p = put_hex_byte(p, payload[i]);
        crc = crc16_modbus_step(crc, payload[i]);
    }
    p = put_hex_byte(p, static_cast<std::uint8_t>(crc & 0xFF));
    p = put_hex_byte(p, static_cast<std::uint8_t>(crc >> 8));
    return static_cast<std::size_t>(p - out);
}
