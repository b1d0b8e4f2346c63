// The main dialog MAINDLG: its dialog procedure and the handlers that it
// dispatches to. UI thread, except that the worker reaches
// FinishTransferInWindow through kRestoreIdleMessage.
#pragma once

#include <windows.h>

#include <cstdint>

// Sent (never posted) by the worker at the end of every transfer; the UI
// thread then puts the window back into its idle state in one piece.
constexpr UINT kRestoreIdleMessage = WM_APP + 1;

INT_PTR CALLBACK MainDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// WM_INITDIALOG: icon, block sizes, FileType and role checks, port, status
// list column, local address, idle state.
void InitMainDialog(HWND window);
// Shows this host's first IPv4 address in IDC_YOUR_IP; silent when there is none.
void ShowLocalAddress(HWND window);
// Idle: every setting, Browse and Start enabled, Remote IP only for a Client, Stop disabled.
void EnableIdleControls(HWND window);
// Transfer running: only Stop enabled among the settings and buttons.
void EnableTransferControls(HWND window);
// The FileType radio buttons: fileType := type, the role's button command,
// the role checks, and Start enabled exactly when the selection suits type.
void ChooseFileType(HWND window, int32_t type, int roleButton);
// The Start button: port from IDC_PORT, the worker started, transfer state.
void StartFromWindow(HWND window);
// The end of a transfer on the UI thread: idle state, then the record's end
// (SettleSelectionAfterTransfer) shown: the switch of a side that received a
// new file to Copy, and a Copy's figures or the box for a file now unusable.
void FinishTransferInWindow(HWND window);

