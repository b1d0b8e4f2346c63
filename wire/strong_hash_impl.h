// The body of ChunkTermSum, compiled once per instruction set: each
// including file defines STRONG_HASH_FUNCTION and includes xxHash inline
// (static functions), so the variants never share code.
#ifndef STRONG_HASH_FUNCTION
#error "define STRONG_HASH_FUNCTION before including strong_hash_impl.h"
#endif

// The sum is kept by hand rather than with Add128: an inline function of a
// shared header compiled here could be the copy that the linker keeps for
// every caller.
U128 STRONG_HASH_FUNCTION(const uint8_t* data, size_t n, uint64_t offset) {
    U128 sum = {0, 0};
    while (n > 0) {
        size_t take = n < kChunkSize ? n : kChunkSize;
        XXH128_hash_t term = XXH3_128bits_withSeed(data, take, offset);
        sum.lo += term.low64;
        sum.hi += term.high64 + (sum.lo < term.low64 ? 1 : 0);
        data += take;
        n -= take;
        offset += take;
    }
    return sum;
}
