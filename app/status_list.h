// The status list at the foot of the main window and the error box. The
// list is filled from the worker by synchronous messages; error boxes show
// on the thread that calls them.
#pragma once

#include <windows.h>

// Gives IDC_STATUS_LIST its one column, 600 pixels wide. UI thread.
void InitStatusList(HWND window);
// Message box without owner, caption "Error", OK and the information icon.
void ShowErrorBox(const char* text);
// When set, ShowErrorBox hands its text here instead of showing a box (for
// the tests, which cannot answer a box that nobody expected).
extern void (*errorBoxHook)(const char* text);
