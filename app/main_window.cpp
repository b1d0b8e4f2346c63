// The main dialog: initialisation, the command handlers, the idle and
// transfer states, Start and Stop. Runs on the UI thread; the worker only
// sends kRestoreIdleMessage, which is handled here on the UI thread.
#include <winsock2.h>
#include <windows.h>
#include <commctrl.h>
#include <objbase.h>

#include "app/main_window.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/code_dialog.h"
#include "app/file_select.h"
#include "app/resource.h"
#include "app/status_list.h"
#include "engine/frontend.h"
#include "engine/lifecycle.h"
#include "engine/transfer_state.h"
#include "wire/block_size.h"

namespace {
// The folder browser needs COM on the thread that runs it; the window's
// thread holds it from the window's start to its end.
bool comStarted = false;

void Enable(HWND window, int id, bool enabled) { EnableWindow(GetDlgItem(window, id), enabled ? TRUE : FALSE); }

void SetCheck(HWND window, int id, bool checked) {
    SendDlgItemMessageA(window, id, BM_SETCHECK, checked ? BST_CHECKED : BST_UNCHECKED, 0);
}

// Every control that changes a setting, with Start: enabled together when
// idle, disabled together while a transfer runs.
const int kSettingControls[] = {IDC_START,  IDC_ORIGINAL,    IDC_COPY,    IDC_NOTHING, IDC_CLIENT,
                                IDC_SERVER, IDC_BROWSE,      IDC_DIVIDE_SIZE, IDC_YOUR_IP, IDC_PORT};

void ChooseRole(HWND window, int32_t role) {
    transferState.netRole = role;
    Enable(window, IDC_REMOTE_IP, role == kClient);
}

void OnDivideSize(HWND window) {
    LRESULT selected = SendDlgItemMessageA(window, IDC_DIVIDE_SIZE, CB_GETCURSEL, 0, 0);
    if (selected != transferState.divideIndex) UpdateBlockFigures(window);
}

void OnBrowse(HWND window) {
    if (transferState.fileType == kNothing) ChooseFolder(window);
    else ChooseFile(window);
}

void OnCommand(HWND window, int id) {
    switch (id) {
    case IDC_ORIGINAL: ChooseFileType(window, kOriginal, IDC_SERVER); break;
    case IDC_COPY: ChooseFileType(window, kCopy, IDC_CLIENT); break;
    case IDC_NOTHING: ChooseFileType(window, kNothing, IDC_CLIENT); break;
    case IDC_CLIENT: ChooseRole(window, kClient); break;
    case IDC_SERVER: ChooseRole(window, kServer); break;
    case IDC_BROWSE: OnBrowse(window); break;
    case IDC_DIVIDE_SIZE: OnDivideSize(window); break;
    case IDC_START: StartFromWindow(window); break;
    case IDC_STOP: RequestStop(); break;
    case IDCANCEL: EndDialog(window, 0); break;
    default: break;
    }
}
}  // namespace

INT_PTR CALLBACK MainDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG:
        InitMainDialog(window);
        return TRUE;
    case WM_COMMAND:
        OnCommand(window, LOWORD(wParam));
        return TRUE;
    case kRestoreIdleMessage:
        FinishTransferInWindow(window);
        return TRUE;
    case WM_SYSCOMMAND:
        if ((wParam & 0xFFF0) != IDM_PAIRING_CODE) return FALSE;
        // The code a transfer pairs with is taken when it starts: it is
        // changed only while the window is idle.
        if (!TransferRunning()) RunCodeDialog(window);
        return TRUE;
    case WM_DESTROY:
        if (comStarted) CoUninitialize();
        comStarted = false;
        return FALSE;
    default:
        return FALSE;
    }
}

void InitMainDialog(HWND window) {
    comStarted = SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE));
    HINSTANCE module = reinterpret_cast<HINSTANCE>(GetWindowLongPtrA(window, GWLP_HINSTANCE));
    HICON icon = LoadIconA(module, MAKEINTRESOURCEA(IDI_ICON1));
    SendMessageA(window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));

    SetDlgItemTextA(window, IDC_FILE, transferState.localPath);

    for (int i = 0; i < kBlockSizeCount; ++i) {
        char text[16];
        snprintf(text, sizeof text, "%u", BlockSizeAt(i));
        SendDlgItemMessageA(window, IDC_DIVIDE_SIZE, CB_INSERTSTRING, static_cast<WPARAM>(i),
                            reinterpret_cast<LPARAM>(text));
    }
    SendDlgItemMessageA(window, IDC_DIVIDE_SIZE, CB_SETCURSEL, 0, 0);

    SetCheck(window, IDC_ORIGINAL, true);
    SetCheck(window, IDC_SERVER, true);

    char port[16];
    snprintf(port, sizeof port, "%d", static_cast<int>(transferState.port));
    SetDlgItemTextA(window, IDC_PORT, port);

    InitStatusList(window);
    ShowLocalAddress(window);
    // The pairing code lives in the system menu: the dialog's own layout
    // stays as it is.
    HMENU system = GetSystemMenu(window, FALSE);
    AppendMenuA(system, MF_SEPARATOR, 0, nullptr);
    AppendMenuA(system, MF_STRING, IDM_PAIRING_CODE, "接続コード(&K)...");
    EnableIdleControls(window);
}

void ShowLocalAddress(HWND window) {
    WSADATA data;
    if (WSAStartup(0x0202, &data) != 0) return;
    char host[260] = {};
    gethostname(host, sizeof host);
    hostent* entry = gethostbyname(host);
    if (entry == nullptr || entry->h_addr_list == nullptr || entry->h_addr_list[0] == nullptr) return;
    in_addr address;
    memcpy(&address, entry->h_addr_list[0], 4);
    SetDlgItemTextA(window, IDC_YOUR_IP, inet_ntoa(address));
}

void EnableIdleControls(HWND window) {
    for (int id : kSettingControls) Enable(window, id, true);
    Enable(window, IDC_REMOTE_IP, transferState.netRole == kClient);
    Enable(window, IDC_STOP, false);
    EnableMenuItem(GetSystemMenu(window, FALSE), IDM_PAIRING_CODE, MF_BYCOMMAND | MF_ENABLED);
}

void EnableTransferControls(HWND window) {
    for (int id : kSettingControls) Enable(window, id, false);
    Enable(window, IDC_REMOTE_IP, false);
    Enable(window, IDC_STOP, true);
    EnableMenuItem(GetSystemMenu(window, FALSE), IDM_PAIRING_CODE, MF_BYCOMMAND | MF_GRAYED);
}

void ChooseFileType(HWND window, int32_t type, int roleButton) {
    transferState.fileType = type;
    SendMessageA(window, WM_COMMAND, MAKEWPARAM(roleButton, 0), 0);
    SetCheck(window, IDC_CLIENT, roleButton == IDC_CLIENT);
    SetCheck(window, IDC_SERVER, roleButton == IDC_SERVER);
    const int32_t needed = type == kNothing ? kFolderSelected : kFileSelected;
    Enable(window, IDC_START, transferState.selectionKind == needed);
}

void StartFromWindow(HWND window) {
    // The window is idle again before the last worker has quite ended (it
    // still closes its handle after FinishTransferInWindow); a click in that
    // moment is not taken as a second transfer.
    if (TransferRunning()) return;
    char port[6] = {};
    GetDlgItemTextA(window, IDC_PORT, port, sizeof port);
    transferState.port = atoi(port);
    transferState.mainWindow = window;
    if (!StartTransfer()) {
        AddStatusLine("スレッドを作成できませんでした");
        return;
    }
    NoteTransferChange();
    // A worker that ends at once waits in SendMessage until this handler
    // has returned, so the idle state that it asks for comes after this.
    EnableTransferControls(window);
}

void FinishTransferInWindow(HWND window) {
    NoteTransferChange();
    EnableIdleControls(window);
    const bool becameCopy = transferState.newFileMode == 1 && transferState.fileType == kCopy;
    const FileInfoResult settled = SettleSelectionAfterTransfer();
    if (becameCopy) {
        SendMessageA(window, WM_COMMAND, MAKEWPARAM(IDC_COPY, 0), 0);
        SetCheck(window, IDC_COPY, true);
        SetCheck(window, IDC_NOTHING, false);
    }
    if (transferState.fileType == kCopy) ShowSettledSelection(window, settled);
}

