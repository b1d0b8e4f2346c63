// The body of ChunkTermSum, compiled once per instruction set: each
// including file defines STRONG_HASH_FUNCTION and includes xxHash inline
// (static functions), so the variants never share code.
#ifndef STRONG_HASH_FUNCTION
#error "define STRONG_HASH_FUNCTION before including strong_hash_impl.h"
#endif

// The sum is kept by hand rather than with Add128: an inline function of a
// shared header compiled here could be the copy that the linker keeps for
// every caller.
//
// A 32-bit Windows thread may enter with only 4-byte stack alignment, while
// the vector variants keep 16- and 32-byte aligned arrays on the stack (the
// accumulators, the seeded secret) and GCC assumes 16 bytes at every entry:
// the entry realigns the stack, so that everything it calls finds 16 and
// realigns further where it needs 32.
#if defined(__i386__)
__attribute__((force_align_arg_pointer))
#endif
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
