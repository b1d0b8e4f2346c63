// The SSE2 variant of the chunk terms, for i686, whose baseline is the
// portable code (SSE2 is the baseline of x86-64 and is compiled into
// strong_hash.cpp there). Built with -msse2, called only where the CPU has
// SSE2; like strong_hash_avx2.cpp it includes nothing but xxHash.
#include "wire/strong_hash.h"

#define XXH_INLINE_ALL
#include <xxhash.h>

#define STRONG_HASH_FUNCTION ChunkTermSumSse2
#include "wire/strong_hash_impl.h"
