// Shared helpers of the tests: scratch folders and files, ports, and
// blockmend-cli peers run as child processes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/process.h"

// A fresh, empty folder for one test (UTF-8 path, ending in a separator).
std::string ScratchFolder(const std::string& name);
// Removes every scratch folder of this process (at the end of a test program:
// some tests leave hundreds of MiB behind).
void RemoveScratchFolders();
void WriteFile(const std::string& path, const std::string& bytes);
std::string ReadFile(const std::string& path);
bool FileExists(const std::string& path);
// Deterministic pseudo-random bytes.
std::string RandomBytes(size_t size, uint32_t seed);
// A sparse file of size bytes, zeros except at the given spots: each
// {offset, seed} holds 4096 bytes of RandomBytes(4096, seed) (cut at the
// end of the file). False when the system cannot make it.
bool MakeSparseFile(const std::string& path, uint64_t size, const std::vector<std::pair<uint64_t, uint32_t>>& spots);
// Whether two files hold the same bytes, read a piece at a time.
bool SameFileContents(const std::string& a, const std::string& b);
// A port that no earlier call of this process has given.
int NextPort();

// The blockmend-cli binary of this build.
std::string CliPath();

// A blockmend-cli run: its arguments, its process and its output.
struct CliPeer {
    ChildProcess process;
    int exitCode = -1;
    std::vector<std::string> lines;  // status lines on stdout, converted to code page 932
    std::string errors;              // stderr, as UTF-8
    // Kept apart from the status lines by FinishCli (code page 932, "" when
    // missing): a listener's hint, the summary and the --json object.
    std::string hint;
    std::string summary;
    std::string json;
};

// Starts blockmend-cli with args (after the program name); output goes to
// files in folder named after tag.
bool StartCli(CliPeer& peer, const std::string& folder, const std::string& tag, const std::vector<std::string>& args);
// Waits until stdout holds a line equal to line (code page 932), or the
// time runs out.
bool WaitForLine(const CliPeer& peer, const std::string& line, int timeoutMs);
// Waits for the end (killing the process after timeoutMs) and reads its
// output into lines, hint, summary, json and errors.
void FinishCli(CliPeer& peer, int timeoutMs = 60000);
// Reads what the peer printed so far.
std::vector<std::string> CliLines(const CliPeer& peer);

// Runs a server peer and a client peer to their end: the server is started
// first and the client once the server waits for it.
void RunPair(CliPeer& server, const std::vector<std::string>& serverArgs, CliPeer& client,
             const std::vector<std::string>& clientArgs, const std::string& folder);

// True when lines holds needle as a whole line.
bool HasLine(const std::vector<std::string>& lines, const std::string& needle);
// True when a line of lines begins with prefix.
bool AnyLineStartsWith(const std::vector<std::string>& lines, const std::string& prefix);
// Code page 932 text of a UTF-8 literal (test sources hold literals as code
// page 932 already; this is for text read from UTF-8 files).
std::string ToCp932(const std::string& utf8);
// UTF-8 text of a code page 932 literal, for command-line arguments.
std::string ToUtf8(const std::string& cp932);
// How the test program itself names a file whose name is a code page 932
// literal: UTF-8 on POSIX, the ANSI code page on Windows.
std::string LocalName(const std::string& cp932);
