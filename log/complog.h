// The comparison log: a plain-text record of every comparison pass, kept in
// the program's folder as log_server.dat (Original side) or log_client.dat
// (Copy side). It starts with the file's name, grows while transfers use the
// same name, and is started afresh for another. Lines end in a line feed
// only. Worker thread.
#pragma once

#include <cstddef>
#include <string>

#include "platform/file.h"

// An open log with the lines of one comparison gathered in memory; they
// reach the file when the buffer fills and at CloseLog.
struct LogWriter {
    FileHandle file;
    std::string pending;
};

// Sets logPath and makes sure the log exists and begins with fileTitle;
// failures are silent.
void PrepareLog();
// Opens the existing log for writing. False (with the system's error saved)
// when it cannot; the writes below then do nothing.
bool OpenLog(LogWriter& log);
// Writes what is gathered and closes the log.
void CloseLog(LogWriter& log);
void WriteLogHeader(LogWriter& log);
void AppendLogOk(LogWriter& log, const char* line, size_t length);
void AppendLogNg(LogWriter& log, const char* line, size_t length);
// Appends the mark that ends the repair; failures are silent.
void WriteLogComplete();
