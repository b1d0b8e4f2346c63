// The test front end: records every status line and system error, and
// answers the overwrite question from a script. Tests read and set it from
// the test thread while no worker runs, or after WaitForTransferEnd.
#pragma once

#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

struct Recorder {
    std::mutex mutex;
    std::vector<std::string> lines;        // status lines as they stand now
    std::vector<std::string> errors;       // texts of ShowSystemError
    std::deque<int> overwriteAnswers;      // answers of AskOverwrite; kCancel when empty
    std::deque<std::string> saveAsNames;   // names given with kSaveAs
    int overwriteQuestions = 0;
    std::string remoteIp = "127.0.0.1";
    std::string programFolder;             // code page 932, ending in a separator
    int restoreCalls = 0;
    std::function<void(const std::string&)> onLine;  // called with each added line, under the lock
};

extern Recorder recorder;

// Clears what was recorded (not the settings).
void ResetRecorder();
// The recorded lines, copied under the lock.
std::vector<std::string> RecordedLines();
