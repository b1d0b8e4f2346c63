// Throttled progress lines (worker thread).
#include "engine/progress.h"

#include <cstdio>

#include <cstring>

#include "engine/frontend.h"
#include "engine/transfer_state.h"
#include "platform/thread.h"

namespace {
constexpr uint64_t kIntervalMs = kWatchedPaceMs;
uint64_t lastShown = 0;
char held[512];
bool holding = false;
bool addingProgress = false;
int32_t progressLine = -1;  // statusLineCount just after the progress line was added
}  // namespace

bool ProgressDue() { return MonotonicMilliseconds() - lastShown >= kIntervalMs; }

void ShowProgress(const char* text) {
    holding = false;
    lastShown = MonotonicMilliseconds();
    ReplaceLastStatusLine(text);
}

void HoldProgress(const char* text) {
    strncpy(held, text, sizeof held - 1);
    held[sizeof held - 1] = '\0';
    holding = true;
}

void FlushProgress() {
    // A held value belongs to the progress line; once another line follows
    // it (a failure, the lost connection), rewriting the last line would
    // replace that line instead.
    if (holding && transferState.statusLineCount == progressLine) ShowProgress(held);
    holding = false;
}

void AddProgressLine(const char* text) {
    FlushProgress();
    lastShown = MonotonicMilliseconds();
    addingProgress = true;
    AddStatusLine(text);
    addingProgress = false;
    progressLine = transferState.statusLineCount;
}

bool AddingProgressLine() { return addingProgress; }

void FormatByteProgress(char* out, size_t size, const char* label, uint64_t done, uint64_t total) {
    double percent = total == 0 ? 100.0 : static_cast<double>(done) / static_cast<double>(total) * 100.0;
    snprintf(out, size, "%s%llu / %llu (%.0f%%)", label, static_cast<unsigned long long>(done),
             static_cast<unsigned long long>(total), percent);
}
