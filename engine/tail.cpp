// Tail and whole-file transfer (worker thread).
#include "engine/tail.h"

#include <cstdio>
#include <cstring>
#include <memory>

#include "engine/frontend.h"
#include "engine/holes.h"
#include "engine/progress.h"
#include "engine/received_file.h"
#include "engine/repair.h"
#include "engine/transfer_state.h"
#include "engine/digest.h"
#include "wire/messages.h"
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

// Up to this many bytes (sixteen pieces) are read, sent, received and
// written with one call: the pieces are a framing of the stream, not a
// limit on a call.
constexpr uint32_t kTailBatchSize = 16 * kTailChunkSize;

// A Stop already pressed lets only the next piece of a batch go out or be
// written, as one call per piece would.
uint32_t LimitToNextPieceOnStop(uint32_t batch) {
    const bool stopped = transferState.stopRequested.load() == 1;
    return stopped && batch > kTailChunkSize ? kTailChunkSize : batch;
}

// Stop is looked at after each piece, once it has moved and the progress
// line is replaced.
void EndIfStopped(FileHandle& file) {
    if (transferState.stopRequested.load() != 1) return;
    FileClose(file);
    EndTransfer();
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
    CommitReceivedFile();
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
    DataBuffer buffer(kTailBatchSize);
    const uint64_t end = transferState.localSize;
    for (uint64_t at = transferState.remoteSize; at < end;) {
        const uint32_t want = end - at < kTailBatchSize ? static_cast<uint32_t>(end - at) : kTailBatchSize;
        uint32_t got = 0;
        bool read = FileReadAt(file, at, buffer.get(), want, &got);
        if (!read) {
            // Piece by piece, so that the pieces before the failing one
            // still go out first.
            got = 0;
            for (uint32_t off = 0; off < want;) {
                const uint32_t n = PieceLength(at + off, end);
                uint32_t one = 0;
                read = FileReadAt(file, at + off, buffer.get() + off, n, &one);
                if (!read) break;
                got += one;
                off += n;
                if (one < n) break;
            }
        }
        uint32_t whole = got >= want ? want : got / kTailChunkSize * kTailChunkSize;
        whole = LimitToNextPieceOnStop(whole);
        if (whole > 0) {
            // Hashed before the send, while the read has just left the
            // bytes in the processor's cache: the send's copy into the
            // socket pushes part of them out, and hashed after it a whole
            // 1 GiB file took 70-125 ms of hashing instead of 30 ms.
            AddTailToDigest(digest, buffer.get(), whole);
            SendTailData(transferState.link, buffer.get(), whole);
        }
        for (uint32_t off = 0; off < whole;) {
            const uint32_t n = PieceLength(at + off, end);
            done += n;
            off += n;
            ShowTailProgress(label, done, false);
            EndIfStopped(file);
        }
        if (whole < want) {
            ReportSendReadFailure(!read);
            FileClose(file);
            EndTransfer();
        }
        at += whole;
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
    DataBuffer buffer(kTailBatchSize);
    const uint64_t end = transferState.remoteSize;
    uint32_t carried = 0;  // bytes of the next piece, already at the buffer's start
    for (uint64_t at = transferState.localSize; at < end;) {
        // Whatever has arrived, at least the rest of the next piece, up to
        // sixteen pieces; the whole pieces among it are written with one
        // call, and the progress line and Stop go piece by piece.
        const uint32_t room = end - at < kTailBatchSize ? static_cast<uint32_t>(end - at) : kTailBatchSize;
        size_t got = 0;
        const TransportResult received = TryReceiveTailData(transferState.link, buffer.get() + carried,
                                                        PieceLength(at, end) - carried, room - carried, &got);
        const uint32_t have = carried + static_cast<uint32_t>(got);
        uint32_t whole = 0;
        while (whole < have && whole + PieceLength(at + whole, end) <= have) whole += PieceLength(at + whole, end);
        whole = LimitToNextPieceOnStop(whole);
        if (whole > 0) {
            AddTailToDigest(digest, buffer.get(), whole);
            if (at == transferState.localSize) CheckFileForDigest(file);
            // When the one write fails, the pieces are written one at a
            // time, so that the progress line stops at the failing piece.
            // Past the file's end: runs of zeros stay holes.
            const bool written = WriteKeepingHoles(file, at, buffer.get(), whole, true);
            for (uint32_t off = 0; off < whole;) {
                const uint32_t n = PieceLength(at + off, end);
                if (!written && !WriteKeepingHoles(file, at + off, buffer.get() + off, n, true)) {
                    ShowSystemError();
                    FileClose(file);
                    EndTransfer();
                }
                done += n;
                off += n;
                ShowTailProgress(label, done, false);
                EndIfStopped(file);
            }
        }
        // A cut or a Stop inside a piece ends the transfer once the pieces
        // that arrived whole are written.
        if (received != TransportResult::Done) SettleReceive(received);
        carried = have - whole;
        if (carried > 0) memmove(buffer.get(), buffer.get() + whole, carried);
        at += whole;
    }
    FinishTailDigest(digest);
    // Reported only once it is on the disk.
    if (!FileSync(file)) {
        ShowSystemError();
        EndTransfer();
    }
    StampFileForDigest(file);
    AddStatusLine("受信完了");
}
