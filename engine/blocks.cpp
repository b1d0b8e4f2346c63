// Block lists and the checksum pass (worker thread).
#include "engine/blocks.h"

#include <cstdio>
#include <memory>

#include "engine/crc16.h"
#include "engine/frontend.h"
#include "engine/node_pool.h"
#include "engine/progress.h"
#include "engine/transfer_state.h"
#include "platform/file.h"

namespace {
// The checksum pass reads the file in large pieces and walks the blocks
// through them: one read call per megabyte instead of one per block or byte.
constexpr uint32_t kReadChunk = 1u << 20;
// The clock is asked whether the progress line is due once per this many
// bytes of blocks, not once per block.
constexpr uint32_t kProgressStride = 256u << 10;

NodePool<Block> blockPool;

// Appends a node while the caller holds the pool's lock.
void AppendLocked(BlockListBuilder& list, uint32_t offset, uint32_t length) {
    Block* node = ::new (blockPool.AllocateLocked()) Block{offset, length, 0, nullptr};
    if (list.tail) list.tail->next = node; else list.head = node;
    list.tail = node;
}

struct ChunkReader {
    FileHandle* file;
    std::unique_ptr<uint8_t[]> buffer{new uint8_t[kReadChunk]};
    uint64_t start = 0;   // file offset of buffer[0]
    uint32_t filled = 0;  // valid bytes in buffer
};

// Continues crc over [offset, offset + length) of the file, reading through
// the reader's buffer. A read takes at most a chunk and stops at readEnd, the
// end of the adjacent blocks, so that scattered small blocks cost no more
// than their own bytes. Returns false when the file ends early.
bool CrcThroughReader(ChunkReader& reader, uint64_t offset, uint32_t length, uint64_t readEnd, uint16_t* crc) {
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
        uint32_t n = reader.filled - at;
        if (n > length) n = length;
        *crc = Crc16Update(*crc, reader.buffer.get() + at, n);
        offset += n;
        length -= n;
    }
    return true;
}

// The end of the run of adjacent blocks that starts at b, looked at no
// further than one chunk ahead.
uint64_t RunEnd(const Block* b) {
    const uint64_t first = b->offset;
    uint64_t end = first + b->length;
    for (b = b->next; b && b->offset == end && end - first < kReadChunk; b = b->next) end += b->length;
    return end;
}

void ShowChecksumProgress(int32_t k) {
    char line[96];
    snprintf(line, sizeof line, "CRC計算中・・・%d / %d", k, transferState.blockCount);
    ShowProgress(line);
}
}  // namespace

void* Block::operator new(size_t) { return blockPool.Allocate(); }

void Block::operator delete(void* node) noexcept { blockPool.Free(node); }

void BlockListBuilder::Append(uint32_t offset, uint32_t length) {
    PoolLock<NodePool<Block>> lock(blockPool);
    AppendLocked(*this, offset, length);
}

uint32_t CeilDiv(uint32_t a, uint32_t b) { return a / b + (a % b != 0 ? 1 : 0); }

void FreeBlockList(Block* head) {
    if (!head) return;
    PoolLock<NodePool<Block>> lock(blockPool);
    while (head) {
        Block* next = head->next;
        blockPool.FreeLocked(head);
        head = next;
    }
}

void InitBlockList() {
    BlockListBuilder list;
    list.Append(0, transferState.workBytes);
    transferState.blocks = list.head;
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
            uint32_t left = b->length;
            while (left > 0) {
                uint32_t n = left < size ? left : size;
                AppendLocked(list, static_cast<uint32_t>(at), n);
                at += size;
                left -= n;
            }
        }
    }
    transferState.blocks = list.head;
}

uint16_t BlockCrc16(FileHandle& file, uint32_t offset, uint32_t length) {
    if (length == 0) return 0;
    ChunkReader reader{&file};
    uint16_t crc = 0xFFFF;
    CrcThroughReader(reader, offset, length, offset + length, &crc);
    return crc;
}

void ChecksumBlocks() {
    ChunkReader reader;
    FileHandle file;
    if (!FileOpen(file, transferState.localPath, FileMode::ReadExisting)) {
        ShowSystemError();
        EndTransfer();
    }
    reader.file = &file;
    char line[96];
    snprintf(line, sizeof line, "計算中・・・%d / %d", 0, transferState.blockCount);
    AddProgressLine(line);
    int32_t k = 0;
    uint32_t sinceCheck = 0;
    uint64_t readEnd = 0;
    for (Block* b = transferState.blocks; b; b = b->next) {
        ++k;
        sinceCheck += b->length;
        if (b->next == nullptr) {
            ShowChecksumProgress(k);
        } else if (sinceCheck >= kProgressStride) {
            sinceCheck = 0;
            if (ProgressDue()) ShowChecksumProgress(k);
        }
        if (transferState.stopRequested.load(std::memory_order_relaxed)) {
            ShowChecksumProgress(k);
            FileClose(file);
            EndTransfer();
        }
        uint16_t crc = 0;
        if (b->length > 0) {
            crc = 0xFFFF;
            if (b->offset >= readEnd || b->offset + static_cast<uint64_t>(b->length) > readEnd) readEnd = RunEnd(b);
            CrcThroughReader(reader, b->offset, b->length, readEnd, &crc);
        }
        b->crc = crc;
    }
}

uint32_t MeasureRuns() {
    uint32_t work = 0, best = 0, run = 0;
    const Block* prev = nullptr;
    for (const Block* b = transferState.blocks; b; prev = b, b = b->next) {
        work += b->length;
        run += b->length;
        if (prev == nullptr) {
            run = b->length;
        } else if (b->offset == prev->offset + prev->length) {
            run += prev->length;
        } else {
            if (run > best) best = run;
            run = b->length;
        }
    }
    transferState.workBytes = work;
    return best;
}

bool ShouldRefine(uint32_t measure, uint32_t blockSize) {
    return !(measure >= 3 * blockSize || blockSize <= kMinBlockSize);
}

uint32_t NextBlockSize(uint32_t blockSize) {
    uint32_t next = blockSize >> 6;
    return next < kMinBlockSize ? kMinBlockSize : next;
}
