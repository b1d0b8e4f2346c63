// Start, Stop and the worker thread's entry. StartTransfer and RequestStop
// run on the front end's thread; RunWorker is the worker.
#include "engine/lifecycle.h"

#include <condition_variable>
#include <mutex>
#include <new>

#include "engine/blocks.h"
#include "engine/connect.h"
#include "engine/driver.h"
#include "engine/frontend.h"
#include "engine/progress.h"
#include "engine/received_file.h"
#include "engine/transfer_state.h"
#include "wire/link.h"
#include "wire/protocol.h"

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
    transferState.link.records = nullptr;
    transferState.channel.reset();
    const bool opened = transferState.dataSocket.IsOpen() || transferState.listenSocket.IsOpen();
    StopBusyAnswers();
    if (transferState.netRole == kServer) SocketClose(transferState.listenSocket);
    SocketClose(transferState.dataSocket);
    return opened;
}

// The end of a transfer that had a connection: line (when given) says why,
// after the last progress value; then "切断しました" and a blank line.
void EndConnected(const char* line) {
    FlushProgress();
    if (line) AddStatusLine(line);
    FreeTransfer();
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
        if (opened) {
            AddStatusLine("切断しました");
            AddStatusLine("");
        }
    } catch (const std::bad_alloc&) {
        // Not even a line could be shown.
    }
}

// The front end's part of the end runs once the unwinding has closed every
// file that the transfer held at any depth: the reload of a Copy's figures
// must find its file free.
void RunWorker() {
    RunToEnd(WorkerMain);
    FlushProgress();
    SettleReceivedFile();
    RestoreIdleWindow();
    std::lock_guard<std::mutex> lock(lifecycleMutex);
    ThreadCloseHandle(transferState.workerThread);
    workerRunning = false;
    workerEnded.notify_all();
}
}  // namespace

// Every end of a transfer meets here, once the unwinding has closed every
// file that the transfer held at any depth.
bool RunToEnd(const std::function<void()>& body) {
    try {
        body();
        return false;
    } catch (const TransferEnded& end) {
        if (end.disconnected) EndConnected(nullptr);
        else FreeTransfer();
    } catch (const LinkEnded& end) {
        EndConnected(end.line);
    } catch (const std::bad_alloc&) {
        EndForLackOfMemory();
    }
    return true;
}

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
