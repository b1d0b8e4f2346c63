// The comparison log: a plain-text record of every comparison pass, kept in
// the program's folder as log_server.dat (Original side) or log_client.dat
// (Copy side); the engine gives its path. It starts with the file's name,
// grows while transfers use the same name, and is started afresh for
// another. Lines end in a line feed only. Worker thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/file.h"

// An open log with the latest lines of one comparison gathered in memory;
// they reach the file when the buffer fills, once they have waited about
// 33 ms, and at CloseLog.
struct LogWriter {
    FileHandle file;
    std::string pending;
    uint64_t end = 0;        // size of the file: where the next lines go
    uint64_t lastWrite = 0;  // MonotonicMilliseconds of the last write
    size_t checkAt = 0;      // pending size at which the clock is looked at next
};

// Makes sure the log at path exists and begins with title (the file's
// name); failures are silent. An empty path is a log that cannot be made.
void PrepareLog(const char* path, const char* title);
// Opens the existing log at path for writing. False (with the system's
// error saved) when it cannot; the writes below then do nothing.
bool OpenLog(LogWriter& log, const char* path);
// Writes what is gathered and closes the log.
void CloseLog(LogWriter& log);
// Writes what is gathered when it has waited about 33 ms: called before the
// comparison shows a status line, so that the log keeps up with the status
// list (a process that ends at once keeps in its log what it showed then).
void FlushLogIfDue(LogWriter& log);
// Writes the pass header at once.
void WriteLogHeader(LogWriter& log);
void AppendLogOk(LogWriter& log, const char* line, size_t length);
void AppendLogNg(LogWriter& log, const char* line, size_t length);
// Longest comparison line, with its terminating zero.
constexpr size_t kCompareLineSize = 128;
// Writes the log's line of one block, "%*x(%*d) - %*x(%*d) : %0*x <-> %0*x"
// (its first and last byte, its two checksums), with the
// decimal values unsigned and the checksums crcDigits wide (4 for a CRC-16,
// 16 for a 64-bit hash), and returns its length (without the zero).
size_t FormatCompareLine(char* out, int hexDigits, int decDigits, uint64_t offset, uint64_t length,
                         uint64_t localCrc, uint64_t remoteCrc, int crcDigits);

// Appends the mark that ends the repair to the log at path; failures are
// silent.
void WriteLogComplete(const char* path);
