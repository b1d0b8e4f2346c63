// Code page 932 <-> UTF-8 through UTF-16, with the system's converters.
#include "platform/text.h"

#include <windows.h>

namespace {
bool Convert(UINT fromPage, UINT toPage, const std::string& text, std::string* out) {
    if (text.empty()) {
        out->clear();
        return true;
    }
    int wide = MultiByteToWideChar(fromPage, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()),
                                   nullptr, 0);
    if (wide <= 0) return false;
    std::wstring w(static_cast<size_t>(wide), L'\0');
    MultiByteToWideChar(fromPage, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()), w.data(), wide);
    BOOL usedDefault = FALSE;
    BOOL* usedPtr = toPage == CP_UTF8 ? nullptr : &usedDefault;
    DWORD flags = toPage == CP_UTF8 ? 0 : WC_NO_BEST_FIT_CHARS;
    int n = WideCharToMultiByte(toPage, flags, w.data(), wide, nullptr, 0, nullptr, usedPtr);
    if (n <= 0) return false;
    std::string result(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(toPage, flags, w.data(), wide, result.data(), n, nullptr, usedPtr);
    if (usedDefault) return false;
    *out = std::move(result);
    return true;
}
}  // namespace

bool Cp932ToUtf8(const std::string& text, std::string* out) { return Convert(932, CP_UTF8, text, out); }
bool Utf8ToCp932(const std::string& text, std::string* out) { return Convert(CP_UTF8, 932, text, out); }

namespace {
PathEncoding pathEncoding = PathEncoding::kCp932;
}  // namespace

void UsePathEncoding(PathEncoding encoding) { pathEncoding = encoding; }
PathEncoding PathTextEncoding() { return pathEncoding; }

size_t PathNameStart(const char* path) {
    const bool cp932 = pathEncoding == PathEncoding::kCp932;
    size_t start = 0;
    for (size_t i = 0; path[i] != '\0'; ++i) {
        const unsigned char c = static_cast<unsigned char>(path[i]);
        if (cp932 && IsCp932LeadByte(c)) {
            if (path[i + 1] == '\0') break;
            ++i;
            continue;
        }
        if (c == '\\' || c == '/') start = i + 1;
    }
    return start;
}
