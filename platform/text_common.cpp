// The encoding-independent part of the text conversions: UTF-8 checks and
// the path conversions, over each platform's Cp932ToUtf8 / Utf8ToCp932 and
// PathTextEncoding.
#include "platform/text.h"

bool IsUtf8(const std::string& text) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text.data());
    const unsigned char* end = p + text.size();
    while (p < end) {
        const unsigned char c = *p;
        size_t n = c < 0x80 ? 0 : c >= 0xC2 && c <= 0xDF ? 1 : c >= 0xE0 && c <= 0xEF ? 2 : c >= 0xF0 && c <= 0xF4 ? 3 : 9;
        if (n == 9 || static_cast<size_t>(end - p) <= n) {
            if (n == 0) {
                ++p;
                continue;
            }
            return false;
        }
        for (size_t i = 1; i <= n; ++i)
            if ((p[i] & 0xC0) != 0x80) return false;
        // Overlong three- and four-byte forms, surrogates, beyond U+10FFFF.
        if ((c == 0xE0 && p[1] < 0xA0) || (c == 0xED && p[1] >= 0xA0) || (c == 0xF0 && p[1] < 0x90) ||
            (c == 0xF4 && p[1] >= 0x90))
            return false;
        p += n + 1;
    }
    return true;
}

bool PathToUtf8(const std::string& path, std::string* out) {
    if (PathTextEncoding() == PathEncoding::kCp932) return Cp932ToUtf8(path, out);
    if (!IsUtf8(path)) return false;
    *out = path;
    return true;
}

bool PathToCp932(const std::string& path, std::string* out) {
    if (PathTextEncoding() == PathEncoding::kCp932) {
        *out = path;
        return true;
    }
    return Utf8ToCp932(path, out);
}

bool Utf8ToPath(const std::string& text, std::string* out) {
    if (PathTextEncoding() == PathEncoding::kCp932) return Utf8ToCp932(text, out);
    if (!IsUtf8(text)) return false;
    *out = text;
    return true;
}

bool Cp932ToPath(const std::string& text, std::string* out) {
    if (PathTextEncoding() == PathEncoding::kCp932) {
        *out = text;
        return true;
    }
    return Cp932ToUtf8(text, out);
}

std::string Utf8ToPathShown(const std::string& text) {
    std::string shown, piece;
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        size_t n = c < 0x80 ? 1 : c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
        if (n > text.size() - i) n = 1;
        if (Utf8ToPath(text.substr(i, n), &piece)) shown += piece;
        else shown += '?';
        i += n;
    }
    return shown;
}
