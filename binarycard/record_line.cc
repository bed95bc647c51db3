#include "binarycard/record_line.h"

#include "platform/platform.h"

namespace {

const char hex_digits[] = "0123456789ABCDEF";

char* put_hex_byte(char* out, std::uint8_t byte)
{
    out[0] = hex_digits[byte >> 4];
    out[1] = hex_digits[byte & 0x0F];
    return out + 2;
}

char* put_two_digits(char* out, int value)
{
    out[0] = static_cast<char>('0' + value / 10);
    out[1] = static_cast<char>('0' + value % 10);
    return out + 2;
}

constexpr std::int64_t seconds_per_day = 86400;

std::int64_t floor_div(std::int64_t a, std::int64_t b)
{
    const std::int64_t q = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

}  // namespace

std::uint16_t crc16_modbus(const std::uint8_t* data, std::size_t size)
{
    std::uint16_t crc = 0xFFFF;
    for (std::size_t i = 0; i < size; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? static_cast<std::uint16_t>((crc >> 1) ^ 0xA001) : static_cast<std::uint16_t>(crc >> 1);
    }
    return crc;
}

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
    const std::int64_t day = floor_div(seconds, seconds_per_day);
    if (day != cache.day) {
        std::tm fields{};
        platform::utc_calendar(day * seconds_per_day, fields);
        char stamp[stamp_length];
        format_stamp(fields, stamp);
        for (int i = 0; i < 8; ++i) cache.date[i] = stamp[i];
        cache.day = day;
    }
    const int of_day = static_cast<int>(seconds - day * seconds_per_day);
    for (int i = 0; i < 8; ++i) out[i] = cache.date[i];
    char* p = put_two_digits(out + 8, of_day / 3600);
    p = put_two_digits(p, of_day / 60 % 60);
    put_two_digits(p, of_day % 60);
}

std::size_t format_record_line(const std::uint8_t* sector, const CardRecord& record, StampCache& cache, char* out)
{
    const std::uint8_t* bytes = sector + record.start;
    format_time_stamp(cache, record.time, out);
    char* p = put_hex_byte(out + stamp_length, bytes[5]);
    const std::size_t payload_size = record.total_length - 7u;
    const std::uint8_t* payload = bytes + 6;
    for (std::size_t i = 0; i < payload_size; ++i) p = put_hex_byte(p, payload[i]);
    const std::uint16_t crc = crc16_modbus(payload, payload_size);
    p = put_hex_byte(p, static_cast<std::uint8_t>(crc & 0xFF));
    p = put_hex_byte(p, static_cast<std::uint8_t>(crc >> 8));
    return static_cast<std::size_t>(p - out);
}
