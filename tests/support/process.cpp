// Child processes and handle counts for the tests, on both systems.
#include "tests/support/process.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
extern char** environ;
#endif

#ifdef _WIN32
namespace {
std::string QuoteArgument(const std::string& arg) {
    if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) return arg;
    std::string out = "\"";
    int slashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            ++slashes;
        } else if (c == '"') {
            out.append(static_cast<size_t>(slashes + 1), '\\');
            slashes = 0;
        } else {
            slashes = 0;
        }
        out += c;
    }
    out.append(static_cast<size_t>(slashes), '\\');
    return out + "\"";
}

HANDLE OpenForChild(const std::string& path) {
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    return CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, CREATE_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}
}  // namespace

bool SpawnProcess(ChildProcess& child, const std::vector<std::string>& args, const std::string& outPath,
                  const std::string& errPath) {
    std::string line;
    for (const std::string& a : args) line += (line.empty() ? "" : " ") + QuoteArgument(a);
    std::wstring wide(line.size() + 1, L'\0');
    int n = MultiByteToWideChar(CP_UTF8, 0, line.c_str(), -1, wide.data(), static_cast<int>(wide.size()));
    wide.resize(n > 0 ? static_cast<size_t>(n) : 0);
    HANDLE out = OpenForChild(outPath), err = OpenForChild(errPath);
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    HANDLE in = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, OPEN_EXISTING, 0, nullptr);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = in;
    si.hStdOutput = out;
    si.hStdError = err;
    PROCESS_INFORMATION pi{};
    BOOL ok = CreateProcessW(nullptr, wide.data(), nullptr, nullptr, TRUE, CREATE_NEW_PROCESS_GROUP, nullptr,
                             nullptr, &si, &pi);
    CloseHandle(out);
    CloseHandle(err);
    CloseHandle(in);
    if (!ok) return false;
    CloseHandle(pi.hThread);
    child.handle = reinterpret_cast<intptr_t>(pi.hProcess);
    child.outPath = outPath;
    child.errPath = errPath;
    return true;
}

int WaitProcess(ChildProcess& child, int timeoutMs) {
    HANDLE h = reinterpret_cast<HANDLE>(child.handle);
    if (WaitForSingleObject(h, timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs)) != WAIT_OBJECT_0) return -1;
    DWORD code = 0;
    GetExitCodeProcess(h, &code);
    CloseHandle(h);
    child.handle = 0;
    return static_cast<int>(code);
}

void KillProcess(ChildProcess& child) {
    if (child.handle == 0) return;
    TerminateProcess(reinterpret_cast<HANDLE>(child.handle), 137);
    WaitProcess(child, 10000);
}

void SleepMs(int ms) { Sleep(static_cast<DWORD>(ms)); }

int OpenHandleCount() {
    DWORD count = 0;
    GetProcessHandleCount(GetCurrentProcess(), &count);
    return static_cast<int>(count);
}
#else
bool SpawnProcess(ChildProcess& child, const std::vector<std::string>& args, const std::string& outPath,
                  const std::string& errPath) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return false;
    child.handle = pid;
    child.outPath = outPath;
    child.errPath = errPath;
    return true;
}

int WaitProcess(ChildProcess& child, int timeoutMs) {
    if (child.handle == 0) return -1;
    for (int waited = 0;; waited += 5) {
        int status = 0;
        pid_t r = waitpid(static_cast<pid_t>(child.handle), &status, WNOHANG);
        if (r == static_cast<pid_t>(child.handle)) {
            child.handle = 0;
            if (WIFEXITED(status)) return WEXITSTATUS(status);
            return 128 + WTERMSIG(status);
        }
        if (timeoutMs >= 0 && waited >= timeoutMs) return -1;
        SleepMs(5);
    }
}

void KillProcess(ChildProcess& child) {
    if (child.handle == 0) return;
    kill(static_cast<pid_t>(child.handle), SIGKILL);
    WaitProcess(child, 10000);
}

void SleepMs(int ms) {
    timespec t{ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&t, nullptr);
}

int OpenHandleCount() {
    int count = 0;
    DIR* dir = opendir("/proc/self/fd");
    if (!dir) return -1;
    while (readdir(dir) != nullptr) ++count;
    closedir(dir);
    return count;
}
#endif
