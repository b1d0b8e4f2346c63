// The transfer record and the two ends of every transfer. StartTransfer and
// RequestStop run on the front end's thread; everything else on the worker.
#include "engine/transfer_state.h"

#include <condition_variable>
#include <new>
#include <mutex>

#include "engine/blocks.h"
#include "engine/compare.h"
#include "engine/driver.h"
#include "engine/frontend.h"
#include "engine/progress.h"
#include "platform/file.h"

TransferState transferState;

namespace {
// Guards workerThread between Start, which stores it, and the worker's end,
// which may run before Start has returned when the worker ends at once.
std::mutex lifecycleMutex;
std::condition_variable workerEnded;
bool workerRunning = false;

// Frees the lists and closes the sockets; true when a socket was open.
bool FreeTransfer() {
    FreeBlockList(transferState.blocks);
    transferState.blocks = nullptr;
    FreeBlockList(transferState.previousBlocks);
    transferState.previousBlocks = nullptr;
    FreeChecksumList(transferState.localCrcs);
    FreeChecksumList(transferState.remoteCrcs);
    const bool opened = transferState.dataSocket.IsOpen() || transferState.listenSocket.IsOpen();
    if (transferState.netRole == kServer) SocketClose(transferState.listenSocket);
    SocketClose(transferState.dataSocket);
    return opened;
}

void ShowDisconnected() {
    AddStatusLine("切断しました");
    AddStatusLine("");
}

// Memory that a phase could not have, wherever it was asked for: what was
// unwound is released, the lists are freed first (the lines may need
// memory), and the transfer ends as after any failure, with a line that
// says why. (The size of a pass is checked before the pass, with a line
// that names a block size that fits; this catches the rest.)
void EndForLackOfMemory() {
    const bool opened = FreeTransfer();
    try {
        FlushProgress();
        AddStatusLine(kNoMemoryText);
        if (opened) ShowDisconnected();
    } catch (const std::bad_alloc&) {
        // Not even a line could be shown.
    }
}

// The front end's part of the end runs here, once the unwinding has closed
// every file that the transfer held at any depth: the reload of a Copy's
// figures must find its file free.
void RunWorker() {
    try {
        WorkerMain();
    } catch (const TransferEnded&) {
    } catch (const std::bad_alloc&) {
        EndForLackOfMemory();
    }
    FlushProgress();
    RestoreIdleWindow();
    std::lock_guard<std::mutex> lock(lifecycleMutex);
    ThreadCloseHandle(transferState.workerThread);
    workerRunning = false;
    workerEnded.notify_all();
}
}  // namespace

bool StartTransfer() {
    // The last worker is waited for outside the lock, which it takes on its
    // way out.
    ThreadReapClosed();
    std::lock_guard<std::mutex> lock(lifecycleMutex);
    transferState.stopRequested.store(0);
    workerRunning = true;
    if (!ThreadStart(transferState.workerThread, RunWorker)) {
        workerRunning = false;
        return false;
    }
    return true;
}

void RequestStop() { transferState.stopRequested.store(1); }

void WaitForTransferEnd() {
    {
        std::unique_lock<std::mutex> lock(lifecycleMutex);
        workerEnded.wait(lock, [] { return !workerRunning; });
    }
    // Its handle was closed before it said so: the thread itself is gone
    // when this returns.
    ThreadReapClosed();
}

bool TransferRunning() {
    std::lock_guard<std::mutex> lock(lifecycleMutex);
    return workerRunning;
}

int CanOpenFile(const char* path) {
    FileHandle file;
    return FileOpen(file, path, FileMode::ReadExisting) ? 1 : 0;
}

const char kNoMemoryText[] = "メモリが足りません";

void EndTransfer() {
    FlushProgress();
    FreeTransfer();
    ShowDisconnected();
    FinishWorker();
}

void FinishWorker() { throw TransferEnded{}; }
