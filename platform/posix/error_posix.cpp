// The thread's last error on POSIX: errno captured at the failing call, and
// strerror's text converted to code page 932.
#include "platform/error.h"

#include <cstdio>

#include <cerrno>
#include <cstring>

#include "platform/text.h"

namespace {
enum class ErrorKind { Errno, Sharing, Text };
thread_local ErrorKind lastKind = ErrorKind::Errno;
thread_local int lastErrno = 0;
// Plain characters, without a destructor to run as a thread ends.
thread_local char lastText[512];
}  // namespace

void SaveLastError() {
    lastKind = ErrorKind::Errno;
    lastErrno = errno;
}

void SaveSharingViolation() { lastKind = ErrorKind::Sharing; }

void SaveErrorText(const char* text) {
    lastKind = ErrorKind::Text;
    snprintf(lastText, sizeof lastText, "%s", text);
}

std::string SystemErrorText() {
    switch (lastKind) {
    case ErrorKind::Sharing:
        return "プロセスはファイルにアクセスできません。別のプロセスが使用中です。";
    case ErrorKind::Text:
        return lastText;
    case ErrorKind::Errno:
        break;
    }
    char buffer[256];
    const char* text = strerror_r(lastErrno, buffer, sizeof buffer);
    std::string converted;
    if (!Utf8ToCp932(text, &converted)) converted = "Unknown error";
    return converted;
}
