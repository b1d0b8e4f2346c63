// The transfer driver (worker thread). Both peers run the same sequence; the
// decision to refine is taken on each side from identical lists and is never
// sent.
#include "engine/driver.h"

#include "engine/blocks.h"
#include "engine/compare.h"
#include "engine/fileinfo.h"
#include "engine/frontend.h"
#include "engine/repair.h"
#include "engine/tail.h"
#include "engine/transfer_state.h"
#include "log/complog.h"
#include "net/connection.h"
#include "net/protocol.h"

namespace {
// The local file as it is now, not as it was when it was chosen: its size
// drives the negotiation and the tail, and a file of 4 GiB or more would be
// mangled by the 32-bit sizes of the protocol.
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
}  // namespace

void WorkerMain() {
    transferState.blocks = nullptr;
    transferState.previousBlocks = nullptr;
    transferState.remoteCrcs = nullptr;
    transferState.newFileMode = 0;
    transferState.transferComplete = false;
    CheckLocalFile();
    transferState.blockSize = transferState.uiBlockSize;
    OpenConnection();
    Handshake();
    NegotiateSizes();
    if (transferState.newFileMode == 1) TransferTail();
    PrepareLog();
    InitBlockList();
    for (;;) {
        SplitBlocks();
        ChecksumBlocks();
        ExchangeCrcs();
        if (CompareCrcs() == 0) {
            AddStatusLine("CRCは全て一致しています。");
            AddStatusLine("");
            TransferTail();
        }
        AddStatusLine("");
        uint32_t measure = MeasureRuns();
        if (!ShouldRefine(measure, transferState.blockSize)) break;
        transferState.blockSize = NextBlockSize(transferState.blockSize);
        transferState.blockCount = static_cast<int32_t>(CeilDiv(transferState.workBytes, transferState.blockSize));
    }
    RepairBlocks();
    VerifyRepair();
    TransferTail();
}
