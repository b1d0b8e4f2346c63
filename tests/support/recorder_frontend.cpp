// The recording front end linked into the test programs.
#include <cstring>

#include "engine/fileinfo.h"
#include "engine/frontend.h"
#include "engine/transfer_state.h"
#include "platform/error.h"
#include "tests/support/recorder.h"

Recorder recorder;

void ResetRecorder() {
    std::lock_guard<std::mutex> lock(recorder.mutex);
    recorder.lines.clear();
    recorder.errors.clear();
    recorder.overwriteAnswers.clear();
    recorder.saveAsNames.clear();
    recorder.overwriteQuestions = 0;
    recorder.restoreCalls = 0;
    recorder.onLine = nullptr;
}

std::vector<std::string> RecordedLines() {
    std::lock_guard<std::mutex> lock(recorder.mutex);
    return recorder.lines;
}

void AddStatusLine(const char* text) {
    std::lock_guard<std::mutex> lock(recorder.mutex);
    recorder.lines.push_back(text);
    ++transferState.statusLineCount;
    if (recorder.onLine) recorder.onLine(text);
}

void ReplaceLastStatusLine(const char* text) {
    std::lock_guard<std::mutex> lock(recorder.mutex);
    if (!recorder.lines.empty()) recorder.lines.back() = text;
}

void ShowSystemError() {
    std::string text = SystemErrorText();
    std::lock_guard<std::mutex> lock(recorder.mutex);
    recorder.errors.push_back(text);
}

int AskOverwrite() {
    std::lock_guard<std::mutex> lock(recorder.mutex);
    ++recorder.overwriteQuestions;
    if (recorder.overwriteAnswers.empty()) return kCancel;
    int answer = recorder.overwriteAnswers.front();
    recorder.overwriteAnswers.pop_front();
    if (answer == kSaveAs) {
        std::string name = recorder.saveAsNames.empty() ? std::string() : recorder.saveAsNames.front();
        if (!recorder.saveAsNames.empty()) recorder.saveAsNames.pop_front();
        strncpy(transferState.incomingName, name.c_str(), kPathSize - 1);
        transferState.incomingName[kPathSize - 1] = '\0';
    }
    return answer;
}

void NoteProtocol(int32_t) {}

void ReadRemoteIp(char* text, int size) {
    std::lock_guard<std::mutex> lock(recorder.mutex);
    strncpy(text, recorder.remoteIp.c_str(), static_cast<size_t>(size) - 1);
    text[size - 1] = '\0';
}

void GetProgramFolder(char* folder) {
    std::lock_guard<std::mutex> lock(recorder.mutex);
    strncpy(folder, recorder.programFolder.c_str(), kPathSize - 1);
    folder[kPathSize - 1] = '\0';
}

void RestoreIdleWindow() {
    {
        std::lock_guard<std::mutex> lock(recorder.mutex);
        ++recorder.restoreCalls;
    }
    if (SettleSelectionAfterTransfer() == FileInfoResult::CannotOpen) ShowSystemError();
}
