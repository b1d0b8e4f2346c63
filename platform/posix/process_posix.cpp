// Processes of a serving listener on POSIX: fork after accept.
#include "platform/process.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "platform/error.h"
#include "platform/thread.h"

namespace {
// The served process's end of its report pipe; -1 in any other process.
int reportTo = -1;
}  // namespace

void CloseProcessHandles(intptr_t, intptr_t reports) {
    if (reports != -1) close(static_cast<int>(reports));
}

Spawned StartTransferProcess(SocketHandle& listener, SocketHandle& connection, const std::vector<std::string>&,
                             ProcessHandle& child) {
    // What stdio holds would otherwise go out twice, once from each process.
    fflush(stdout);
    fflush(stderr);
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) {
        SaveLastError();
        SocketClose(connection);
        return Spawned::kFailed;
    }
    const pid_t pid = fork();
    if (pid < 0) {
        SaveLastError();
        close(report[0]);
        close(report[1]);
        SocketClose(connection);
        return Spawned::kFailed;
    }
    if (pid == 0) {
        setpgid(0, 0);
        SocketClose(listener);
        close(report[0]);
        reportTo = report[1];
        return Spawned::kChild;
    }
    close(report[1]);
    fcntl(report[0], F_SETFL, fcntl(report[0], F_GETFL) | O_NONBLOCK);
    child = ProcessHandle();
    child.reports = report[0];
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

void ReportToServer() {
    if (reportTo == -1) return;
    const char word = 'P';
    if (write(reportTo, &word, 1) != 1) {
        // A server that is gone waits for nothing.
    }
    close(reportTo);
    reportTo = -1;
}

bool ProcessReported(ProcessHandle& child) {
    if (!child.reported && child.reports != -1) {
        char word = 0;
        child.reported = read(static_cast<int>(child.reports), &word, 1) == 1;
    }
    return child.reported;
}

int ProcessorCount() {
    const unsigned n = std::thread::hardware_concurrency();
    return n == 0 ? 1 : static_cast<int>(n);
}
