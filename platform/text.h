// Text encodings at the edges: the code page 932 bytes that the engine's
// texts are, UTF-8 (terminals, names between Blockmend peers, codes), and
// the encoding in which the program holds paths.
#pragma once

#include <cstddef>
#include <string>

// Whether c begins a two-byte character of code page 932: the byte after it
// is its second half, whatever its value (a backslash, say), so a scan of a
// path or a name steps over both.
constexpr bool IsCp932LeadByte(unsigned char c) { return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC); }

// False when text has no form in the target encoding.
bool Cp932ToUtf8(const std::string& text, std::string* out);
bool Utf8ToCp932(const std::string& text, std::string* out);
// Whether text is well-formed UTF-8 (no overlong forms, no surrogates).
bool IsUtf8(const std::string& text);

// How the program holds paths and file names (localPath, a received name,
// the log folder). On POSIX always kUtf8: a path is the bytes that the user
// and the system gave, never converted on its way to the system, and taken
// as UTF-8 only where it must become another encoding (a name on the wire).
// On Windows the front end declares it once at start, before any path is
// made: the window holds its ANSI (code page 932) names and the platform
// uses the ANSI file functions; the command-line peer holds UTF-8 and the
// platform converts each path to UTF-16 for the wide functions.
enum class PathEncoding { kCp932, kUtf8 };
void UsePathEncoding(PathEncoding encoding);
PathEncoding PathTextEncoding();
// A path or name between the program's path encoding and a known one.
// False when it has no form there (or is not well-formed).
bool PathToUtf8(const std::string& path, std::string* out);
bool PathToCp932(const std::string& path, std::string* out);
bool Utf8ToPath(const std::string& text, std::string* out);
bool Cp932ToPath(const std::string& text, std::string* out);
// A UTF-8 name for the user's eyes in the path encoding: each character
// that has no form there (or is not well-formed) shown as '?'.
std::string Utf8ToPathShown(const std::string& text);

// Where the name part of path starts: just after its last separator ('/'
// on POSIX; '\\' or '/' on Windows), walking code page 932 characters whole
// where paths are held in code page 932 (a second byte may be 0x5C) and
// plain bytes otherwise (the bytes of a UTF-8 character never look like a
// separator). 0 when path has no separator.
size_t PathNameStart(const char* path);
