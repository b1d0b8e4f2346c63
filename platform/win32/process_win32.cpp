// Processes of a serving listener on Windows: the program started again
// for each connection, which it inherits.
#include "platform/process.h"

#include <winsock2.h>
#include <windows.h>

#include <cstdlib>

#include "platform/error.h"

namespace {
std::wstring Wide(const std::string& utf8) {
    const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, nullptr, 0);
    if (n <= 1) return std::wstring();
    std::wstring out(static_cast<size_t>(n - 1), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, out.data(), n);
    return out;
}

// One argument as CommandLineToArgvW reads it back: quoted, with the
// backslashes before a quote doubled.
void AppendQuoted(std::wstring& line, const std::wstring& arg) {
    if (!line.empty()) line += L' ';
    line += L'"';
    size_t backslashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        line.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        line += c;
    }
    line.append(backslashes * 2, L'\\');
    line += L'"';
}

void Inheritable(HANDLE handle, bool on) {
    if (handle && handle != INVALID_HANDLE_VALUE) SetHandleInformation(handle, HANDLE_FLAG_INHERIT, on ? HANDLE_FLAG_INHERIT : 0);
}
}  // namespace

namespace {
// The served process's end of its report pipe; null in any other process.
HANDLE reportTo = nullptr;
}  // namespace

void CloseProcessHandles(intptr_t handle, intptr_t reports) {
    if (handle) CloseHandle(reinterpret_cast<HANDLE>(handle));
    if (reports != -1) CloseHandle(reinterpret_cast<HANDLE>(reports));
}

// The connection is handed over as Winsock documents it: the parent
// duplicates it for the new process (WSADuplicateSocketW) and writes the
// description into a pipe that only the new process inherits, and the new
// process makes its socket from it (WSASocketW). A socket handle that is
// merely inherited is not a socket to Wine's Winsock in the new process:
// its receive worked and its send and getpeername failed.
Spawned StartTransferProcess(SocketHandle& listener, SocketHandle& connection, const std::vector<std::string>& args,
                             ProcessHandle& child) {
    Inheritable(reinterpret_cast<HANDLE>(listener.sock), false);
    Inheritable(reinterpret_cast<HANDLE>(connection.sock), false);
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr, reportRead = nullptr, reportWrite = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) {
        SaveLastError();
        SocketClose(connection);
        return Spawned::kFailed;
    }
    if (!CreatePipe(&reportRead, &reportWrite, &inherit, 0)) {
        SaveLastError();
        CloseHandle(readEnd);
        CloseHandle(writeEnd);
        SocketClose(connection);
        return Spawned::kFailed;
    }
    Inheritable(writeEnd, false);
    Inheritable(reportRead, false);
    wchar_t program[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, program, MAX_PATH);
    std::wstring line;
    AppendQuoted(line, std::wstring(program, length));
    // Before the other arguments: after a "--" it would be a word.
    AppendQuoted(line, L"--served-socket");
    AppendQuoted(line, std::to_wstring(reinterpret_cast<uintptr_t>(readEnd)) + L":" +
                           std::to_wstring(reinterpret_cast<uintptr_t>(reportWrite)));
    for (size_t i = 1; i < args.size(); ++i) AppendQuoted(line, Wide(args[i]));
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    Inheritable(startup.hStdInput, true);
    Inheritable(startup.hStdOutput, true);
    Inheritable(startup.hStdError, true);
    PROCESS_INFORMATION info{};
    bool started = CreateProcessW(program, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info);
    CloseHandle(readEnd);
    CloseHandle(reportWrite);
    WSAPROTOCOL_INFOW socketInfo{};
    DWORD written = 0;
    if (!started) {
        SaveLastError();
    } else if (WSADuplicateSocketW(static_cast<SOCKET>(connection.sock), info.dwProcessId, &socketInfo) != 0 ||
               !WriteFile(writeEnd, &socketInfo, sizeof socketInfo, &written, nullptr) || written != sizeof socketInfo) {
        SaveLastError();
        // Without its connection the new process ends at once.
        TerminateProcess(info.hProcess, 1);
    }
    CloseHandle(writeEnd);
    SocketClose(connection);
    if (!started) {
        CloseHandle(reportRead);
        return Spawned::kFailed;
    }
    CloseHandle(info.hThread);
    child = ProcessHandle();
    child.handle = reinterpret_cast<intptr_t>(info.hProcess);
    child.reports = reinterpret_cast<intptr_t>(reportRead);
    return Spawned::kParent;
}

int WaitForAnyProcess(std::vector<ProcessHandle>& children, int waitMs, int* exitCode) {
    if (children.empty()) {
        Sleep(static_cast<DWORD>(waitMs < 0 ? 0 : waitMs));
        return -1;
    }
    HANDLE handles[MAXIMUM_WAIT_OBJECTS] = {};
    const size_t n = children.size() < MAXIMUM_WAIT_OBJECTS ? children.size() : MAXIMUM_WAIT_OBJECTS;
    for (size_t i = 0; i < n; ++i) handles[i] = reinterpret_cast<HANDLE>(children[i].handle);
    const DWORD r = WaitForMultipleObjects(static_cast<DWORD>(n), handles, FALSE, static_cast<DWORD>(waitMs < 0 ? 0 : waitMs));
    if (r >= WAIT_OBJECT_0 + n) return -1;
    const size_t i = r - WAIT_OBJECT_0;
    DWORD code = 1;
    GetExitCodeProcess(handles[i], &code);
    *exitCode = static_cast<int>(code);
    children[i] = ProcessHandle();
    return static_cast<int>(i);
}

void AskProcessToStop(ProcessHandle&) {}

bool TakeInheritedSocket(SocketHandle& sock, const std::string& number) {
    const size_t colon = number.find(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == number.size() || number.size() > 41) return false;
    for (size_t i = 0; i < number.size(); ++i)
        if (i != colon && (number[i] < '0' || number[i] > '9')) return false;
    HANDLE pipe = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(strtoull(number.c_str(), nullptr, 10)));
    reportTo = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(strtoull(number.c_str() + colon + 1, nullptr, 10)));
    WSAPROTOCOL_INFOW info{};
    DWORD got = 0;
    const bool read = ReadFile(pipe, &info, sizeof info, &got, nullptr) && got == sizeof info;
    CloseHandle(pipe);
    if (!read) return false;
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return false;
    const SOCKET s = WSASocketW(FROM_PROTOCOL_INFO, FROM_PROTOCOL_INFO, FROM_PROTOCOL_INFO, &info, 0, 0);
    if (s == INVALID_SOCKET) return false;
    sock.sock = static_cast<intptr_t>(s);
    return true;
}

void ReportToServer() {
    if (!reportTo) return;
    const char word = 'P';
    DWORD written = 0;
    WriteFile(reportTo, &word, 1, &written, nullptr);
    CloseHandle(reportTo);
    reportTo = nullptr;
}

bool ProcessReported(ProcessHandle& child) {
    if (!child.reported && child.reports != -1) {
        DWORD available = 0;
        child.reported = PeekNamedPipe(reinterpret_cast<HANDLE>(child.reports), nullptr, 0, nullptr, &available, nullptr) &&
                         available > 0;
    }
    return child.reported;
}

int ProcessorCount() {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwNumberOfProcessors == 0 ? 1 : static_cast<int>(info.dwNumberOfProcessors);
}
