// Processes of a serving listener on POSIX: fork after accept.
#include "platform/process.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "platform/error.h"
#include "platform/thread.h"

ProcessHandle& ProcessHandle::operator=(ProcessHandle&& other) noexcept {
    handle = other.handle;
    other.handle = 0;
    return *this;
}

ProcessHandle::~ProcessHandle() = default;

Spawned StartTransferProcess(SocketHandle& listener, SocketHandle& connection, const std::vector<std::string>&,
                             ProcessHandle& child) {
    // What stdio holds would otherwise go out twice, once from each process.
    fflush(stdout);
    fflush(stderr);
    const pid_t pid = fork();
    if (pid < 0) {
        SaveLastError();
        SocketClose(connection);
        return Spawned::kFailed;
    }
    if (pid == 0) {
        setpgid(0, 0);
        SocketClose(listener);
        return Spawned::kChild;
    }
    child.handle = pid;
    SocketClose(connection);
    return Spawned::kParent;
}

int WaitForAnyProcess(std::vector<ProcessHandle>& children, int waitMs, int* exitCode) {
    const uint64_t until = MonotonicMilliseconds() + static_cast<uint64_t>(waitMs < 0 ? 0 : waitMs);
    for (;;) {
        for (size_t i = 0; i < children.size(); ++i) {
            int status = 0;
            const pid_t pid = waitpid(static_cast<pid_t>(children[i].handle), &status, WNOHANG);
            if (pid == 0 || (pid < 0 && errno == EINTR)) continue;
            // Ended (or not ours any more, which counts as ended).
            *exitCode = pid < 0 ? 1 : WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            children[i].handle = 0;
            return static_cast<int>(i);
        }
        if (MonotonicMilliseconds() >= until) return -1;
        SleepMilliseconds(20);
    }
}

void AskProcessToStop(ProcessHandle& child) {
    if (child.handle > 0) kill(static_cast<pid_t>(child.handle), SIGTERM);
}

bool TakeInheritedSocket(SocketHandle&, const std::string&) { return false; }

int ProcessorCount() {
    const unsigned n = std::thread::hardware_concurrency();
    return n == 0 ? 1 : static_cast<int>(n);
}
