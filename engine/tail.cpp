// Tail and whole-file transfer (worker thread).
#include "engine/tail.h"

#include <cstdio>
#include <memory>

#include "engine/frontend.h"
#include "engine/progress.h"
#include "engine/repair.h"
#include "engine/transfer_state.h"
#include "engine/connection.h"
#include "engine/digest.h"
#include "engine/wire.h"
#include "platform/file.h"
#include "platform/memory.h"

namespace {
const char* TailLabel(bool sending) {
    if (transferState.newFileMode == 0)
        return sending ? "サイズ相違部分のデータを送信中・・・" : "サイズ相違部分のデータを受信中・・・";
    return sending ? "データを送信中・・・" : "データを受信中・・・";
}

void ShowTailProgress(const char* label, uint64_t done, bool add) {
    char line[160];
    FormatByteProgress(line, sizeof line, label, done, transferState.workBytes);
    if (add) AddProgressLine(line);
    else if (done == transferState.workBytes || ProgressDue()) ShowProgress(line);
    else HoldProgress(line);
}

uint32_t PieceLength(uint64_t at, uint64_t end) {
    uint64_t n = end - at;
    return static_cast<uint32_t>(n < kTailChunkSize ? n : kTailChunkSize);
}
}  // namespace

void TransferTail() {
    if (transferState.localSize != transferState.remoteSize) {
        if (transferState.fileType == kOriginal) SendTail(); else ReceiveTail();
    }
    ProveResult();
    transferState.transferComplete = true;
    EndTransfer();
}

void SendTail() {
    const char* label = TailLabel(true);
    uint64_t done = 0;
    FileHandle file;
    if (!FileOpen(file, transferState.localPath, FileMode::ReadExisting)) {
        ShowSystemError();
        EndTransfer();
    }
    transferState.workBytes = transferState.localSize - transferState.remoteSize;
    ShowTailProgress(label, 0, true);
    TailDigest digest;
    StartTailDigest(digest, transferState.remoteSize);
    WatchFileForDigest(file);
    DataBuffer buffer(kTailChunkSize);
    const uint64_t end = transferState.localSize;
    for (uint64_t at = transferState.remoteSize; at < end; at += kTailChunkSize) {
        uint32_t n = PieceLength(at, end);
        uint32_t got = 0;
        const bool read = FileReadAt(file, at, buffer.get(), n, &got);
        if (!read || got < n) {
            ReportSendReadFailure(!read);
            FileClose(file);
            EndTransfer();
        }
        SendAll(transferState.dataSocket, buffer.get(), n);
        AddTailToDigest(digest, buffer.get(), n);
        done += n;
        ShowTailProgress(label, done, false);
        if (transferState.stopRequested.load() == 1) {
            FileClose(file);
            EndTransfer();
        }
    }
    FinishTailDigest(digest);
    AddStatusLine("送信完了");
}

void ReceiveTail() {
    const char* label = TailLabel(false);
    uint64_t done = 0;
    FileHandle file;
    if (!FileOpen(file, transferState.localPath, FileMode::WriteExisting)) {
        ShowSystemError();
        EndTransfer();
    }
    transferState.workBytes = transferState.remoteSize - transferState.localSize;
    ShowTailProgress(label, 0, true);
    TailDigest digest;
    StartTailDigest(digest, transferState.localSize);
    WatchFileForDigest(file);
    DataBuffer buffer(kTailChunkSize);
    const uint64_t end = transferState.remoteSize;
    for (uint64_t at = transferState.localSize; at < end; at += kTailChunkSize) {
        uint32_t n = PieceLength(at, end);
        ReceiveAll(transferState.dataSocket, buffer.get(), n);
        AddTailToDigest(digest, buffer.get(), n);
        done += n;
        if (at == transferState.localSize) CheckFileForDigest(file);
        if (!FileWriteAt(file, at, buffer.get(), n)) {
            ShowSystemError();
            FileClose(file);
            EndTransfer();
        }
        ShowTailProgress(label, done, false);
        if (transferState.stopRequested.load() == 1) {
            FileClose(file);
            EndTransfer();
        }
    }
    FinishTailDigest(digest);
    StampFileForDigest(file);
    AddStatusLine("受信完了");
}
