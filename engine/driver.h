// The body of the worker thread: one transfer from the connection to its
// end, phase by phase, with the refinement loop of the comparison passes.
#pragma once

// Never returns normally: every path ends in EndTransfer or FinishWorker.
void WorkerMain();
