// The worker thread on Windows: CreateThread with the default stack size.
#include "platform/thread.h"

#include <windows.h>

namespace {
DWORD WINAPI Trampoline(LPVOID arg) {
    reinterpret_cast<void (*)()>(arg)();
    return 0;
}
}  // namespace

bool ThreadStart(ThreadHandle& thread, void (*entry)()) {
    HANDLE h = CreateThread(nullptr, 0, Trampoline, reinterpret_cast<LPVOID>(entry), 0, nullptr);
    if (h == nullptr) return false;
    thread.handle = reinterpret_cast<intptr_t>(h);
    return true;
}

void ThreadCloseHandle(ThreadHandle& thread) {
    if (thread.handle != 0) {
        CloseHandle(reinterpret_cast<HANDLE>(thread.handle));
        thread.handle = 0;
    }
}

void ThreadReapClosed() {}

uint64_t MonotonicMilliseconds() { return GetTickCount64(); }

void SleepMilliseconds(uint32_t ms) { Sleep(ms); }
