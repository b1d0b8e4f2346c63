// The status list and the error box. InitStatusList runs on the UI thread;
// AddStatusLine and ReplaceLastStatusLine run on the worker and reach the
// list by SendMessage, so the UI thread does the work and the line is in
// the list when they return. Error boxes show on the calling thread.
#include <windows.h>
#include <commctrl.h>

#include "app/status_list.h"

#include <string>

#include "app/resource.h"
#include "engine/frontend.h"
#include "engine/transfer_state.h"
#include "platform/error.h"

void (*errorBoxHook)(const char* text) = nullptr;

namespace {
HWND StatusList() { return GetDlgItem(static_cast<HWND>(transferState.mainWindow), IDC_STATUS_LIST); }
}  // namespace

void InitStatusList(HWND window) {
    LVCOLUMNA column;
    ZeroMemory(&column, sizeof column);
    column.mask = LVCF_FMT | LVCF_WIDTH;
    column.fmt = LVCFMT_LEFT;
    column.cx = 600;
    SendDlgItemMessageA(window, IDC_STATUS_LIST, LVM_INSERTCOLUMNA, 0, reinterpret_cast<LPARAM>(&column));
}

void AddStatusLine(const char* text) {
    HWND list = StatusList();
    LVITEMA item;
    ZeroMemory(&item, sizeof item);
    item.mask = LVIF_TEXT;
    item.iItem = transferState.statusLineCount;
    item.pszText = const_cast<char*>(text);
    LRESULT index = SendMessageA(list, LVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&item));
    ++transferState.statusLineCount;
    SendMessageA(list, LVM_ENSUREVISIBLE, static_cast<WPARAM>(index), TRUE);
}

void ReplaceLastStatusLine(const char* text) {
    LVITEMA item;
    ZeroMemory(&item, sizeof item);
    item.iSubItem = 0;
    item.pszText = const_cast<char*>(text);
    SendMessageA(StatusList(), LVM_SETITEMTEXTA, static_cast<WPARAM>(transferState.statusLineCount - 1),
                 reinterpret_cast<LPARAM>(&item));
}

void ShowErrorBox(const char* text) {
    if (errorBoxHook != nullptr) {
        errorBoxHook(text);
        return;
    }
    MessageBoxA(nullptr, text, "Error", MB_OK | MB_ICONINFORMATION);
}

void ShowSystemError() {
    std::string text = SystemErrorText();
    ShowErrorBox(text.c_str());
}
