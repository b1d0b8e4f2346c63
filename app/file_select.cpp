// Choosing the local file or folder, reading the file's size, and the block
// figures that follow from the Devide Size box. UI thread.
#include <windows.h>

#include <commdlg.h>
#include <shlobj.h>

#include "app/file_select.h"

#include <atomic>
#include <cstdio>
#include <cstring>

#include "app/resource.h"
#include "app/status_list.h"
#include "engine/fileinfo.h"
#include "engine/frontend.h"
#include "engine/transfer_state.h"
#include "platform/text.h"
#include "wire/block_size.h"

namespace {
void ClearSelection(HWND window) {
    transferState.localPath[0] = '\0';
    SetDlgItemTextA(window, IDC_FILE, "");
    transferState.fileTitle[0] = '\0';
    transferState.selectionKind = kNoSelection;
}

void ShowBlockFigures(HWND window) {
    char text[24];
    snprintf(text, sizeof text, "%lld", static_cast<long long>(transferState.uiBlockCount));
    SetDlgItemTextA(window, IDC_DIVIDES, text);
    snprintf(text, sizeof text, "%lld", static_cast<long long>(transferState.crcDataSize));
    SetDlgItemTextA(window, IDC_CRC_DATA_SIZE, text);
}

// The chosen file as the record holds it: size, path, block size and
// figures, Start enabled.
void ShowChosenFile(HWND window) {
    char text[24];
    snprintf(text, sizeof text, "%llu", static_cast<unsigned long long>(transferState.localSize));
    SetDlgItemTextA(window, IDC_SIZE, text);
    SetDlgItemTextA(window, IDC_FILE, transferState.localPath);
    SendDlgItemMessageA(window, IDC_DIVIDE_SIZE, CB_SETCURSEL, static_cast<WPARAM>(transferState.divideIndex), 0);
    ShowBlockFigures(window);
    EnableWindow(GetDlgItem(window, IDC_START), TRUE);
}

void ShowFileError(FileInfoResult result) {
    if (result == FileInfoResult::TooLarge) ShowErrorBox(kTooLargeText);
    else ShowSystemError();
}
}  // namespace

bool EndsWithBackslash(const char* path) { return path[0] != '\0' && path[PathNameStart(path)] == '\0'; }

void ChooseFile(HWND window) {
    // The dialog fills buffers of its own, which become the selection only
    // when a file was chosen: a cancelled or failed dialog leaves the
    // selection as it was. A folder selection starts it without a file name.
    char path[kPathSize] = {};
    char title[kPathSize] = {};
    if (transferState.selectionKind != kFolderSelected) memcpy(path, transferState.localPath, kPathSize);

    OPENFILENAMEA request;
    memset(&request, 0, sizeof request);
    request.lStructSize = OPENFILENAME_SIZE_VERSION_400A;
    request.hwndOwner = window;
    request.lpstrFilter = "All Files(*.*)\0*.*\0";
    request.lpstrFile = path;
    request.nMaxFile = kPathSize;
    request.lpstrFileTitle = title;
    request.nMaxFileTitle = kPathSize;
    request.lpstrTitle = "Open File";
    request.Flags = OFN_FILEMUSTEXIST;
    const unsigned changes = TransferChanges();
    if (!GetOpenFileNameA(&request) || TransferChanges() != changes) return;
    memcpy(transferState.localPath, path, kPathSize);
    memcpy(transferState.fileTitle, title, kPathSize);
    LoadSelectedFile(window);
}

void ChooseFolder(HWND window) {
    BROWSEINFOA request;
    memset(&request, 0, sizeof request);
    request.ulFlags = BIF_RETURNONLYFSDIRS;
    // The browser has no owner: Start stays usable while it is open, and a
    // folder picked after a transfer began or ended is dropped.
    const unsigned changes = TransferChanges();
    LPITEMIDLIST chosen = SHBrowseForFolderA(&request);
    if (chosen != nullptr && TransferChanges() == changes) {
        char path[kPathSize] = {};
        SHGetPathFromIDListA(chosen, path);
        TakeFolderSelection(window, path);
    }
    CoTaskMemFree(chosen);
}

void TakeFolderSelection(HWND window, const char* path) {
    snprintf(transferState.localPath, kPathSize, "%s", path);
    size_t length = strlen(transferState.localPath);
    // A drive root (C:\) already ends in its backslash. A folder path of 259
    // bytes has no room for one; no name can be joined to it then anyway.
    if (!EndsWithBackslash(transferState.localPath) && length + 1 < static_cast<size_t>(kPathSize)) {
        transferState.localPath[length] = '\\';
        transferState.localPath[length + 1] = '\0';
    }
    SetDlgItemTextA(window, IDC_FILE, transferState.localPath);
    transferState.selectionKind = kFolderSelected;
    EnableWindow(GetDlgItem(window, IDC_START), TRUE);
}

namespace {
std::atomic<unsigned> transferChanges{0};
}  // namespace

void NoteTransferChange() { ++transferChanges; }

unsigned TransferChanges() { return transferChanges.load(); }

void LoadSelectedFile(HWND window) {
    const unsigned changes = TransferChanges();
    const FileInfoResult result = ReadLocalFileInfo();
    if (result == FileInfoResult::Ok) {
        SetBlockFigures(SuggestBlockSizeIndex(transferState.localSize));
        transferState.selectionKind = kFileSelected;
        ShowChosenFile(window);
        return;
    }
    ShowFileError(result);
    // The error box leaves Start usable: a transfer started meanwhile keeps
    // the selection that it took.
    if (TransferChanges() == changes) ClearSelection(window);
}

void ShowSettledSelection(HWND window, FileInfoResult settled) {
    if (settled == FileInfoResult::Ok) {
        if (transferState.selectionKind == kFileSelected) ShowChosenFile(window);
        return;
    }
    // The record has let the selection go already; the box comes after the
    // window shows that, so a Start pressed meanwhile finds no file.
    SetDlgItemTextA(window, IDC_FILE, "");
    ShowFileError(settled);
}

void UpdateBlockFigures(HWND window) {
    LRESULT selected = SendDlgItemMessageA(window, IDC_DIVIDE_SIZE, CB_GETCURSEL, 0, 0);
    SetBlockFigures(selected < 0 ? 0 : static_cast<int32_t>(selected));
    ShowBlockFigures(window);
}
