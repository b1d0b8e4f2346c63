// The thread's last error on Windows: GetLastError captured at the failing
// call, and the system's own text for it in the user's default language.
#include "platform/error.h"

#include <cstdio>

#include <windows.h>

namespace {
thread_local DWORD lastCode = 0;
thread_local bool hasText = false;
// Plain characters, without a destructor to run as a thread ends.
thread_local char lastText[512];
}  // namespace

void SaveLastError() {
    lastCode = GetLastError();
    hasText = false;
}

void SaveSharingViolation() {
    lastCode = ERROR_SHARING_VIOLATION;
    hasText = false;
}

void SaveErrorText(const char* text) {
    hasText = true;
    snprintf(lastText, sizeof lastText, "%s", text);
}

std::string SystemErrorText() {
    if (hasText) return lastText;
    char* text = nullptr;
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                                 FORMAT_MESSAGE_ALLOCATE_BUFFER,
                             nullptr, lastCode, LANG_USER_DEFAULT, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string result;
    if (n != 0 && text != nullptr) {
        result.assign(text, n);
        LocalFree(text);
        while (!result.empty() && (result.back() == '\n' || result.back() == '\r')) result.pop_back();
    } else {
        char buffer[40];
        wsprintfA(buffer, "Error %lu", static_cast<unsigned long>(lastCode));
        result = buffer;
    }
    return result;
}
