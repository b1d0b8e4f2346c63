// The AVX-512 variant of the chunk terms, like strong_hash_avx2.cpp: built
// with -mavx512f for x86-64 only, called only where the CPU has AVX-512F.
#include "wire/strong_hash.h"

#define XXH_INLINE_ALL
#include <xxhash.h>

#define STRONG_HASH_FUNCTION ChunkTermSumAvx512
#include "wire/strong_hash_impl.h"
