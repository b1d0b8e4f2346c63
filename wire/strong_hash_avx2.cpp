// The AVX2 variant of the chunk terms. Built with -mavx2 and called only
// where the CPU has AVX2; it includes nothing but xxHash, whose functions
// are static here, so no code compiled for AVX2 can stand in for code that
// the rest of the program calls.
#include "wire/strong_hash.h"

#define XXH_INLINE_ALL
#include <xxhash.h>

#define STRONG_HASH_FUNCTION ChunkTermSumAvx2
#include "wire/strong_hash_impl.h"
