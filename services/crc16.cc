#include "services/crc16.h"

std::uint16_t crc16_modbus(const std::uint8_t* data, std::size_t size)
{
    unsigned crc = 0xFFFF;
    for (std::size_t i = 0; i < size; ++i) crc = crc16_modbus_step(crc, data[i]);
    return static_cast<std::uint16_t>(crc);
}
