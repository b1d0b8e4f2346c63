// Process services of the command-line peer on Windows.
#include "platform/console.h"

#include <windows.h>
#include <shellapi.h>
#include <io.h>

#include <cstdlib>
#include <cstring>

#include "platform/text.h"

namespace {
void (*interruptHandler)() = nullptr;

BOOL WINAPI OnConsoleEvent(DWORD type) {
    if (type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT || type == CTRL_CLOSE_EVENT) {
        if (interruptHandler) interruptHandler();
        return TRUE;
    }
    return FALSE;
}

std::string WideToUtf8(const wchar_t* text) {
    int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 1) return std::string();
    std::string result(static_cast<size_t>(n - 1), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, result.data(), n, nullptr, nullptr);
    return result;
}
}  // namespace

std::vector<std::string> ProgramArguments(int, char**) {
    std::vector<std::string> args;
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide == nullptr) return args;
    for (int i = 0; i < count; ++i) args.push_back(WideToUtf8(wide[i]));
    LocalFree(wide);
    return args;
}

bool EnvironmentVariable(const char* name, std::string* value) {
    std::wstring wideName(name, name + strlen(name));
    const wchar_t* found = _wgetenv(wideName.c_str());
    if (found == nullptr) return false;
    *value = WideToUtf8(found);
    return true;
}

std::string ExecutableFolder() {
    if (PathTextEncoding() == PathEncoding::kUtf8) {
        wchar_t wide[MAX_PATH + 1] = {};
        const DWORD n = GetModuleFileNameW(nullptr, wide, MAX_PATH);
        if (n == 0) return ".\\";
        std::string path = WideToUtf8(wide);
        path.erase(PathNameStart(path.c_str()));
        return path;
    }
    char path[MAX_PATH + 1] = {};
    const DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    if (n == 0) return ".\\";
    return std::string(path, PathNameStart(path));
}

std::string DefaultLogFolder() { return ExecutableFolder(); }

const char* DefaultLogFolderHelp() { return "the program's folder"; }

bool UserLanguageIsJapanese() { return PRIMARYLANGID(GetUserDefaultUILanguage()) == LANG_JAPANESE; }

bool StdoutIsTerminal() { return _isatty(1) != 0; }
bool StdinIsTerminal() { return _isatty(0) != 0; }
void PrepareConsole() { SetConsoleOutputCP(CP_UTF8); }

void OnInterrupt(void (*handler)()) {
    interruptHandler = handler;
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

void RouteInterruptsToWorker() {}

void ExitNow(int code) { ExitProcess(static_cast<UINT>(code)); }
