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

namespace {
// Damaged blocks are gathered up to this many bytes and sent with one call:
// the bytes on the wire are the same as with one send per block, but a run
// of small blocks does not stall on the peer's delayed acknowledgements.
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
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[capacity]);
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
                buffer.reset(new uint8_t[capacity]);
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

int ReceiveDamagedBlocks() {
    static const char kLabel[] = "破損部分のデータ受信＆修復中・・・";
    uint64_t done = 0;
    FileHandle file;
    if (!FileOpen(file, transferState.localPath, FileMode::WriteExisting)) {
        ShowSystemError();
        return -1;
    }
    AddProgressLine(kLabel);
    uint32_t capacity = 0;
    std::unique_ptr<uint8_t[]> buffer;
    for (const Block* b = transferState.blocks; b; b = b->next) {
        if (b->length > capacity) {
            capacity = static_cast<uint32_t>(b->length);
            buffer.reset(new uint8_t[capacity]);
        }
        ReceiveAll(transferState.dataSocket, buffer.get(), b->length);
        if (b == transferState.blocks) CheckFileForDigest(file);
        if (!FileWriteAt(file, b->offset, buffer.get(), static_cast<uint32_t>(b->length))) {
            ShowSystemError();
            return -1;
        }
        done += b->length;
        UpdateByteProgress(kLabel, done, transferState.workBytes, b->next == nullptr);
    }
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
