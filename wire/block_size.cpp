// The block-size ladder.
#include "wire/block_size.h"

bool IsValidBlockSize(uint64_t size) { return BlockSizeIndex(size) >= 0; }

uint32_t BlockSizeAt(int index) { return kMinBlockSize << index; }

int BlockSizeIndex(uint64_t size) {
    for (int i = 0; i < kBlockSizeCount; ++i)
        if (size == BlockSizeAt(i)) return i;
    return -1;
}

int SuggestBlockSizeIndex(uint64_t fileSize) {
    // The highest set bit n: a file of 2^n to 2^(n+1) - 1 bytes gets blocks of
    // 2^(n - 7), which cut it into 128 to 256 blocks.
    int n = 0;
    for (int bit = 63; bit >= 1; --bit) {
        if (fileSize & (1ull << bit)) {
            n = bit;
            break;
        }
    }
    if (n - 19 >= kBlockSizeCount) return kBlockSizeCount - 1;
    return n - 19 < 0 ? 0 : n - 19;
}

uint32_t NextFinerBlockSize(uint32_t size) {
    const uint32_t next = size >> 6;
    return next < kMinBlockSize ? kMinBlockSize : next;
}

uint64_t BlockCount(uint64_t bytes, uint64_t size) { return bytes / size + (bytes % size != 0 ? 1 : 0); }

uint32_t NextCoarserBlockSize(uint32_t size) { return size >= kMaxBlockSize ? 0 : size * 2; }
