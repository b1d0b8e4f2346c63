// Repair transfer and verification (worker thread).
#include "engine/repair.h"

#include <cstdio>
#include <memory>

#include "engine/blocks.h"
#include "engine/compare.h"
#include "engine/frontend.h"
#include "engine/progress.h"
#include "engine/transfer_state.h"
#include "log/complog.h"
#include "engine/digest.h"
#include "engine/holes.h"
#include "platform/file.h"
#include "platform/memory.h"
#include "wire/block_size.h"
#include "wire/messages.h"

namespace {
// Damaged blocks are gathered up to this many bytes and sent with one call:
// the bytes on the wire are the same as with one send per block, but a run
// of small blocks does not stall on the peer's delayed acknowledgements.
// The receiving side gathers runs of adjacent blocks up to the same size
// into one write.
constexpr uint32_t kRepairBatchSize = 4u << 20;

// Shows the line now when due or at the last block, else keeps it for
// whoever ends the phase.
void UpdateByteProgress(const char* label, uint64_t done, uint64_t total, bool last) {
    char line[160];
    FormatByteProgress(line, sizeof line, label, done, total);
    if (last || ProgressDue()) ShowProgress(line); else HoldProgress(line);
}
}  // namespace

void ReportSendReadFailure(bool readFailed) {
    if (readFailed) {
        ShowSystemError();
        return;
    }
    FlushProgress();  // the progress line keeps the last piece that moved
    AddStatusLine("送信中にファイルが変更されました");
}

void RepairBlocks() {
    int result = transferState.fileType == kOriginal ? SendDamagedBlocks() : ReceiveDamagedBlocks();
    if (result == -1) {
        FlushProgress();  // the progress line keeps the last block that moved
        AddStatusLine("修復に失敗しました");
        EndTransfer();
    }
}

namespace {
// The end of the run of blocks that starts at b: b and the blocks that
// follow it in the file without a gap, as long as the run stays within
// room bytes (b itself always counts). *bytes receives the run's length.
const Block* RunOfBlocks(const Block* b, uint64_t room, uint64_t* bytes) {
    uint64_t n = b->length;
    const Block* end = b->next;
    for (; end && end->offset == b->offset + n && n + end->length <= room; end = end->next) n += end->length;
    *bytes = n;
    return end;
}

// Writes the blocks [first, end), which lie one after the other in data,
// and counts each as done. When the one write call fails, the blocks are
// written one at a time, so that the progress line stops at the block that
// cannot be written. False (with the system's error shown) on a failure.
bool WriteRun(FileHandle& file, const Block* first, const Block* end, uint64_t bytes, const uint8_t* data,
              const char* label, uint64_t& done) {
    if (first == end) return true;
    // Zeros go only where the copy holds data: a hole of the copy stays one.
    const bool whole = WriteKeepingHoles(file, first->offset, data, static_cast<uint32_t>(bytes), false);
    for (const Block* b = first; b != end; b = b->next) {
        if (!whole && !WriteKeepingHoles(file, b->offset, data, static_cast<uint32_t>(b->length), false)) {
            ShowSystemError();
            return false;
        }
        data += b->length;
        done += b->length;
        UpdateByteProgress(label, done, transferState.workBytes, b->next == nullptr);
    }
    return true;
}
}  // namespace

int SendDamagedBlocks() {
    static const char kLabel[] = "破損部分のデータを送信中・・・";
    uint64_t done = 0;
    FileHandle file;
    if (!FileOpen(file, transferState.localPath, FileMode::ReadExisting)) {
        ShowSystemError();
        return -1;
    }
    AddProgressLine(kLabel);
    uint32_t capacity = kRepairBatchSize;
    DataBuffer buffer(capacity);
    uint32_t filled = 0;
    const Block* unsent = transferState.blocks;  // first block in the buffer
    // Sends the gathered blocks, then counts each of them as done.
    auto flush = [&](const Block* upTo) {
        if (filled > 0) SendBlockData(transferState.link, buffer.get(), filled);
        filled = 0;
        for (; unsent != upTo; unsent = unsent->next) {
            done += unsent->length;
            UpdateByteProgress(kLabel, done, transferState.workBytes, unsent->next == nullptr);
        }
    };
    for (const Block* b = transferState.blocks; b;) {
        if (filled + static_cast<uint64_t>(b->length) > capacity) {
            flush(b);
            if (b->length > capacity) {
                capacity = static_cast<uint32_t>(b->length);
                buffer.Allocate(capacity);
            }
        }
        // Adjacent blocks are read with one call; a read that fails is made
        // again block by block, to find the block at which it fails.
        uint64_t bytes = 0;
        const Block* end = RunOfBlocks(b, capacity - filled, &bytes);
        uint32_t got = 0;
        bool read = FileReadAt(file, b->offset, buffer.get() + filled, static_cast<uint32_t>(bytes), &got);
        if (!read) {
            got = 0;
            for (const Block* q = b; q != end && end != b->next; q = q->next) {
                uint32_t one = 0;
                read = FileReadAt(file, q->offset, buffer.get() + filled + got, static_cast<uint32_t>(q->length), &one);
                if (!read) break;
                got += one;
                if (one < q->length) break;
            }
        }
        // The blocks that were read whole go out before a failure is told.
        uint64_t whole = 0;
        for (; b != end && whole + b->length <= got; b = b->next) whole += b->length;
        filled += static_cast<uint32_t>(whole);
        if (!read || b != end) {
            flush(b);
            ReportSendReadFailure(!read);
            return -1;
        }
    }
    flush(nullptr);
    return 0;
}

int ReceiveDamagedBlocks() {
    static const char kLabel[] = "破損部分のデータ受信＆修復中・・・";
    uint64_t done = 0;
    FileHandle file;
    if (!FileOpen(file, transferState.localPath, FileMode::WriteExisting)) {
        ShowSystemError();
        return -1;
    }
    AddProgressLine(kLabel);
    DataBuffer buffer(kRepairBatchSize);
    for (const Block* b = transferState.blocks; b;) {
        // Adjacent blocks are received and written with one call each.
        uint64_t bytes = 0;
        const Block* end = RunOfBlocks(b, kRepairBatchSize, &bytes);
        if (bytes > buffer.size) buffer.Allocate(static_cast<size_t>(bytes));
        size_t got = 0;
        const TransportResult received = TryReceiveBlockData(transferState.link, buffer.get(), bytes, &got);
        if (b == transferState.blocks) CheckFileForDigest(file);
        if (received != TransportResult::Done) {
            // The blocks that arrived whole are written before the transfer
            // ends; each block stays either old or new.
            const Block* arrived = b;
            uint64_t whole = 0;
            for (; arrived != end && whole + arrived->length <= got; arrived = arrived->next) whole += arrived->length;
            if (!WriteRun(file, b, arrived, whole, buffer.get(), kLabel, done)) return -1;
            SettleReceive(received);
        }
        if (!WriteRun(file, b, end, bytes, buffer.get(), kLabel, done)) return -1;
        b = end;
    }
    // The repair is reported complete only once it is on the disk.
    if (!FileSync(file)) {
        ShowSystemError();
        return -1;
    }
    StampFileForDigest(file);
    return 0;
}

void VerifyRepair() {
    WriteLogComplete(transferState.logPath);
    AddStatusLine("修復が成功したか確認中・・・");
    MeasureRuns();
    SetPassBlockSize(transferState.blockSize);
    // What the Copy's repair wrote joins its digest; the Original's file
    // has not changed.
    ChecksumBlocks(transferState.fileType == kCopy ? DigestShare::kAdd : DigestShare::kNone);
    ExchangeCrcs();
    if (CompareCrcs() == 0) {
        AddStatusLine("修復が完了しました");
        return;
    }
    AddStatusLine("修復に失敗したようです。");
    EndTransfer();
}
