// The transfer record and the two ends of every transfer (worker thread).
#include "engine/transfer_state.h"

#include "platform/file.h"

TransferState transferState;

const char kNoMemoryText[] = "メモリが足りません";

void ResetTransferProgress() {
    TransferState& s = transferState;
    s.blocks = s.previousBlocks = nullptr;
    s.remoteSize = s.workBytes = 0;
    s.blockCount = 0;
    s.newFileMode = 0;
    s.receiveFolder[0] = s.finalPath[0] = '\0';
    s.resuming = false;
    s.peerIsDevice = false;
    s.transferComplete = false;
    s.link.protocol = &kProtocol1;
    s.link.records = nullptr;
    s.link.bytesSent = s.link.bytesReceived = 0;
    s.channel.reset();
    s.digestSum = U128{};
    s.digestStamp = FileStamp{};
    s.digestWatched = false;
    s.fileChangedMeanwhile = false;
    s.verifyWholeFiles = false;
}

int CanOpenFile(const char* path) {
    FileHandle file;
    return FileOpen(file, path, FileMode::ReadExisting) ? 1 : 0;
}

void EndTransfer() { throw TransferEnded{true}; }

void FinishWorker() { throw TransferEnded{false}; }
