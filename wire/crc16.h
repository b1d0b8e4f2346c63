// CRC-16/CCITT-FALSE (poly 0x1021, init 0xFFFF, MSB-first, no final XOR) used
// to compare blocks of the damaged and the reference copy. Pure functions,
// safe to call from any thread; the fastest routine for this CPU is picked on
// first use.
#pragma once

#include <cstddef>
#include <cstdint>

// Continues a CRC-16/CCITT-FALSE over len bytes. Start a new checksum with crc = 0xFFFF.
uint16_t Crc16Update(uint16_t crc, const uint8_t* data, size_t len);

// Name of the routine chosen at run time, e.g. "vpclmulqdq", "pclmulqdq", "slice16".
const char* Crc16RoutineName();
