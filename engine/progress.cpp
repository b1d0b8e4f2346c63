// Throttled progress lines (worker thread).
#include "engine/progress.h"

#include <cstring>

#include "engine/frontend.h"
#include "platform/thread.h"

namespace {
constexpr uint64_t kIntervalMs = 33;
uint64_t lastShown = 0;
char held[512];
bool holding = false;
bool addingProgress = false;
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
    if (holding) ShowProgress(held);
}

void AddProgressLine(const char* text) {
    FlushProgress();
    lastShown = MonotonicMilliseconds();
    addingProgress = true;
    AddStatusLine(text);
    addingProgress = false;
}

bool AddingProgressLine() { return addingProgress; }
