// The overwrite question: overwrite the existing file, save under another
// name, or cancel. Runs modally on the worker thread, owned by the main
// window of the UI thread.
#include "app/overwrite_dialog.h"

#include <cstdio>

#include "app/resource.h"
#include "engine/transfer_state.h"

namespace {
void InitOverwriteDialog(HWND window) {
    // The whole name fits: up to 259 bytes, two quotes and 20 bytes of text.
    char message[kPathSize + 22];
    snprintf(message, sizeof message, "\"%s\"は既に存在しています", transferState.incomingName);
    SetDlgItemTextA(window, IDC_NEW_NAME, transferState.incomingName);
    SetDlgItemTextA(window, IDC_MESSAGE, message);
    SendDlgItemMessageA(window, IDC_SAVE_AS, BM_SETCHECK, BST_CHECKED, 0);
}

void ConfirmChoice(HWND window) {
    if (SendDlgItemMessageA(window, IDC_OVERWRITE, BM_GETCHECK, 0, 0) == BST_CHECKED) {
        EndDialog(window, IDC_OVERWRITE);
        return;
    }
    GetDlgItemTextA(window, IDC_NEW_NAME, transferState.incomingName, kPathSize);
    EndDialog(window, IDC_SAVE_AS);
}
}  // namespace

INT_PTR CALLBACK OverwriteDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM) {
    if (message == WM_INITDIALOG) {
        InitOverwriteDialog(window);
        return TRUE;
    }
    if (message != WM_COMMAND) return FALSE;
    switch (LOWORD(wParam)) {
    case IDC_OVERWRITE: EnableWindow(GetDlgItem(window, IDC_NEW_NAME), FALSE); break;
    case IDC_SAVE_AS: EnableWindow(GetDlgItem(window, IDC_NEW_NAME), TRUE); break;
    case IDOK: ConfirmChoice(window); break;
    case IDCANCEL: EndDialog(window, IDCANCEL); break;
    default: break;
    }
    return FALSE;
}

int RunOverwriteDialog(HWND owner) {
    return static_cast<int>(DialogBoxParamA(static_cast<HINSTANCE>(transferState.instance), "OVERWRITE_DLG", owner,
                                            OverwriteDialogProc, 0));
}
