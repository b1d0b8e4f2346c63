// CRC-16/CCITT-FALSE routines: a portable slicing-by-16 table routine and, on
// x86, carry-less multiplication folding with PCLMULQDQ / VPCLMULQDQ. The
// routine is chosen once from the CPU's features. Runs on any thread; the
// only shared state is the choice, set up by a thread-safe static.
#include "wire/crc16.h"
#include "wire/crc16_internal.h"

#include <array>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace {

constexpr uint16_t kCrc16Poly = 0x1021;

// Below this many bytes the fixed cost of folding outweighs its speed.
constexpr size_t kFoldMinLength = 128;

using Crc16Tables = std::array<std::array<uint16_t, 256>, 16>;

// Table k maps a byte to its CRC contribution when k zero bytes follow it.
constexpr Crc16Tables BuildCrc16Tables() {
  Crc16Tables tables{};
  for (unsigned byte = 0; byte < 256; ++byte) {
    uint16_t crc = static_cast<uint16_t>(byte << 8);
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc & 0x8000) ? static_cast<uint16_t>((crc << 1) ^ kCrc16Poly)
                           : static_cast<uint16_t>(crc << 1);
    }
    tables[0][byte] = crc;
  }
  for (size_t k = 1; k < tables.size(); ++k) {
    for (unsigned byte = 0; byte < 256; ++byte) {
      const uint16_t prev = tables[k - 1][byte];
      tables[k][byte] = static_cast<uint16_t>((prev << 8) ^ tables[0][prev >> 8]);
    }
  }
  return tables;
}

constexpr Crc16Tables kCrc16Tables = BuildCrc16Tables();

}  // namespace

uint16_t Crc16Slice16(uint16_t crc, const uint8_t* data, size_t len) {
  const auto& t = kCrc16Tables;
  uint32_t c = crc;
  while (len >= 16) {
    c = t[15][data[0] ^ (c >> 8)] ^ t[14][data[1] ^ (c & 0xFF)] ^
        t[13][data[2]] ^ t[12][data[3]] ^ t[11][data[4]] ^ t[10][data[5]] ^
        t[9][data[6]] ^ t[8][data[7]] ^ t[7][data[8]] ^ t[6][data[9]] ^
        t[5][data[10]] ^ t[4][data[11]] ^ t[3][data[12]] ^ t[2][data[13]] ^
        t[1][data[14]] ^ t[0][data[15]];
    data += 16;
    len -= 16;
  }
  while (len > 0) {
    c = ((c << 8) & 0xFFFF) ^ t[0][(c >> 8) ^ *data];
    ++data;
    --len;
  }
  return static_cast<uint16_t>(c);
}

#if defined(__x86_64__) || defined(__i386__)

// The folding routines treat each 16-byte block, byte-reversed, as a 128-bit
// polynomial whose top bit is the block's first message bit. An accumulator A
// is moved D bits further down the message by A_hi * (x^(D+64) mod P) +
// A_lo * (x^D mod P); the result stays congruent mod P, which is all the CRC
// needs. At the end the remaining 128-bit value is run through the table
// routine as 16 message bytes.

// 32-bit Windows threads may start with only 4-byte stack alignment.
#if defined(__i386__)
#define CRC16_ALIGN_STACK __attribute__((force_align_arg_pointer))
#else
#define CRC16_ALIGN_STACK
#endif

#define CRC16_TARGET_PCLMUL __attribute__((target("sse4.1,pclmul")))
#define CRC16_TARGET_V256 __attribute__((target("avx2,vpclmulqdq,pclmul,sse4.1")))
#define CRC16_TARGET_V512 \
  __attribute__((target("avx512f,avx512bw,vpclmulqdq,avx2,pclmul,sse4.1")))
#define CRC16_INLINE static inline __attribute__((always_inline))

namespace {

constexpr uint64_t XPowModPoly(unsigned n) {
  uint32_t v = 1;
  for (unsigned i = 0; i < n; ++i) {
    v <<= 1;
    if (v & 0x10000) v ^= 0x10000u | kCrc16Poly;
  }
  return v;
}

// Fold constants for moving an accumulator down by `bits` bits: high qword
// multiplies the accumulator's high half, low qword its low half.
struct FoldConstant {
  uint64_t hi;
  uint64_t lo;
};
constexpr FoldConstant FoldBy(unsigned bits) {
  return {XPowModPoly(bits + 64), XPowModPoly(bits)};
}
constexpr FoldConstant kFold128 = FoldBy(128);
constexpr FoldConstant kFold256 = FoldBy(256);
constexpr FoldConstant kFold512 = FoldBy(512);
constexpr FoldConstant kFold1024 = FoldBy(1024);
constexpr FoldConstant kFold2048 = FoldBy(2048);

CRC16_TARGET_PCLMUL CRC16_INLINE __m128i ByteReverseMask128() {
  return _mm_set_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
}

CRC16_TARGET_PCLMUL CRC16_INLINE __m128i MakeFold128(FoldConstant k) {
  return _mm_set_epi64x(static_cast<long long>(k.hi), static_cast<long long>(k.lo));
}

CRC16_TARGET_PCLMUL CRC16_INLINE __m128i Load128(const uint8_t* p, __m128i reverse) {
  return _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), reverse);
}

// The initial CRC is XORed into the first two message bytes.
CRC16_TARGET_PCLMUL CRC16_INLINE __m128i InitialCrc128(uint16_t crc) {
  return _mm_set_epi32(static_cast<int>(static_cast<uint32_t>(crc) << 16), 0, 0, 0);
}

CRC16_TARGET_PCLMUL CRC16_INLINE __m128i Fold128(__m128i a, __m128i k, __m128i next) {
  const __m128i hi = _mm_clmulepi64_si128(a, k, 0x11);
  const __m128i lo = _mm_clmulepi64_si128(a, k, 0x00);
  return _mm_xor_si128(_mm_xor_si128(hi, lo), next);
}

// Folds the remaining whole 16-byte blocks into acc, then finishes the CRC
// with the table routine over acc and the last few bytes.
CRC16_TARGET_PCLMUL CRC16_INLINE uint16_t FinishFolding(__m128i acc, const uint8_t* data,
                                                        size_t len, __m128i reverse) {
  const __m128i k128 = MakeFold128(kFold128);
  while (len >= 16) {
    acc = Fold128(acc, k128, Load128(data, reverse));
    data += 16;
    len -= 16;
  }
  alignas(16) uint8_t block[16];
  _mm_store_si128(reinterpret_cast<__m128i*>(block), _mm_shuffle_epi8(acc, reverse));
  const uint16_t crc = Crc16Slice16(0, block, sizeof(block));
  return Crc16Slice16(crc, data, len);
}

CRC16_TARGET_V256 CRC16_INLINE __m256i Load256(const uint8_t* p, __m256i reverse) {
  return _mm256_shuffle_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)),
                             reverse);
}

CRC16_TARGET_V256 CRC16_INLINE __m256i Fold256(__m256i a, __m256i k, __m256i next) {
  const __m256i hi = _mm256_clmulepi64_epi128(a, k, 0x11);
  const __m256i lo = _mm256_clmulepi64_epi128(a, k, 0x00);
  return _mm256_xor_si256(_mm256_xor_si256(hi, lo), next);
}

CRC16_TARGET_V512 CRC16_INLINE __m512i Load512(const uint8_t* p, __m512i reverse) {
  return _mm512_shuffle_epi8(_mm512_loadu_si512(p), reverse);
}

// Built with set/maskz forms: GCC 12's broadcast and extract intrinsics raise
// false -Wmaybe-uninitialized warnings.
CRC16_TARGET_V512 CRC16_INLINE __m512i ByteReverseMask512() {
  constexpr long long kHi = 0x0001020304050607, kLo = 0x08090A0B0C0D0E0F;
  return _mm512_set4_epi64(kHi, kLo, kHi, kLo);
}

CRC16_TARGET_V512 CRC16_INLINE __m512i MakeFold512(FoldConstant k) {
  const auto hi = static_cast<long long>(k.hi), lo = static_cast<long long>(k.lo);
  return _mm512_set4_epi64(hi, lo, hi, lo);
}

template <int kLane>
CRC16_TARGET_V512 CRC16_INLINE __m128i Lane512(__m512i z) {
  return _mm512_maskz_extracti32x4_epi32(0xF, z, kLane);
}

CRC16_TARGET_V512 CRC16_INLINE __m512i Fold512(__m512i a, __m512i k, __m512i next) {
  const __m512i hi = _mm512_clmulepi64_epi128(a, k, 0x11);
  const __m512i lo = _mm512_clmulepi64_epi128(a, k, 0x00);
  return _mm512_ternarylogic_epi64(hi, lo, next, 0x96);  // three-way XOR
}

}  // namespace

CRC16_TARGET_PCLMUL CRC16_ALIGN_STACK
uint16_t Crc16Pclmul(uint16_t crc, const uint8_t* data, size_t len) {
  if (len < kFoldMinLength) return Crc16Slice16(crc, data, len);
  const __m128i reverse = ByteReverseMask128();
  __m128i x0 = _mm_xor_si128(Load128(data, reverse), InitialCrc128(crc));
  __m128i x1 = Load128(data + 16, reverse);
  __m128i x2 = Load128(data + 32, reverse);
  __m128i x3 = Load128(data + 48, reverse);
  __m128i x4 = Load128(data + 64, reverse);
  __m128i x5 = Load128(data + 80, reverse);
  __m128i x6 = Load128(data + 96, reverse);
  __m128i x7 = Load128(data + 112, reverse);
  data += 128;
  len -= 128;

  const __m128i k1024 = MakeFold128(kFold1024);
  while (len >= 128) {
    x0 = Fold128(x0, k1024, Load128(data, reverse));
    x1 = Fold128(x1, k1024, Load128(data + 16, reverse));
    x2 = Fold128(x2, k1024, Load128(data + 32, reverse));
    x3 = Fold128(x3, k1024, Load128(data + 48, reverse));
    x4 = Fold128(x4, k1024, Load128(data + 64, reverse));
    x5 = Fold128(x5, k1024, Load128(data + 80, reverse));
    x6 = Fold128(x6, k1024, Load128(data + 96, reverse));
    x7 = Fold128(x7, k1024, Load128(data + 112, reverse));
    data += 128;
    len -= 128;
  }

  const __m128i k128 = MakeFold128(kFold128);
  x1 = Fold128(x0, k128, x1);
  x2 = Fold128(x1, k128, x2);
  x3 = Fold128(x2, k128, x3);
  x4 = Fold128(x3, k128, x4);
  x5 = Fold128(x4, k128, x5);
  x6 = Fold128(x5, k128, x6);
  x7 = Fold128(x6, k128, x7);
  return FinishFolding(x7, data, len, reverse);
}

CRC16_TARGET_V256 CRC16_ALIGN_STACK
uint16_t Crc16Vpclmul256(uint16_t crc, const uint8_t* data, size_t len) {
  if (len < 256) return Crc16Pclmul(crc, data, len);
  const __m256i reverse = _mm256_broadcastsi128_si256(ByteReverseMask128());
  const __m256i init = _mm256_zextsi128_si256(InitialCrc128(crc));
  __m256i y0 = _mm256_xor_si256(Load256(data, reverse), init);
  __m256i y1 = Load256(data + 32, reverse);
  __m256i y2 = Load256(data + 64, reverse);
  __m256i y3 = Load256(data + 96, reverse);
  __m256i y4 = Load256(data + 128, reverse);
  __m256i y5 = Load256(data + 160, reverse);
  __m256i y6 = Load256(data + 192, reverse);
  __m256i y7 = Load256(data + 224, reverse);
  data += 256;
  len -= 256;

  const __m256i k2048 = _mm256_broadcastsi128_si256(MakeFold128(kFold2048));
  while (len >= 256) {
    y0 = Fold256(y0, k2048, Load256(data, reverse));
    y1 = Fold256(y1, k2048, Load256(data + 32, reverse));
    y2 = Fold256(y2, k2048, Load256(data + 64, reverse));
    y3 = Fold256(y3, k2048, Load256(data + 96, reverse));
    y4 = Fold256(y4, k2048, Load256(data + 128, reverse));
    y5 = Fold256(y5, k2048, Load256(data + 160, reverse));
    y6 = Fold256(y6, k2048, Load256(data + 192, reverse));
    y7 = Fold256(y7, k2048, Load256(data + 224, reverse));
    data += 256;
    len -= 256;
  }

  const __m256i k256 = _mm256_broadcastsi128_si256(MakeFold128(kFold256));
  y1 = Fold256(y0, k256, y1);
  y2 = Fold256(y1, k256, y2);
  y3 = Fold256(y2, k256, y3);
  y4 = Fold256(y3, k256, y4);
  y5 = Fold256(y4, k256, y5);
  y6 = Fold256(y5, k256, y6);
  y7 = Fold256(y6, k256, y7);

  // The low 128-bit lane holds the earlier block.
  const __m128i k128 = MakeFold128(kFold128);
  const __m128i acc = Fold128(_mm256_castsi256_si128(y7), k128,
                              _mm256_extracti128_si256(y7, 1));
  return FinishFolding(acc, data, len, _mm256_castsi256_si128(reverse));
}

CRC16_TARGET_V512 CRC16_ALIGN_STACK
uint16_t Crc16Vpclmul512(uint16_t crc, const uint8_t* data, size_t len) {
  if (len < 256) return Crc16Pclmul(crc, data, len);
  const __m512i reverse = ByteReverseMask512();
  const __m512i init = _mm512_zextsi128_si512(InitialCrc128(crc));
  __m512i z0 = _mm512_xor_si512(Load512(data, reverse), init);
  __m512i z1 = Load512(data + 64, reverse);
  __m512i z2 = Load512(data + 128, reverse);
  __m512i z3 = Load512(data + 192, reverse);
  data += 256;
  len -= 256;

  const __m512i k2048 = MakeFold512(kFold2048);
  while (len >= 256) {
    z0 = Fold512(z0, k2048, Load512(data, reverse));
    z1 = Fold512(z1, k2048, Load512(data + 64, reverse));
    z2 = Fold512(z2, k2048, Load512(data + 128, reverse));
    z3 = Fold512(z3, k2048, Load512(data + 192, reverse));
    data += 256;
    len -= 256;
  }

  const __m512i k512 = MakeFold512(kFold512);
  z1 = Fold512(z0, k512, z1);
  z2 = Fold512(z1, k512, z2);
  z3 = Fold512(z2, k512, z3);
  while (len >= 64) {
    z3 = Fold512(z3, k512, Load512(data, reverse));
    data += 64;
    len -= 64;
  }

  // Lane 0 holds the earliest block, lane 3 the latest.
  const __m128i k128 = MakeFold128(kFold128);
  __m128i acc = Lane512<0>(z3);
  acc = Fold128(acc, k128, Lane512<1>(z3));
  acc = Fold128(acc, k128, Lane512<2>(z3));
  acc = Fold128(acc, k128, Lane512<3>(z3));
  return FinishFolding(acc, data, len, ByteReverseMask128());
}

bool Crc16CpuHasPclmul() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("sse4.1") && __builtin_cpu_supports("pclmul");
}

bool Crc16CpuHasVpclmul256() {
  return Crc16CpuHasPclmul() && __builtin_cpu_supports("avx2") &&
         __builtin_cpu_supports("vpclmulqdq");
}

bool Crc16CpuHasVpclmul512() {
  return Crc16CpuHasVpclmul256() && __builtin_cpu_supports("avx512f") &&
         __builtin_cpu_supports("avx512bw");
}

#endif  // x86

namespace {

using Crc16Routine = uint16_t (*)(uint16_t, const uint8_t*, size_t);

struct Crc16Choice {
  Crc16Routine routine;
  const char* name;
};

Crc16Choice ChooseCrc16Routine() {
#if defined(__x86_64__) || defined(__i386__)
  if (Crc16CpuHasVpclmul512()) return {Crc16Vpclmul512, "vpclmulqdq-avx512"};
  if (Crc16CpuHasVpclmul256()) return {Crc16Vpclmul256, "vpclmulqdq-avx2"};
  if (Crc16CpuHasPclmul()) return {Crc16Pclmul, "pclmulqdq"};
#endif
  return {Crc16Slice16, "slice16"};
}

const Crc16Choice& ChosenCrc16Routine() {
  static const Crc16Choice choice = ChooseCrc16Routine();
  return choice;
}

}  // namespace

uint16_t Crc16Update(uint16_t crc, const uint8_t* data, size_t len) {
  if (len < kFoldMinLength) return Crc16Slice16(crc, data, len);
  return ChosenCrc16Routine().routine(crc, data, len);
}

const char* Crc16RoutineName() { return ChosenCrc16Routine().name; }
