// The choice of the local file or folder and the block figures shown for
// it. UI thread.
#pragma once

#include <windows.h>

#include "engine/fileinfo.h"

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
// At the end of a transfer, after SettleSelectionAfterTransfer: the
// selection as the record now holds it, or the error box for a file that
// can no longer be used (the record has let it go).
void ShowSettledSelection(HWND window, FileInfoResult settled);
// Block figures from the IDC_DIVIDE_SIZE selection, shown in IDC_DIVIDES
// and IDC_CRC_DATA_SIZE.
void UpdateBlockFigures(HWND window);
// Counts every start and every end of a transfer in the window (the main
// window notes each). The folder browser and the error box leave the
// window usable: what they were opened for is void when this count changed
// while they were open, because a transfer began or ended meanwhile. Any
// thread.
void NoteTransferChange();
unsigned TransferChanges();
// True when a path ends in a separator (PathNameStart: a trail byte 0x5C of
// a double-byte character does not count).
bool EndsWithBackslash(const char* path);
