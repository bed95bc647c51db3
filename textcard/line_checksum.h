// The checksum of a text record line: the last four hexadecimal digits carry the
// CRC-16/MODBUS of the payload bytes, low byte first.
#pragma once

// True when the 34 upper-case hexadecimal digits at `body` (a record line after its
// lead-in "20": stamp, type, eight payload bytes, CRC) carry the CRC of their payload.
bool line_checksum_matches(const unsigned char* body);
