// Conversion between the code page 932 bytes that the program holds and
// UTF-8, at the edges where text meets a UTF-8 system (POSIX file names,
// terminal output, command-line arguments).
#pragma once

#include <string>

// False when text has no form in the target encoding.
bool Cp932ToUtf8(const std::string& text, std::string* out);
bool Utf8ToCp932(const std::string& text, std::string* out);
