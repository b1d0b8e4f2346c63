// The overwrite question OVERWRITE_DLG, run modally on the worker thread
// while the main window stays with the UI thread.
#pragma once

#include <windows.h>

INT_PTR CALLBACK OverwriteDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
// Runs OVERWRITE_DLG owned by owner for transferState.incomingName: the id
// of the choice, IDC_OVERWRITE, IDC_SAVE_AS (incomingName holds the typed
// name) or IDCANCEL.
int RunOverwriteDialog(HWND owner);
