// The whole-file digest (worker thread).
#include "engine/digest.h"

#include <cstring>
#include <memory>

#include "engine/blocks.h"
#include "engine/frontend.h"
#include "engine/transfer_state.h"
#include "engine/wire.h"

namespace {
bool Active() { return transferState.protocol->provesResult; }
}  // namespace

void ComputeDigest(uint8_t* digest) {
    const uint64_t compared = transferState.localSize < transferState.remoteSize ? transferState.localSize
                                                                                 : transferState.remoteSize;
    const uint64_t whole = transferState.localSize < transferState.remoteSize ? transferState.remoteSize
                                                                              : transferState.localSize;
    uint8_t input[32];
    PutLittleEndian(input, transferState.digestSum.lo, 8);
    PutLittleEndian(input + 8, transferState.digestSum.hi, 8);
    PutLittleEndian(input + 16, compared, 8);
    PutLittleEndian(input + 24, whole, 8);
    U128 hash = Hash128(input, sizeof input);
    PutLittleEndian(digest, hash.lo, 8);
    PutLittleEndian(digest + 8, hash.hi, 8);
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
    transferState.protocol->BeginSum(*tail.sum, offset);
}

void AddTailToDigest(TailDigest& tail, const uint8_t* data, size_t n) {
    if (tail.sum) transferState.protocol->AddToSum(*tail.sum, data, n);
}

void FinishTailDigest(TailDigest& tail) {
    if (!tail.sum) return;
    uint8_t entry[8];
    transferState.digestSum = Add128(transferState.digestSum, transferState.protocol->EndSum(*tail.sum, entry));
    tail.sum.reset();
}

void ProveResult() {
    if (!Active()) return;
    uint8_t own[kDigestSize], peer[kDigestSize];
    ComputeDigest(own);
    if (transferState.fileType == kOriginal) {
        SendDigest(own);
        ReceiveDigest(peer);
    } else {
        ReceiveDigest(peer);
        SendDigest(own);
    }
    if (memcmp(own, peer, kDigestSize) == 0) return;
    AddStatusLine("修復に失敗したようです。");
    EndTransfer();
}
