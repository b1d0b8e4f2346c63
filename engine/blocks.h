// Block lists and the checksum pass: the stretches of the file that a
// comparison pass covers, their refinement, the CRC-16 of each stretch, and
// the measure on which both peers decide alike whether to refine. Everything
// here is part of the contract between the peers: both build identical lists
// from identical inputs. Worker thread.
#pragma once

#include <cstddef>
#include <cstdint>

struct FileHandle;

struct Block {
    uint32_t offset;  // position of the block's first byte in the file
    uint32_t length;  // bytes in the block
    uint16_t crc;     // CRC-16 of the block's bytes; set by ChecksumBlocks only
    Block* next;      // following node; null at the tail

    // Nodes come from a pool (engine/node_pool.h): new and delete stay the
    // way to make and free a single node.
    static void* operator new(size_t size);
    static void operator delete(void* node) noexcept;
};

// Appends nodes at the tail of a list in constant time.
struct BlockListBuilder {
    Block* head = nullptr;
    Block* tail = nullptr;
    void Append(uint32_t offset, uint32_t length);
};

// Unsigned 32-bit division rounded up; b is never 0.
uint32_t CeilDiv(uint32_t a, uint32_t b);
// Frees every node of a list without recursion; null does nothing.
void FreeBlockList(Block* head);

// blocks := one block {0, workBytes}.
void InitBlockList();
// Shows "Devide Size = %ld"; previousBlocks := blocks; blocks := every block
// of it cut into pieces of blockSize bytes.
void SplitBlocks();
// Sets the crc of every block from the file at localPath, with its progress
// line; ends the transfer when the file cannot be opened or Stop is seen.
void ChecksumBlocks();
// The CRC-16 of length bytes of file at offset; 0 for length 0, reading
// nothing. Bytes beyond the end of the file do not count.
uint16_t BlockCrc16(FileHandle& file, uint32_t offset, uint32_t length);
// Sets workBytes to the total length of blocks and returns the run measure.
uint32_t MeasureRuns();
// The driver's decision after a pass with mismatches: another, finer pass?
bool ShouldRefine(uint32_t measure, uint32_t blockSize);
// The block size of the next, finer pass.
uint32_t NextBlockSize(uint32_t blockSize);
