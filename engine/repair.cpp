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
#include "engine/connection.h"
#include "engine/digest.h"
#include "platform/file.h"
#include "platform/memory.h"

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

void FormatByteProgress(char* out, size_t size, const char* label, uint64_t done, uint64_t total) {
    double percent = total == 0 ? 100.0 : static_cast<double>(done) / static_cast<double>(total) * 100.0;
    snprintf(out, size, "%s%llu / %llu (%.0f%%)", label, static_cast<unsigned long long>(done),
             static_cast<unsigned long long>(total), percent);
}

void RepairBlocks() {
    int result = transferState.fileType == kOriginal ? SendDamagedBlocks() : ReceiveDamagedBlocks();
    if (result == -1) {
        FlushProgress();  // the progress line keeps the last block that moved
        AddStatusLine("修復に失敗しました");
        EndTransfer();
    }
}

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
        if (filled > 0) SendAll(transferState.dataSocket, buffer.get(), filled);
        filled = 0;
        for (; unsent != upTo; unsent = unsent->next) {
            done += unsent->length;
            UpdateByteProgress(kLabel, done, transferState.workBytes, unsent->next == nullptr);
        }
    };
    for (const Block* b = transferState.blocks; b; b = b->next) {
        if (filled + static_cast<uint64_t>(b->length) > capacity) {
            flush(b);
            if (b->length > capacity) {
                capacity = static_cast<uint32_t>(b->length);
                buffer.Allocate(capacity);
            }
        }
        uint8_t* at = buffer.get() + filled;
        uint32_t got = 0;
        const bool read = FileReadAt(file, b->offset, at, static_cast<uint32_t>(b->length), &got);
        if (!read || got < b->length) {
            // What was read before the failing block still goes out first.
            flush(b);
            ReportSendReadFailure(!read);
            return -1;
        }
        filled += static_cast<uint32_t>(b->length);
    }
    flush(nullptr);
    return 0;
}

namespace {
// Adjacent damaged blocks, received and not yet written: they go to the
// file with one write call. Each block counts as done once written.
struct PendingRun {
    DataBuffer buffer;
    const Block* first = nullptr;  // null when nothing is pending
    uint64_t bytes = 0;
};

// Writes the pending run and counts its blocks as done. When the one write
// fails, the blocks are written one at a time, so that the progress line
// stops at the block that cannot be written, as it would have without
// gathering. False (with the system's error shown) on a failed write.
bool WritePendingRun(FileHandle& file, PendingRun& run, const char* label, uint64_t& done) {
    if (!run.first) return true;
    const Block* end = run.first;
    for (uint64_t n = 0; n < run.bytes; end = end->next) n += end->length;
    const bool whole = FileWriteAt(file, run.first->offset, run.buffer.get(), static_cast<uint32_t>(run.bytes));
    const uint8_t* data = run.buffer.get();
    for (const Block* b = run.first; b != end; b = b->next) {
        if (!whole && !FileWriteAt(file, b->offset, data, static_cast<uint32_t>(b->length))) {
            ShowSystemError();
            return false;
        }
        data += b->length;
        done += b->length;
        UpdateByteProgress(label, done, transferState.workBytes, b->next == nullptr);
    }
    run.first = nullptr;
    run.bytes = 0;
    return true;
}
}  // namespace

int ReceiveDamagedBlocks() {
    static const char kLabel[] = "破損部分のデータ受信＆修復中・・・";
    uint64_t done = 0;
    FileHandle file;
    if (!FileOpen(file, transferState.localPath, FileMode::WriteExisting)) {
        ShowSystemError();
        return -1;
    }
    AddProgressLine(kLabel);
    PendingRun run;
    run.buffer.Allocate(kRepairBatchSize);
    for (const Block* b = transferState.blocks; b; b = b->next) {
        // A block joins the pending run when it follows it in the file and
        // fits; otherwise the run is written first.
        const bool joins = run.first && b->offset == run.first->offset + run.bytes &&
                           run.bytes + b->length <= run.buffer.size;
        if (!joins && !WritePendingRun(file, run, kLabel, done)) return -1;
        if (b->length > run.buffer.size) run.buffer.Allocate(static_cast<size_t>(b->length));
        const TransportResult received =
            TryReceiveAll(transferState.dataSocket, run.buffer.get() + run.bytes, static_cast<size_t>(b->length));
        // Blocks that arrived whole are written before the transfer ends.
        if (received != TransportResult::Done) {
            if (!WritePendingRun(file, run, kLabel, done)) return -1;
            SettleReceive(received);
        }
        if (b == transferState.blocks) CheckFileForDigest(file);
        if (!run.first) run.first = b;
        run.bytes += b->length;
    }
    if (!WritePendingRun(file, run, kLabel, done)) return -1;
    StampFileForDigest(file);
    return 0;
}

void VerifyRepair() {
    WriteLogComplete();
    AddStatusLine("修復が成功したか確認中・・・");
    MeasureRuns();
    transferState.blockCount = static_cast<int64_t>(CeilDiv(transferState.workBytes, transferState.blockSize));
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
