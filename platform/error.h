// The last system error of the calling thread, captured by the platform
// functions at the moment they fail, and its text for the user.
#pragma once

#include <string>

// Remembers the error of the system call that just failed (errno or
// GetLastError). Called by the platform layer only.
void SaveLastError();
// Marks the last error as a sharing violation: the file is held by another
// opener.
void SaveSharingViolation();
// Sets an error of the platform layer's own with a given text (code page 932).
void SaveErrorText(const char* text);
// What the failing call of the platform layer was doing, and on what (a
// path in the path encoding, or a port), saved beside the error: the
// window shows the error's text alone, the command-line peer names both.
// Each platform function that knows its path or port saves it before its
// system calls; the place stays until the next one does.
enum class ErrorOperation { kNone, kOpen, kRead, kWrite, kRename, kUseFolder };
void SaveErrorPlace(ErrorOperation operation, const char* subject);
ErrorOperation LastErrorOperation();
std::string LastErrorSubject();
// The system's text for the last saved error, in code page 932, without a
// trailing line break.
std::string SystemErrorText();
