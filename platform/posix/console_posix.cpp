// Process services of the command-line peer on POSIX.
#include "platform/console.h"

#include <climits>
#include <csignal>
#include <cstdlib>
#include <pthread.h>
#include <pwd.h>
#include <unistd.h>

#include "platform/text.h"

namespace {
void (*interruptHandler)() = nullptr;

void OnSignal(int) {
    if (interruptHandler) interruptHandler();
}
}  // namespace

std::vector<std::string> ProgramArguments(int argc, char** argv) { return std::vector<std::string>(argv, argv + argc); }

bool EnvironmentVariable(const char* name, std::string* value) {
    const char* found = getenv(name);
    if (found == nullptr) return false;
    *value = found;
    return true;
}

std::string ExecutableFolder() {
    char path[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return "./";
    std::string folder(path, static_cast<size_t>(n));
    folder.erase(folder.rfind('/') + 1);
    return folder;
}

std::string DefaultLogFolder() {
    // The state folder is meant to be absolute; a relative XDG_STATE_HOME is
    // ignored.
    std::string base;
    const char* state = getenv("XDG_STATE_HOME");
    if (state != nullptr && state[0] == '/') {
        base = state;
    } else {
        const char* home = getenv("HOME");
        if (home == nullptr || home[0] == '\0') {
            const passwd* user = getpwuid(getuid());
            home = user != nullptr ? user->pw_dir : nullptr;
        }
        if (home == nullptr || home[0] == '\0') return ExecutableFolder();
        base = std::string(home) + "/.local/state";
    }
    // The folder is made, as --log-dir is, by the command-line peer.
    return base + "/blockmend/";
}

const char* DefaultLogFolderHelp() { return "$XDG_STATE_HOME/blockmend, else ~/.local/state/blockmend"; }

bool UserLanguageIsJapanese() {
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = getenv(name);
        if (value == nullptr || value[0] == '\0') continue;
        return value[0] == 'j' && value[1] == 'a' &&
               (value[2] == '\0' || value[2] == '_' || value[2] == '.' || value[2] == '@');
    }
    return false;
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
