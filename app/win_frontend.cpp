// The rest of the engine's front-end interface for the window: the remote
// address, the program's folder for the comparison log, the overwrite
// question and the end of a transfer. Worker thread; the window is reached
// by synchronous messages only.
#include <windows.h>

#include "app/win_frontend.h"

#include "app/main_window.h"
#include "app/overwrite_dialog.h"
#include "app/resource.h"
#include "engine/frontend.h"
#include "engine/transfer_state.h"
#include "platform/text.h"

namespace {
HWND MainWindow() { return static_cast<HWND>(transferState.mainWindow); }
}  // namespace

void KeepFolderOfPath(char* path) { path[PathNameStart(path)] = '\0'; }

// The window shows the protocol in its status list (a line for protocol 2
// only, as a peer of protocol 1 expects the list to read).
void NoteProtocol(int32_t) {}

void ReadRemoteIp(char* text, int size) { GetDlgItemTextA(MainWindow(), IDC_REMOTE_IP, text, size); }

void GetProgramFolder(char* folder) {
    DWORD n = GetModuleFileNameA(static_cast<HMODULE>(transferState.instance), folder, kPathSize);
    folder[n < static_cast<DWORD>(kPathSize) ? n : kPathSize - 1] = '\0';
    KeepFolderOfPath(folder);
}

int AskOverwrite() {
    switch (RunOverwriteDialog(MainWindow())) {
    case IDC_OVERWRITE: return kOverwrite;
    case IDC_SAVE_AS: return kSaveAs;
    default: return kCancel;
    }
}

void RestoreIdleWindow() { SendMessageA(MainWindow(), kRestoreIdleMessage, 0, 0); }
