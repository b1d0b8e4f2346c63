// Chunk terms with xxHash's XXH3, its header compiled in (XXH_INLINE_ALL):
// no library to ship with either program. This file holds the variant for
// the build's baseline instruction set (SSE2 on x86-64, scalar on i686);
// strong_hash_sse2.cpp (i686 only), strong_hash_avx2.cpp and
// strong_hash_avx512.cpp (x86-64 only) the wider ones, chosen at run time
// where the CPU has them.
#include "wire/strong_hash.h"

#define XXH_INLINE_ALL
#include <xxhash.h>

#define STRONG_HASH_FUNCTION ChunkTermSumBaseline
#include "wire/strong_hash_impl.h"

#if defined(BLOCKMEND_STRONG_HASH_SSE2)
U128 ChunkTermSumSse2(const uint8_t* data, size_t n, uint64_t offset);
#endif
#if defined(BLOCKMEND_STRONG_HASH_AVX2)
U128 ChunkTermSumAvx2(const uint8_t* data, size_t n, uint64_t offset);
#endif
#if defined(BLOCKMEND_STRONG_HASH_AVX512)
U128 ChunkTermSumAvx512(const uint8_t* data, size_t n, uint64_t offset);
#endif

namespace {
using SumRoutine = U128 (*)(const uint8_t*, size_t, uint64_t);

struct Choice {
    SumRoutine routine;
    const char* name;
};

#if defined(__SSE2__)
constexpr const char* kBaselineName = "sse2";
#else
constexpr const char* kBaselineName = "scalar";
#endif

// The routines this CPU runs, the baseline first and the fastest last.
int Available(ChunkTermRoutine* out, int max) {
    int n = 0;
    if (n < max) out[n++] = {kBaselineName, ChunkTermSumBaseline};
#if defined(BLOCKMEND_STRONG_HASH_SSE2) || defined(BLOCKMEND_STRONG_HASH_AVX2)
    __builtin_cpu_init();
#endif
#if defined(BLOCKMEND_STRONG_HASH_SSE2)
    if (__builtin_cpu_supports("sse2") && n < max) out[n++] = {"sse2", ChunkTermSumSse2};
#endif
#if defined(BLOCKMEND_STRONG_HASH_AVX2)
    if (__builtin_cpu_supports("avx2") && n < max) out[n++] = {"avx2", ChunkTermSumAvx2};
#endif
#if defined(BLOCKMEND_STRONG_HASH_AVX512)
    if (__builtin_cpu_supports("avx512f") && n < max) out[n++] = {"avx512", ChunkTermSumAvx512};
#endif
    return n;
}

Choice Choose() {
    ChunkTermRoutine routines[kMaxChunkTermRoutines];
    const ChunkTermRoutine& fastest = routines[Available(routines, kMaxChunkTermRoutines) - 1];
    return {fastest.sum, fastest.name};
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

int AvailableChunkTermRoutines(ChunkTermRoutine* out, int max) { return Available(out, max); }
