// The comparison log (worker thread).
#include "log/complog.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "platform/file.h"
#include "platform/thread.h"

namespace {
// Lines of one comparison are written in pieces of at most this size: a pass
// over a million blocks costs a few dozen writes, and memory stays bounded.
constexpr size_t kLogFlushSize = 1u << 20;
// Lines wait about this long at most (the pace of the status list's progress
// lines), so that a process that ends at once loses next to nothing of its
// log. One write per line instead costs 1.5 us a line here, 10 % of the
// repair of a 64 MiB region (16384 lines). The clock is asked once per
// kClockStride bytes of lines (some 1500) and before each status line of
// the comparison, not per line.
constexpr uint64_t kLogFlushMs = 33;
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
