// What the command-line peer says around a transfer: how the other side
// reaches a listening one, and the result at the end (one summary line,
// and with --json one JSON object as the last line). Main thread.
#pragma once

#include <cstdint>
#include <string>

// The line that tells the user what to run on the other machine: this
// machine's non-loopback IPv4 addresses, the port and, when this side made
// it, the code. mode: this side's FileType.
std::string HintLine(int32_t mode, const std::string& newCode, bool hasCode);

// The summary line, and with json the JSON object after it; mode: this
// side's FileType as given, path: the FILE or DIR given (UTF-8). Called
// once the worker has ended.
void PrintReport(int32_t mode, const std::string& path, bool json);
