// The choice of the local file or folder and the block figures shown for
// it. UI thread (LoadSelectedFile also at the end of a transfer, still on
// the UI thread through FinishTransferInWindow).
#pragma once

#include <windows.h>

// Browse under Original or Copy: the open-file dialog, then LoadSelectedFile.
void ChooseFile(HWND window);
// Browse under Nothing: the folder browser, then TakeFolderSelection.
void ChooseFolder(HWND window);
// Makes path (a folder) the selection: a backslash appended unless the path
// already ends in one, shown in IDC_FILE, selectionKind 2, Start enabled.
void TakeFolderSelection(HWND window, const char* path);
// Takes localPath as the chosen file: size, suggested block size and
// figures shown, Start enabled; or, when it cannot be used, the error box
// and the selection cleared.
void LoadSelectedFile(HWND window);
// Reads localPath's size into the record and IDC_SIZE: 0, or -1 after the
// error box (a file that cannot be opened, or one of 4 GiB or more).
int ReadLocalFileSize(HWND window);
// Block figures from the IDC_DIVIDE_SIZE selection, shown in IDC_DIVIDES
// and IDC_CRC_DATA_SIZE.
void UpdateBlockFigures(HWND window);
// True when a path ends in a separator (PathNameStart: a trail byte 0x5C of
// a double-byte character does not count).
bool EndsWithBackslash(const char* path);
