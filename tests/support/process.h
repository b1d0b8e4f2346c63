// Child processes for the tests that run blockmend-cli peers: started with
// their output in files, waited for with a time limit, killed on demand.
#pragma once

#include <string>
#include <vector>

struct ChildProcess {
    intptr_t handle = 0;  // pid or process HANDLE
    std::string outPath;  // file that receives stdout
    std::string errPath;  // file that receives stderr
};

// Starts args[0] with args, stdout and stderr going to the two files.
bool SpawnProcess(ChildProcess& child, const std::vector<std::string>& args, const std::string& outPath,
                  const std::string& errPath);
// Exit code, or -1 when the process did not end within timeoutMs (it then
// still runs).
int WaitProcess(ChildProcess& child, int timeoutMs);
void KillProcess(ChildProcess& child);
void SleepMs(int ms);
// Number of open descriptors (POSIX) or handles (Windows) of this process.
int OpenHandleCount();
