// Entry point of blockmend.exe: registers the list view class, then runs the
// main dialog on this, the UI thread, until the user closes it.
#include <windows.h>
#include <commctrl.h>

#include "app/main_window.h"
#include "engine/lifecycle.h"
#include "engine/transfer_state.h"
#include "platform/text.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    transferState.instance = instance;
    // The window's names are those of its ANSI functions.
    UsePathEncoding(PathEncoding::kCp932);
    INITCOMMONCONTROLSEX controls;
    controls.dwSize = sizeof controls;
    controls.dwICC = ICC_LISTVIEW_CLASSES;
    InitCommonControlsEx(&controls);
    DialogBoxParamA(instance, "MAINDLG", nullptr, MainDialogProc, 0);
    // Closing the window ends the program at once, also in a transfer: the
    // worker is neither told nor waited for, and must not see the process's
    // static objects taken down under it.
    if (TransferRunning()) ExitProcess(0);
    return 0;
}
