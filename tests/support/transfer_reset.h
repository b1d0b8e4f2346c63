// The transfer record's settings and figures back to the values a program
// starts with, between tests that share the one record in one process.
#pragma once

// Everything but the lists, the sockets and the worker (which the caller
// releases as it needs) and statusLineCount.
void ResetTransferRecord();
