// Progress lines: a phase adds a status line and then rewrites it after each
// block or piece. A pass over a million blocks must not cost a million
// window messages or terminal writes, so rewrites are held back to about 30
// a second; the line always ends showing its final value. Worker thread.
#pragma once

#include <cstddef>
#include <cstdint>

// True when the line may be rewritten now (enough time since the last
// rewrite). The caller formats its text only then.
bool ProgressDue();
// Rewrites the last status line with text, now.
void ShowProgress(const char* text);
// Remembers text as the line's newest value without showing it yet; it is
// shown at the next ShowProgress, AddProgressLine or FlushProgress.
void HoldProgress(const char* text);
// Shows a held value, if any, while the progress line is still the last
// line; a value held under a later line is dropped. Called before a
// transfer ends and before a line that ends a phase early.
void FlushProgress();
// "%s%llu / %llu (%.0f%%)": label, the bytes so far and the phase's total,
// printed unsigned, and the percentage.
void FormatByteProgress(char* out, size_t size, const char* label, uint64_t done, uint64_t total);
// Adds the first line of a progress phase.
void AddProgressLine(const char* text);
// True while AddProgressLine adds its line: a front end that prints lines
// once (not to a window or terminal) may hold such a line for its last value.
bool AddingProgressLine();
