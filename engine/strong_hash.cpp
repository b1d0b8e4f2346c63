// Chunk terms with xxHash's XXH3, its header compiled in (XXH_INLINE_ALL):
// no library to ship with either program. This file holds the variant for
// the build's baseline instruction set (SSE2 on x86-64, scalar on i686);
// strong_hash_avx2.cpp the AVX2 one, chosen at run time where the CPU has it.
#include "engine/strong_hash.h"

#define XXH_INLINE_ALL
#include <xxhash.h>

#define STRONG_HASH_FUNCTION ChunkTermSumBaseline
#include "engine/strong_hash_impl.h"

#if defined(BLOCKMEND_STRONG_HASH_AVX2)
U128 ChunkTermSumAvx2(const uint8_t* data, size_t n, uint64_t offset);
#endif

namespace {
using SumRoutine = U128 (*)(const uint8_t*, size_t, uint64_t);

struct Choice {
    SumRoutine routine;
    const char* name;
};

Choice Choose() {
#if defined(BLOCKMEND_STRONG_HASH_AVX2)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2")) return {ChunkTermSumAvx2, "avx2"};
#endif
#if defined(__SSE2__)
    return {ChunkTermSumBaseline, "sse2"};
#else
    return {ChunkTermSumBaseline, "scalar"};
#endif
}

const Choice& Chosen() {
    static const Choice choice = Choose();
    return choice;
}
}  // namespace

U128 ChunkTermSum(const uint8_t* data, size_t n, uint64_t offset) { return Chosen().routine(data, n, offset); }

U128 Hash128(const uint8_t* data, size_t n) {
    XXH128_hash_t h = XXH3_128bits(data, n);
    return U128{h.low64, h.high64};
}

const char* StrongHashRoutineName() { return Chosen().name; }
