// The transfer record and the two ends of every transfer (worker thread).
#include "engine/transfer_state.h"

#include "platform/file.h"

TransferState transferState;

const char kNoMemoryText[] = "メモリが足りません";

int CanOpenFile(const char* path) {
    FileHandle file;
    return FileOpen(file, path, FileMode::ReadExisting) ? 1 : 0;
}

void EndTransfer() { throw TransferEnded{true}; }

void FinishWorker() { throw TransferEnded{false}; }
