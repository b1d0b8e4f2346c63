// Block lists and the checksum pass (worker thread).
#include "engine/blocks.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "engine/frontend.h"
#include "engine/node_pool.h"
#include "engine/progress.h"
#include "engine/transfer_state.h"
#include "platform/file.h"
#include "platform/memory.h"
#include "wire/block_size.h"
#include "wire/messages.h"
#include "wire/protocol.h"

namespace {
// The checksum pass reads the file in large pieces and walks the blocks
// through them: one read call per 256 KiB instead of one per block or byte.
// A piece that small is still in the processor's cache when the checksums
// go over it.
constexpr uint32_t kReadChunk = 256u << 10;
// The clock is asked whether the progress line is due once per this many
// bytes of blocks, not once per block.
constexpr uint32_t kProgressStride = 256u << 10;

NodePool<Block> blockPool;

// Appends a node while the caller holds the pool's lock.
void AppendLocked(BlockListBuilder& list, uint64_t offset, uint64_t length) {
    Block* node = ::new (blockPool.AllocateLocked()) Block{offset, length, nullptr};
    if (list.tail) list.tail->next = node; else list.head = node;
    list.tail = node;
}

struct ChunkReader {
    FileHandle* file;
    DataBuffer buffer{kReadChunk};
    uint64_t start = 0;   // file offset of buffer[0]
    uint32_t filled = 0;  // valid bytes in buffer
};

// Feeds [offset, offset + length) of the file into sum, reading through the
// reader's buffer. A read takes at most a chunk and stops at readEnd, the
// end of the adjacent blocks, so that scattered small blocks cost no more
// than their own bytes. Returns false when the file ends early.
bool SumThroughReader(ChunkReader& reader, const Protocol& protocol, uint64_t offset, uint64_t length,
                      uint64_t readEnd, BlockSum& sum) {
    while (length > 0) {
        if (offset < reader.start || offset >= reader.start + reader.filled) {
            reader.start = offset;
            uint64_t want = readEnd > offset + length ? readEnd - offset : length;
            if (want > kReadChunk) want = kReadChunk;
            if (!FileReadAt(*reader.file, offset, reader.buffer.get(), static_cast<uint32_t>(want), &reader.filled) ||
                reader.filled == 0) {
                reader.filled = 0;
                return false;
            }
        }
        uint32_t at = static_cast<uint32_t>(offset - reader.start);
        uint64_t n = reader.filled - at;
        if (n > length) n = length;
        protocol.AddToSum(sum, reader.buffer.get() + at, static_cast<size_t>(n));
        offset += n;
        length -= n;
    }
    return true;
}

// Makes the reader hold [offset, offset + length) whole and returns where it
// lies, reading up to readEnd as SumThroughReader does; null when the
// stretch is longer than a piece or the file ends before its end (the
// caller then goes through SumThroughReader).
const uint8_t* ReadWhole(ChunkReader& reader, uint64_t offset, uint64_t length, uint64_t readEnd) {
    if (length > kReadChunk) return nullptr;
    if (offset < reader.start || offset + length > reader.start + reader.filled) {
        reader.start = offset;
        uint64_t want = readEnd > offset + length ? readEnd - offset : length;
        if (want > kReadChunk) want = kReadChunk;
        if (!FileReadAt(*reader.file, offset, reader.buffer.get(), static_cast<uint32_t>(want), &reader.filled)) {
            reader.filled = 0;
            return nullptr;
        }
        if (reader.filled < length) return nullptr;
    }
    return reader.buffer.get() + (offset - reader.start);
}

// The end of the run of adjacent blocks that starts at b, looked at no
// further than one chunk ahead.
uint64_t RunEnd(const Block* b) {
    const uint64_t first = b->offset;
    uint64_t end = first + b->length;
    for (b = b->next; b && b->offset == end && end - first < kReadChunk; b = b->next) end += b->length;
    return end;
}

void ShowChecksumProgress(int64_t k) {
    char line[96];
    snprintf(line, sizeof line, "CRC計算中・・・%lld / %lld", static_cast<long long>(k),
             static_cast<long long>(transferState.blockCount));
    ShowProgress(line);
}

uint64_t CountBlocks(const Block* b) {
    uint64_t n = 0;
    for (; b; b = b->next) ++n;
    return n;
}

void OpenForSums(FileHandle& file) {
    if (!FileOpen(file, transferState.localPath, FileMode::ReadExisting)) {
        ShowSystemError();
        EndTransfer();
    }
}

// Walks blocks through the file: the checksum of each block goes into
// entries (when given), its share into digestSum as share says. progress
// is called before each block with its number, counted from 1; the stop
// flag is looked at once per block, after it.
template <typename Progress>
void SumBlocks(FileHandle& file, uint8_t* entries, DigestShare share, Progress progress) {
    const Protocol& protocol = *transferState.link.protocol;
    ChunkReader reader;
    reader.file = &file;
    std::unique_ptr<BlockSum> sum(new BlockSum);
    uint8_t scratch[8];
    int64_t k = 0;
    uint64_t readEnd = 0;
    for (Block* b = transferState.blocks; b; b = b->next) {
        ++k;
        progress(k, b);
        if (transferState.stopRequested.load(std::memory_order_relaxed)) {
            FileClose(file);
            EndTransfer();
        }
        uint8_t* entry = entries ? entries + (k - 1) * protocol.crcBytes : scratch;
        U128 terms{};
        if (b->length == 0) {
            memset(entry, 0, protocol.crcBytes);
        } else {
            if (b->offset >= readEnd || b->offset + b->length > readEnd) readEnd = RunEnd(b);
            // A block that lies whole in one piece of the file takes one
            // call; a longer one, or one cut short by the file's end, is
            // summed as it streams through the reader.
            if (const uint8_t* data = ReadWhole(reader, b->offset, b->length, readEnd)) {
                terms = protocol.SumBlock(data, static_cast<size_t>(b->length), b->offset, entry);
            } else {
                protocol.BeginSum(*sum, b->offset);
                SumThroughReader(reader, protocol, b->offset, b->length, readEnd, *sum);
                terms = protocol.EndSum(*sum, entry);
            }
        }
        if (share == DigestShare::kAdd) transferState.digestSum = Add128(transferState.digestSum, terms);
        else if (share == DigestShare::kTakeOut) transferState.digestSum = Sub128(transferState.digestSum, terms);
    }
}
}  // namespace

void* Block::operator new(size_t) { return blockPool.Allocate(); }

void Block::operator delete(void* node) noexcept { blockPool.Free(node); }

void BlockListBuilder::Append(uint64_t offset, uint64_t length) {
    PoolLock<NodePool<Block>> lock(blockPool);
    AppendLocked(*this, offset, length);
}

void FreeBlockList(Block* head) {
    if (!head) return;
    PoolLock<NodePool<Block>> lock(blockPool);
    while (head) {
        Block* next = head->next;
        blockPool.FreeLocked(head);
        head = next;
    }
}

void SetPassBlockSize(uint32_t size) {
    transferState.blockSize = size;
    transferState.blockCount = static_cast<int64_t>(BlockCount(transferState.workBytes, size));
}

void InitBlockList() {
    BlockListBuilder list;
    list.Append(0, transferState.workBytes);
    transferState.blocks = list.head;
}

namespace {
// The blocks that SplitBlocks makes at size.
uint64_t CountSplitBlocks(uint32_t size) {
    uint64_t n = 0;
    for (const Block* b = transferState.blocks; b; b = b->next) n += BlockCount(b->length, size);
    return n;
}

// What a pass of count blocks holds at once at its peak, the comparison:
// the pass's nodes, the mismatches it keeps (up to one node per block), and
// both checksum lists; a quarter more for the slabs and the allocator.
uint64_t PassMemory(uint64_t count, size_t width) {
    const uint64_t bytes = count * (2 * sizeof(Block) + 2 * width);
    return bytes + bytes / 4;
}

// Whether bytes can be had now: asked for and given back at once. Only
// the address space is taken, no page is touched.
bool HaveMemory(uint64_t bytes) {
    if (bytes > PTRDIFF_MAX / 2) return false;
    void* probe = ::operator new(static_cast<size_t>(bytes), std::nothrow);
    if (probe == nullptr) return false;
    ::operator delete(probe);
    return true;
}
}  // namespace

void EnsurePassMemory(bool firstPass) {
    const size_t width = transferState.link.protocol->crcBytes;
    if (HaveMemory(PassMemory(CountSplitBlocks(transferState.blockSize), width))) return;
    if (firstPass) {
        for (uint32_t size = NextCoarserBlockSize(transferState.blockSize); size != 0; size = NextCoarserBlockSize(size)) {
            if (!HaveMemory(PassMemory(BlockCount(transferState.workBytes, size), width))) continue;
            char line[128];
            snprintf(line, sizeof line, "%s。ブロックサイズを %lu 以上にしてください", kNoMemoryText,
                     static_cast<unsigned long>(size));
            AddStatusLine(line);
            EndTransfer();
        }
    }
    AddStatusLine(kNoMemoryText);
    EndTransfer();
}

void SplitBlocks() {
    char line[64];
    snprintf(line, sizeof line, "Devide Size = %ld", static_cast<long>(transferState.blockSize));
    AddStatusLine(line);
    FreeBlockList(transferState.previousBlocks);
    transferState.previousBlocks = transferState.blocks;
    transferState.blocks = nullptr;
    const uint32_t size = transferState.blockSize;
    BlockListBuilder list;
    {
        PoolLock<NodePool<Block>> lock(blockPool);
        for (const Block* b = transferState.previousBlocks; b; b = b->next) {
            uint64_t at = b->offset;
            uint64_t left = b->length;
            while (left > 0) {
                uint64_t n = left < size ? left : size;
                AppendLocked(list, at, n);
                at += size;
                left -= n;
            }
        }
    }
    transferState.blocks = list.head;
}

uint16_t BlockCrc16(FileHandle& file, uint64_t offset, uint64_t length) {
    if (length == 0) return 0;
    ChunkReader reader{&file};
    BlockSum sum;
    kProtocol1.BeginSum(sum, offset);
    SumThroughReader(reader, kProtocol1, offset, length, offset + length, sum);
    uint8_t entry[2];
    kProtocol1.EndSum(sum, entry);
    return static_cast<uint16_t>(GetLittleEndian(entry, 2));
}

void ChecksumBlocks(DigestShare share) {
    FileHandle file;
    OpenForSums(file);
    char line[96];
    snprintf(line, sizeof line, "計算中・・・%d / %lld", 0, static_cast<long long>(transferState.blockCount));
    AddProgressLine(line);
    const size_t count = CountBlocks(transferState.blocks);
    ResizeChecksumList(transferState.localCrcs, count, transferState.link.protocol->crcBytes);
    // The Copy receives the Original's list before it sends its own: it
    // takes in what has arrived as it goes.
    const bool takeIn = transferState.fileType != kOriginal;
    if (takeIn) ResizeChecksumList(transferState.remoteCrcs, count, transferState.link.protocol->crcBytes);
    uint64_t sinceCheck = 0;
    SumBlocks(file, transferState.localCrcs.bytes.get(), share, [&sinceCheck, takeIn](int64_t k, const Block* b) {
        sinceCheck += b->length;
        if (b->next == nullptr) {
            ShowChecksumProgress(k);
        } else if (sinceCheck >= kProgressStride) {
            sinceCheck = 0;
            if (ProgressDue()) ShowChecksumProgress(k);
            if (takeIn) TakeInArrivedList(transferState.link, transferState.remoteCrcs);
        }
        // The line shows the block at which a stop is seen.
        if (transferState.stopRequested.load(std::memory_order_relaxed)) ShowChecksumProgress(k);
    });
}

bool SumBlocksForDigest(DigestShare share) {
    FileHandle file;
    if (!FileOpen(file, transferState.localPath, FileMode::ReadExisting)) return false;
    SumBlocks(file, nullptr, share, [](int64_t, const Block*) {});
    return true;
}

uint64_t MeasureRuns() {
    // Protocol 1 computes in unsigned 32-bit arithmetic, as its peers do: the
    // sum of a long chain may wrap, and the decision must still agree.
    const uint64_t mask = transferState.link.protocol->measureMask;
    uint64_t work = 0, best = 0, run = 0;
    const Block* prev = nullptr;
    for (const Block* b = transferState.blocks; b; prev = b, b = b->next) {
        work += b->length;
        run = (run + b->length) & mask;
        if (prev == nullptr) {
            run = b->length & mask;
        } else if (b->offset == prev->offset + prev->length) {
            run = (run + prev->length) & mask;
        } else {
            if (run > best) best = run;
            run = b->length & mask;
        }
    }
    transferState.workBytes = work;
    return best;
}

bool ShouldRefine(uint64_t measure, uint32_t blockSize) {
    return !(measure >= 3ull * blockSize || blockSize <= kMinBlockSize);
}
