// What the failing call of the platform layer was doing and on what, kept
// per thread beside the error itself. The storage is plain characters: a
// thread-local object with a destructor would run it as the worker thread
// ends, which can meet the process's own exit on Windows and hold it up.
#include "platform/error.h"

#include <cstdio>

namespace {
thread_local ErrorOperation lastOperation = ErrorOperation::kNone;
thread_local char lastSubject[4096];
}  // namespace

void SaveErrorPlace(ErrorOperation operation, const char* subject) {
    lastOperation = operation;
    snprintf(lastSubject, sizeof lastSubject, "%s", subject);
}

ErrorOperation LastErrorOperation() { return lastOperation; }
std::string LastErrorSubject() { return lastSubject; }
