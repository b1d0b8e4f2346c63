// Code page 932 <-> UTF-8 with iconv. A descriptor is opened per call that
// needs one: the conversions happen at file opens and terminal writes,
// never per byte.
#include "platform/text.h"

#include <cerrno>
#include <iconv.h>

namespace {
bool Convert(const char* to, const char* from, const std::string& text, std::string* out) {
    // Plain ASCII is the same in both encodings, and most lines are: no
    // descriptor for them (a repair can print a line per damaged block).
    bool ascii = true;
    for (char c : text) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
    if (ascii) {
        *out = text;
        return true;
    }
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1)) return false;
    std::string result(text.size() * 3 + 4, '\0');
    char* in = const_cast<char*>(text.data());
    size_t inLeft = text.size();
    char* outPtr = result.data();
    size_t outLeft = result.size();
    size_t r = iconv(cd, &in, &inLeft, &outPtr, &outLeft);
    iconv_close(cd);
    if (r == static_cast<size_t>(-1) || inLeft != 0) return false;
    result.resize(result.size() - outLeft);
    *out = std::move(result);
    return true;
}
}  // namespace

bool Cp932ToUtf8(const std::string& text, std::string* out) { return Convert("UTF-8", "CP932", text, out); }
bool Utf8ToCp932(const std::string& text, std::string* out) { return Convert("CP932", "UTF-8", text, out); }

// POSIX paths are bytes, held as the system gave them.
void UsePathEncoding(PathEncoding) {}
PathEncoding PathTextEncoding() { return PathEncoding::kUtf8; }

size_t PathNameStart(const char* path) {
    size_t start = 0;
    for (size_t i = 0; path[i] != '\0'; ++i)
        if (path[i] == '/') start = i + 1;
    return start;
}
