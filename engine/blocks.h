// Block lists and the checksum pass: the stretches of the file that a
// comparison pass covers, their refinement, the checksum of each stretch, and
// the measure on which both peers decide alike whether to refine. Everything
// here is part of the contract between the peers: both build identical lists
// from identical inputs. Worker thread.
#pragma once

#include <cstddef>
#include <cstdint>

struct FileHandle;

// The checksum of a block lives in the pass's checksum list
// (transferState.localCrcs), at the block's position in the list, as it is
// sent: the node holds only where the block lies.
struct Block {
    uint64_t offset;  // position of the block's first byte in the file
    uint64_t length;  // bytes in the block
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
    void Append(uint64_t offset, uint64_t length);
};

// Frees every node of a list without recursion; null does nothing.
void FreeBlockList(Block* head);

// blocks := one block {0, workBytes}.
void InitBlockList();
// The block size of the next pass: blockSize := size, and blockCount, the
// total that the pass shows, := the blocks of workBytes at that size. The
// one place where both are set.
void SetPassBlockSize(uint32_t size);
// Before a pass: ends the transfer with a clear line when the memory that
// the pass will hold at once (its nodes, the list it leaves, both checksum
// lists) cannot be had. The block size of the first pass sets its count,
// and the Original chooses it for both sides: the line then names the
// smallest block size at which the pass would fit.
void EnsurePassMemory(bool firstPass);
// Shows "Devide Size = %ld"; previousBlocks := blocks; blocks := every block
// of it cut into pieces of blockSize bytes.
void SplitBlocks();
// What a pass does with the blocks' shares of the whole-file digest
// (digestSum): the first pass adds the whole compared part, the Copy's
// verification adds what its repair wrote, and the Copy takes out what the
// repair is about to overwrite.
enum class DigestShare { kNone, kAdd, kTakeOut };
// Fills localCrcs with the checksum of every block of blocks, from the file
// at localPath, in the transfer's protocol, with its progress line; ends the
// transfer when the file cannot be opened or Stop is seen.
void ChecksumBlocks(DigestShare share = DigestShare::kNone);
// Reads every block of blocks again only to add or take out its share of
// the digest: no status line, no checksum list. False (with the system's
// error saved) when the file cannot be opened; ends the transfer on Stop.
bool SumBlocksForDigest(DigestShare share);
// The CRC-16 of length bytes of file at offset; 0 for length 0, reading
// nothing. Bytes beyond the end of the file do not count.
uint16_t BlockCrc16(FileHandle& file, uint64_t offset, uint64_t length);
// Sets workBytes to the total length of blocks and returns the run measure,
// in the arithmetic of the transfer's protocol (modulo 2^32 for protocol 1).
uint64_t MeasureRuns();
// The driver's decision after a pass with mismatches: another, finer pass?
bool ShouldRefine(uint64_t measure, uint32_t blockSize);
