// Process services of the command-line peer on POSIX.
#include "platform/console.h"

#include <climits>
#include <csignal>
#include <pthread.h>
#include <unistd.h>

#include "platform/text.h"

namespace {
void (*interruptHandler)() = nullptr;

void OnSignal(int) {
    if (interruptHandler) interruptHandler();
}
}  // namespace

std::vector<std::string> ProgramArguments(int argc, char** argv) { return std::vector<std::string>(argv, argv + argc); }

std::string ExecutableFolder() {
    char path[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return "./";
    std::string utf8(path, static_cast<size_t>(n));
    utf8.erase(utf8.rfind('/') + 1);
    std::string folder;
    if (!Utf8ToCp932(utf8, &folder)) return "./";
    return folder;
}

bool StdoutIsTerminal() { return isatty(1) == 1; }
bool StdinIsTerminal() { return isatty(0) == 1; }
void PrepareConsole() {}

void OnInterrupt(void (*handler)()) {
    interruptHandler = handler;
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

void RouteInterruptsToWorker() {
    // Signals go to a thread that does not block them: blocking them here
    // leaves the worker. The handler is installed without SA_RESTART, so a
    // blocked recv or send in the worker returns EINTR.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void ExitNow(int code) { _exit(code); }
