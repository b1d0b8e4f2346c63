// The individual CRC-16 routines behind Crc16Update, exposed so the unit tests
// and the benchmark can run each one directly. Any thread may call them.
// A fast routine may only be called when its Crc16CpuHas... check is true.
#pragma once

#include <cstddef>
#include <cstdint>

// Portable table routine; handles any length.
uint16_t Crc16Slice16(uint16_t crc, const uint8_t* data, size_t len);

#if defined(__x86_64__) || defined(__i386__)
#define CRC16_HAVE_X86_ROUTINES 1

// Carry-less multiply folding, 8 x 128-bit lanes (SSE4.1 + PCLMULQDQ).
uint16_t Crc16Pclmul(uint16_t crc, const uint8_t* data, size_t len);
// Same folding on 256-bit registers (AVX2 + VPCLMULQDQ).
uint16_t Crc16Vpclmul256(uint16_t crc, const uint8_t* data, size_t len);
// Same folding on 512-bit registers (AVX-512F/BW + VPCLMULQDQ).
uint16_t Crc16Vpclmul512(uint16_t crc, const uint8_t* data, size_t len);

bool Crc16CpuHasPclmul();
bool Crc16CpuHasVpclmul256();
bool Crc16CpuHasVpclmul512();
#endif
