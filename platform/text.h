// Conversion between the code page 932 bytes that the program holds and
// UTF-8, at the edges where text meets a UTF-8 system (POSIX file names,
// terminal output, command-line arguments).
#pragma once

#include <string>

// Whether c begins a two-byte character of code page 932: the byte after it
// is its second half, whatever its value (a backslash, say), so a scan of a
// path or a name steps over both.
constexpr bool IsCp932LeadByte(unsigned char c) { return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC); }

// False when text has no form in the target encoding.
bool Cp932ToUtf8(const std::string& text, std::string* out);
bool Utf8ToCp932(const std::string& text, std::string* out);
