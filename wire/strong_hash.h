// The strong checksums of protocol 2: every 4096-byte chunk of a file gets a
// 128-bit term, XXH3-128 of its bytes seeded with the chunk's file offset,
// and a stretch of the file is summed from the terms of its chunks (modulo
// 2^128). A block's checksum and the whole-file digest are both such sums,
// so the digest of a repaired file can be brought up to date from the
// blocks that changed without reading the rest again. Pure functions, any
// thread; the fastest routine for this CPU is picked on first use.
#pragma once

#include <cstddef>
#include <cstdint>

// An unsigned 128-bit number: a sum of chunk terms. A plain aggregate
// (write U128{} for zero), so that no constructor is compiled along with the
// AVX2 variant.
struct U128 {
    uint64_t lo;
    uint64_t hi;
};

inline U128 Add128(U128 a, U128 b) {
    U128 r{};
    r.lo = a.lo + b.lo;
    r.hi = a.hi + b.hi + (r.lo < a.lo ? 1 : 0);
    return r;
}

inline U128 Sub128(U128 a, U128 b) {
    U128 r{};
    r.lo = a.lo - b.lo;
    r.hi = a.hi - b.hi - (a.lo < b.lo ? 1 : 0);
    return r;
}

inline bool Equal128(U128 a, U128 b) { return a.lo == b.lo && a.hi == b.hi; }

constexpr size_t kChunkSize = 4096;

// The sum of the terms of the chunks of data, n bytes that lie at file
// offset offset: chunks start at offset, offset + 4096, ...; only the last
// may be shorter.
U128 ChunkTermSum(const uint8_t* data, size_t n, uint64_t offset);
// XXH3-128 of n bytes, unseeded: the digest is made with it.
U128 Hash128(const uint8_t* data, size_t n);
// Name of the routine chosen at run time: "avx512", "avx2", "sse2" or
// "scalar".
const char* StrongHashRoutineName();

// Every routine of ChunkTermSum that this build has and this CPU runs, the
// baseline first (for the tests, which check that they agree).
struct ChunkTermRoutine {
    const char* name;
    U128 (*sum)(const uint8_t* data, size_t n, uint64_t offset);
};
constexpr int kMaxChunkTermRoutines = 4;
int AvailableChunkTermRoutines(ChunkTermRoutine* out, int max);
