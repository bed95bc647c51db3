// CRC-16/MODBUS, the checksum a record line carries over its payload bytes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

// The CRC-16/MODBUS remainder of every byte value, for updating a byte at a time.
constexpr std::array<std::uint16_t, 256> make_crc16_modbus_table()
{
    std::array<std::uint16_t, 256> table{};
    for (unsigned b = 0; b < 256; ++b) {
        unsigned crc = b;
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
        table[b] = static_cast<std::uint16_t>(crc);
    }
    return table;
}

// The table of make_crc16_modbus_table(), built at compile time.
inline constexpr std::array<std::uint16_t, 256> crc16_modbus_table = make_crc16_modbus_table();

// Returns `crc` updated by one more byte `byte`.
inline unsigned crc16_modbus_step(unsigned crc, std::uint8_t byte)
{
    return (crc >> 8) ^ crc16_modbus_table[(crc ^ byte) & 0xFF];
}

// Returns the CRC-16/MODBUS (reflected 0x8005, initial 0xFFFF, no final XOR) of `size` bytes.
std::uint16_t crc16_modbus(const std::uint8_t* data, std::size_t size);
