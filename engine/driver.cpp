// The transfer driver (worker thread). Both peers run the same sequence; the
// decision to refine is taken on each side from identical lists and is never
// sent.
#include "engine/driver.h"

#include "engine/blocks.h"
#include "engine/compare.h"
#include "engine/connect.h"
#include "engine/digest.h"
#include "engine/fileinfo.h"
#include "engine/frontend.h"
#include "engine/handshake.h"
#include "engine/repair.h"
#include "engine/tail.h"
#include "engine/transfer_state.h"
#include "platform/file.h"
#include "wire/block_size.h"

namespace {
// Whether the chosen file can be used at all, found out before the wait for
// the peer.
void CheckLocalFile() {
    if (transferState.fileType == kNothing) return;
    switch (ReadLocalFileInfo()) {
    case FileInfoResult::Ok: return;
    case FileInfoResult::CannotOpen: FinishWorker();
    case FileInfoResult::TooLarge:
        AddStatusLine(kTooLargeText);
        FinishWorker();
    }
}

// The local file as it is when the peer has come, not as it was when it was
// chosen or when the wait began: its size drives the negotiation and the
// tail, and its stamp lets the whole-file digest notice any later write by
// another program. Whether the protocol carries the size is known only
// after the handshake.
void TakeLocalFile() {
    if (transferState.fileType == kNothing) return;
    FileStamp stamp;
    switch (ReadLocalFileInfo(&stamp)) {
    case FileInfoResult::Ok:
        WatchStampForDigest(stamp);
        return;
    case FileInfoResult::CannotOpen:
        ShowSystemError();
        EndTransfer();
    case FileInfoResult::TooLarge:
        AddStatusLine(kTooLargeText);
        EndTransfer();
    }
}
}  // namespace

void WorkerMain() {
    ResetTransferProgress();
    CheckLocalFile();
    transferState.blockSize = transferState.uiBlockSize;
    OpenConnection();
    TakeLocalFile();
    Handshake();
    CheckSizeForProtocol();
    NegotiateSizes();
    if (transferState.newFileMode == 1) TransferTail();
    PrepareComparisonLog();
    InitBlockList();
    // The first pass reads the whole compared part: it also sums it for the
    // whole-file digest.
    DigestShare share = DigestShare::kAdd;
    for (;;) {
        EnsurePassMemory(share == DigestShare::kAdd);
        SplitBlocks();
        ChecksumBlocks(share);
        share = DigestShare::kNone;
        ExchangeCrcs();
        if (CompareCrcs() == 0) {
            AddStatusLine("CRCは全て一致しています。");
            AddStatusLine("");
            TransferTail();
        }
        AddStatusLine("");
        uint64_t measure = MeasureRuns();
        if (!ShouldRefine(measure, transferState.blockSize)) break;
        SetPassBlockSize(NextFinerBlockSize(transferState.blockSize));
    }
    TakeOutDamagedBlocks();
    RepairBlocks();
    VerifyRepair();
    TransferTail();
}
