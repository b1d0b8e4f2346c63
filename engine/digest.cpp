// The whole-file digest (worker thread).
#include "engine/digest.h"

#include <cstring>
#include <memory>

#include "engine/blocks.h"
#include "engine/frontend.h"
#include "engine/progress.h"
#include "engine/transfer_state.h"
#include "wire/messages.h"
#include "platform/file.h"
#include "platform/memory.h"

namespace {
// A multiple of the chunk size, and as small as the checksum pass's reads,
// so that the hash goes over bytes still in the processor's cache.
constexpr uint32_t kReadPiece = 256u << 10;

bool Active() { return transferState.link.protocol->provesResult; }

uint64_t ComparedLength() {
    return transferState.localSize < transferState.remoteSize ? transferState.localSize : transferState.remoteSize;
}

uint64_t WholeLength() {
    return transferState.localSize < transferState.remoteSize ? transferState.remoteSize : transferState.localSize;
}

// Reads the whole file again when both files are proven from disk: a
// progress line for the read, as for every phase that reads a whole file.
struct WholeReadProgress {
    uint64_t done = 0;
};

void ShowWholeReadProgress(uint64_t done, bool add) {
    static const char kLabel[] = "ファイル全体を確認中・・・";
    char line[160];
    FormatByteProgress(line, sizeof line, kLabel, done, WholeLength());
    if (add) AddProgressLine(line);
    else if (done == WholeLength() || ProgressDue()) ShowProgress(line);
    else HoldProgress(line);
}

// Adds the chunk terms of [from, to) of the file, chunks counted from from;
// false when the file ends early.
bool SumStretch(FileHandle& file, uint64_t from, uint64_t to, uint8_t* buffer, U128* sum,
                WholeReadProgress* progress) {
    for (uint64_t at = from; at < to;) {
        uint32_t want = to - at < kReadPiece ? static_cast<uint32_t>(to - at) : kReadPiece;
        uint32_t got = 0;
        if (!FileReadAt(file, at, buffer, want, &got) || got != want) return false;
        *sum = Add128(*sum, ChunkTermSum(buffer, got, at));
        at += got;
        if (progress) {
            progress->done += got;
            ShowWholeReadProgress(progress->done, false);
        }
        if (transferState.stopRequested.load() == 1) EndTransfer();
    }
    return true;
}

// The sum of the file as it is now: the compared part in chunks from 0, the
// rest in chunks from the compared length, as the transfer summed them.
// False when the file cannot be read whole. With progress, the read shows
// its progress line.
bool SumWholeFile(U128* sum, WholeReadProgress* progress = nullptr) {
    if (progress) ShowWholeReadProgress(0, true);
    FileHandle file;
    if (!FileOpen(file, transferState.localPath, LocalReadMode())) return false;
    uint64_t size = 0;
    // A device longer than the Original is proven over the Original's length.
    if (!FileSize(file, &size) || size < WholeLength() || (size != WholeLength() && !FileIsDevice(file))) return false;
    DataBuffer buffer(kReadPiece);
    *sum = U128{};
    return SumStretch(file, 0, ComparedLength(), buffer.get(), sum, progress) &&
           SumStretch(file, ComparedLength(), WholeLength(), buffer.get(), sum, progress);
}

// Whether the file still carries the stamp that the transfer last gave it.
void CheckFile(FileHandle& file) {
    FileStamp now;
    if (!transferState.digestWatched || !FileGetStamp(file, &now) || !(now == transferState.digestStamp))
        transferState.fileChangedMeanwhile = true;
}
}  // namespace

void WatchStampForDigest(const FileStamp& stamp) {
    transferState.digestStamp = stamp;
    transferState.digestWatched = true;
}

void WatchFileForDigest(FileHandle& file) {
    if (!Active() || transferState.digestWatched) return;
    transferState.digestWatched = FileGetStamp(file, &transferState.digestStamp);
    if (!transferState.digestWatched) transferState.fileChangedMeanwhile = true;
}

void CheckFileForDigest(FileHandle& file) {
    if (Active()) CheckFile(file);
}

void StampFileForDigest(FileHandle& file) {
    if (!Active()) return;
    if (!FileGetStamp(file, &transferState.digestStamp)) transferState.fileChangedMeanwhile = true;
}

void ComputeDigest(uint8_t* digest) {
    WholeFileDigest(transferState.digestSum, ComparedLength(), WholeLength(), transferState.verifyWholeFiles, digest);
}

void TakeOutDamagedBlocks() {
    if (!Active() || transferState.fileType != kCopy) return;
    // A file that cannot be read here could not be repaired either: the
    // same lines as a repair that cannot open it.
    if (SumBlocksForDigest(DigestShare::kTakeOut)) return;
    ShowSystemError();
    AddStatusLine("修復に失敗しました");
    EndTransfer();
}

TailDigest::~TailDigest() = default;

void StartTailDigest(TailDigest& tail, uint64_t offset) {
    if (!Active()) return;
    tail.sum.reset(new BlockSum);
    transferState.link.protocol->BeginSum(*tail.sum, offset);
}

void AddTailToDigest(TailDigest& tail, const uint8_t* data, size_t n) {
    if (tail.sum) transferState.link.protocol->AddToSum(*tail.sum, data, n);
}

void FinishTailDigest(TailDigest& tail) {
    if (!tail.sum) return;
    uint8_t entry[8];
    transferState.digestSum = Add128(transferState.digestSum, transferState.link.protocol->EndSum(*tail.sum, entry));
    tail.sum.reset();
}

void ProveResult() {
    if (!Active()) return;
    {
        FileHandle file;
        if (FileOpen(file, transferState.localPath, LocalReadMode())) CheckFile(file);
        else transferState.fileChangedMeanwhile = true;
    }
    // Something else wrote the file during the transfer, or the files are
    // to be proven as they are on disk now: only the file as it is now can
    // say whether it matches. A file that cannot be read whole matches
    // nothing.
    if (transferState.verifyWholeFiles) {
        WholeReadProgress progress;
        if (!SumWholeFile(&transferState.digestSum, &progress))
            transferState.digestSum = Add128(transferState.digestSum, U128{1, 0});
        FlushProgress();
    } else if (transferState.fileChangedMeanwhile && !SumWholeFile(&transferState.digestSum)) {
        transferState.digestSum = Add128(transferState.digestSum, U128{1, 0});
    }
    uint8_t own[kDigestSize], peer[kDigestSize];
    ComputeDigest(own);
    if (transferState.fileType == kOriginal) {
        SendDigest(transferState.link, own);
        ReceiveDigest(transferState.link, peer);
    } else {
        ReceiveDigest(transferState.link, peer);
        SendDigest(transferState.link, own);
    }
    if (memcmp(own, peer, kDigestSize) == 0) return;
    AddStatusLine("修復に失敗したようです。");
    EndTransfer();
}
