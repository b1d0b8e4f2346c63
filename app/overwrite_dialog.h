// The overwrite question OVERWRITE_DLG, run modally on the worker thread
// while the main window stays with the UI thread.
#pragma once

#include <windows.h>

INT_PTR CALLBACK OverwriteDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
// Runs OVERWRITE_DLG owned by owner for transferState.incomingName: 1019
// (overwrite), 1020 (incomingName holds the typed name) or 2 (cancel).
int RunOverwriteDialog(HWND owner);
