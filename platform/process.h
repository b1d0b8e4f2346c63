// Processes of a serving listener: each accepted connection is served by a
// process of its own, so that the one transfer record of a process stays
// the record of one transfer and one peer's failure cannot touch another's.
// POSIX forks; Windows starts the program again and hands it the
// connection through a pipe that only it inherits. Main thread of the
// command-line peer.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/net.h"

// Closes what a ProcessHandle holds: the report pipe, and on Windows the
// process handle.
void CloseProcessHandles(intptr_t handle, intptr_t reports);

// A started child process; the handle (Windows) is closed with it. The
// process itself is neither waited for nor ended by the destructor.
struct ProcessHandle {
    intptr_t handle = 0;   // pid or process HANDLE; 0 when none
    intptr_t reports = -1; // the server's end of the child's report pipe; -1 when none
    bool reported = false; // the child has reported (ProcessReported)

    ProcessHandle() = default;
    ProcessHandle(const ProcessHandle&) = delete;
    ProcessHandle& operator=(const ProcessHandle&) = delete;
    ProcessHandle(ProcessHandle&& other) noexcept : handle(other.handle), reports(other.reports), reported(other.reported) {
        other.handle = 0;
        other.reports = -1;
    }
    ProcessHandle& operator=(ProcessHandle&& other) noexcept {
        if (this != &other) {
            CloseProcessHandles(handle, reports);
            handle = other.handle;
            reports = other.reports;
            reported = other.reported;
            other.handle = 0;
            other.reports = -1;
        }
        return *this;
    }
    ~ProcessHandle() { CloseProcessHandles(handle, reports); }
};

enum class Spawned {
    kParent,  // the child runs the transfer; the connection is closed here
    kChild,   // POSIX: this is the new process, which runs the transfer
    kFailed,  // no process could be started (the system's error is saved)
};
// Starts the process that serves connection, accepted on listener. POSIX:
// forks; the child returns kChild with the listener closed, in a process
// group of its own (a terminal's Ctrl-C then reaches only the server, which
// passes the stop on once). Windows: starts this program again with args
// (UTF-8, the program's name first) and "--served-socket N" put first, N
// being a pipe that the new process inherits and from which it takes the
// connection (WSADuplicateSocketW); no socket of the server is inherited.
// Never kChild. The parent's copy of the connection is closed in every case but
// kChild.
Spawned StartTransferProcess(SocketHandle& listener, SocketHandle& connection, const std::vector<std::string>& args,
                             ProcessHandle& child);
// Waits up to waitMs for one of children to end: its index, with *exitCode
// (a POSIX child ended by a signal: 128 + the signal), or -1 when none ended.
int WaitForAnyProcess(std::vector<ProcessHandle>& children, int waitMs, int* exitCode);
// Asks a child to stop at its next check point: POSIX SIGTERM; on Windows
// the console's Ctrl-C reaches each process of the console by itself.
void AskProcessToStop(ProcessHandle& child);
// The connection that StartTransferProcess handed to this process (Windows:
// through the pipe numbered after --served-socket, "IN:OUT", OUT being the
// report pipe). False when it is none.
bool TakeInheritedSocket(SocketHandle& sock, const std::string& number);
// A served process tells its server one thing, once: that its transfer got
// past a point the server waits for (the pairing). Nothing happens in a
// process that no server started.
void ReportToServer();
// Whether the child has reported so far; never waits.
bool ProcessReported(ProcessHandle& child);
// Processors that this process may run on (at least 1).
int ProcessorCount();
