// The comparison log (worker thread).
#include "log/complog.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

#include "platform/file.h"
#include "platform/thread.h"

namespace {
// The two lowercase hexadecimal digits of every byte value.
struct HexPairs {
    char digits[512];
    constexpr HexPairs() : digits() {
        for (int i = 0; i < 256; ++i) {
            digits[2 * i] = "0123456789abcdef"[i >> 4];
            digits[2 * i + 1] = "0123456789abcdef"[i & 15];
        }
    }
};
constexpr HexPairs kHexPairs;

// Right-aligns the lowercase hexadecimal digits of value in a field of
// width, filled with fill. Digits are written two at a time from the right:
// the log has a line per block.
char* PutHex(char* out, uint64_t value, int width, char fill) {
    int n = (std::bit_width(value) + 3) / 4;
    if (n == 0) n = 1;
    for (int i = n; i < width; ++i) *out++ = fill;
    char* end = out + n;
    char* p = end;
    for (; p - out >= 2; value >>= 8) {
        p -= 2;
        memcpy(p, kHexPairs.digits + 2 * (value & 0xFF), 2);
    }
    if (p != out) *--p = kHexPairs.digits[2 * (value & 15) + 1];
    return end;
}

// Right-aligns the decimal digits of value in a field of width, space-filled.
// Digits are written two at a time from the right.
char* PutDecimal(char* out, uint64_t value, int width) {
    static constexpr char kPairs[] =
        "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
        "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
        "8081828384858687888990919293949596979899";
    int n = 1;
    for (uint64_t limit = 10; n < 20 && value >= limit; limit *= 10) ++n;
    for (int i = n; i < width; ++i) *out++ = ' ';
    char* end = out + n;
    char* p = end;
    while (value >= 100) {
        const uint64_t pair = value % 100;
        value /= 100;
        p -= 2;
        memcpy(p, kPairs + 2 * pair, 2);
    }
    if (value >= 10) {
        p -= 2;
        memcpy(p, kPairs + 2 * value, 2);
    } else {
        *--p = static_cast<char>('0' + value);
    }
    return end;
}

// Lines of one comparison are written in pieces of at most this size: a pass
// over a million blocks costs a few dozen writes, and memory stays bounded.
constexpr size_t kLogFlushSize = 1u << 20;
// Lines wait about this long at most (the pace of the status list's progress
// lines), so that a process that ends at once loses next to nothing of its
// log. One write per line instead costs 1.5 us a line here, 10 % of the
// repair of a 64 MiB region (16384 lines). The clock is asked once per
// kClockStride bytes of lines (some 1500) and before each status line of
// the comparison, not per line.
constexpr uint64_t kLogFlushMs = kWatchedPaceMs;
constexpr size_t kClockStride = 64u << 10;

bool FlushDue(const LogWriter& log) { return MonotonicMilliseconds() - log.lastWrite >= kLogFlushMs; }

// One write call at the end of the file, which only this writer can change
// while it holds the log.
void WritePending(LogWriter& log) {
    if (!log.pending.empty() && log.file.IsOpen()) {
        if (FileWriteAt(log.file, log.end, log.pending.data(), static_cast<uint32_t>(log.pending.size())))
            log.end += log.pending.size();
        else
            FileSize(log.file, &log.end);
    }
    log.pending.clear();
    log.lastWrite = MonotonicMilliseconds();
    log.checkAt = kClockStride;
}

// suffix is " OK\n" or " NG\n": four bytes.
void AppendResult(LogWriter& log, const char* line, size_t length, const char* suffix) {
    if (!log.file.IsOpen()) return;
    const size_t at = log.pending.size();
    log.pending.resize(at + length + 4);
    char* out = log.pending.data() + at;
    memcpy(out, line, length);
    memcpy(out + length, suffix, 4);
    if (log.pending.size() < log.checkAt) return;
    if (log.pending.size() >= kLogFlushSize || FlushDue(log))
        WritePending(log);
    else
        log.checkAt = std::min(log.pending.size() + kClockStride, kLogFlushSize);
}
}  // namespace

void PrepareLog(const char* path, const char* title) {
    if (path[0] == '\0') return;
    FileHandle file;
    if (!FileOpen(file, path, FileMode::ReadWriteAlways)) return;
    char head[260];
    uint32_t got = 0;
    FileReadAt(file, 0, head, sizeof head, &got);
    const size_t titleLength = strlen(title);
    const bool belongs = got >= titleLength && memcmp(head, title, titleLength) == 0;
    if (belongs) return;
    std::string start = title;
    start += "\n\n";
    FileWriteAt(file, 0, start.data(), static_cast<uint32_t>(start.size()));
    FileSetEnd(file, start.size());
}

bool OpenLog(LogWriter& log, const char* path) {
    log.pending.clear();
    log.pending.reserve(kLogFlushSize + 128);
    log.lastWrite = MonotonicMilliseconds();
    log.checkAt = kClockStride;
    if (!FileOpen(log.file, path, FileMode::WriteExisting)) return false;
    if (FileSize(log.file, &log.end)) return true;
    FileClose(log.file);
    return false;
}

void CloseLog(LogWriter& log) {
    WritePending(log);
    FileClose(log.file);
}

void FlushLogIfDue(LogWriter& log) {
    if (FlushDue(log)) WritePending(log);
}

void WriteLogHeader(LogWriter& log) {
    if (!log.file.IsOpen()) return;
    log.pending += "\nAddress : CRC(Local) <-> CRC(Remote)\n";
    log.pending += "------------------------------------\n";
    WritePending(log);
}

void AppendLogOk(LogWriter& log, const char* line, size_t length) { AppendResult(log, line, length, " OK\n"); }

void AppendLogNg(LogWriter& log, const char* line, size_t length) { AppendResult(log, line, length, " NG\n"); }

void WriteLogComplete(const char* path) {
    LogWriter log;
    if (!OpenLog(log, path)) return;
    log.pending = "\n###Translate Complete###\n";
    CloseLog(log);
}

size_t FormatCompareLine(char* out, int hexDigits, int decDigits, uint64_t offset, uint64_t length,
                         uint64_t localCrc, uint64_t remoteCrc, int crcDigits) {
    // Field widths come from the local size, which has at most 16 hex and 20
    // decimal digits; anything wider would only pad the line.
    if (hexDigits > 16) hexDigits = 16;
    if (decDigits > 20) decDigits = 20;
    const uint64_t first = offset;
    const uint64_t last = offset + length - 1;
    char* p = out;
    p = PutHex(p, first, hexDigits, ' ');
    *p++ = '(';
    p = PutDecimal(p, first, decDigits);
    memcpy(p, ") - ", 4);
    p += 4;
    p = PutHex(p, last, hexDigits, ' ');
    *p++ = '(';
    p = PutDecimal(p, last, decDigits);
    memcpy(p, ") : ", 4);
    p += 4;
    p = PutHex(p, localCrc, crcDigits, '0');
    memcpy(p, " <-> ", 5);
    p += 5;
    p = PutHex(p, remoteCrc, crcDigits, '0');
    *p = '\0';
    return static_cast<size_t>(p - out);
}
