// The pairing code dialog CODE_DLG, opened from the main window's system
// menu: a code to pair with (typed, or made anew and shown selectable, so it
// can be read out or copied), or none. UI thread.
#pragma once

#include <windows.h>

INT_PTR CALLBACK CodeDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
// Runs CODE_DLG owned by owner; on OK transferState.pairingCode holds the
// code (empty: none). True on OK.
bool RunCodeDialog(HWND owner);
// Characters of a code page 932 text (a lead byte and its trail count once).
size_t CountCp932Characters(const char* text);
