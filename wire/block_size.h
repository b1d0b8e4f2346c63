// The block sizes of the comparison passes: the thirteen powers of two from
// 4096 to 16 MiB that the block-size word may carry, the size a front end
// suggests for a file, the finer size of the next pass, and how many blocks
// a stretch of the file has at a size. The one place for these rules: the
// peers, both front ends and the engine use them alike. Pure functions.
#pragma once

#include <cstdint>

constexpr uint32_t kMinBlockSize = 4096;
constexpr uint32_t kMaxBlockSize = 16777216;
// The sizes in order, from kMinBlockSize: index 0 to kBlockSizeCount - 1.
constexpr int kBlockSizeCount = 13;

// Whether size is one of the sizes (the only ones a peer may ask for).
bool IsValidBlockSize(uint64_t size);
// The size at index (0 to kBlockSizeCount - 1).
uint32_t BlockSizeAt(int index);
// The index of a valid size; -1 for any other value.
int BlockSizeIndex(uint64_t size);
// The index suggested for a file of fileSize bytes: 128 to 256 blocks from
// 512 KiB on, blocks of 4096 bytes below, and the largest blocks (16 MiB)
// from 2 GiB on.
int SuggestBlockSizeIndex(uint64_t fileSize);
// The size of the pass after one at size: 64 times finer, never below
// kMinBlockSize.
uint32_t NextFinerBlockSize(uint32_t size);
// The size above size on the ladder; 0 above kMaxBlockSize.
uint32_t NextCoarserBlockSize(uint32_t size);
// Blocks of size bytes in a stretch of bytes bytes (the last may be
// shorter); size is never 0.
uint64_t BlockCount(uint64_t bytes, uint64_t size);
