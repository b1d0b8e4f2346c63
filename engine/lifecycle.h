// The life of a transfer: Start and Stop, called by a front end on its own
// thread, and the worker thread's entry, which runs the driver and, however
// the transfer ended, releases what it held, shows how it ended and gives
// the front end back its idle state.
#pragma once

#include <functional>

// Start: clears the stop flag and runs WorkerMain on a new worker thread.
// The caller has stored port and the settings. False when no thread could be
// started (nothing runs then).
bool StartTransfer();
// Stop: sets the flag that the worker looks at at its check points.
void RequestStop();
// Blocks until the worker of the last StartTransfer has ended, its thread
// included (used by front ends that have no message loop, and by tests).
void WaitForTransferEnd();
// True while a worker runs.
bool TransferRunning();

// Runs body as the worker runs a transfer: however it ends (EndTransfer,
// FinishWorker, a LinkEnded from the messages, memory that cannot be had),
// what it held is released and its end is shown. True when it ended so,
// false when body returned. (The worker runs WorkerMain this way; tests run
// single phases.)
bool RunToEnd(const std::function<void()>& body);
