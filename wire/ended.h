// How the message layer ends a transfer: by throwing LinkEnded with the
// status line that says why, which only the engine's thread entry catches
// (after the unwinding has released everything). Header only: every file
// of wire/ may end a transfer without calling into another.
#pragma once

// line: the status line (code page 932) that says why; null after a Stop.
struct LinkEnded {
    const char* line;
};

[[noreturn]] inline void EndLink(const char* line) { throw LinkEnded{line}; }
