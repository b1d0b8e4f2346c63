// The GUI tests' harness: the main dialog run modally on a UI thread of its
// own, as the program runs it, and driven from the test thread with
// synchronous messages; readers of control state; a watcher that answers
// the message boxes a test expects. The test thread plays the part of the
// user and, where a test calls front-end functions directly, of the worker.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

// The main dialog on its own UI thread.
struct WindowUnderTest {
    HWND window = nullptr;
    HANDLE thread = nullptr;
    HANDLE ready = nullptr;
    INT_PTR result = -1;  // the dialog's result once it has ended
};

// Runs fn on the main dialog's UI thread, also while that thread runs a
// dialog or message box of its own; returns once fn has run.
void RunOnUiThread(HWND window, const std::function<void()>& fn);

// Runs MAINDLG modally on a new UI thread; returns after WM_INITDIALOG.
void OpenMainWindow(WindowUnderTest& under);
// Esc (IDCANCEL); waits for the UI thread's end. The dialog's result.
INT_PTR CloseMainWindow(WindowUnderTest& under);

// Puts the transfer record back to its values at program start.
void ResetTransferState();

// Control state, read through messages to the control's thread.
bool Checked(HWND dialog, int id);
bool Enabled(HWND dialog, int id);
// The main window in its transfer state: every setting disabled, Stop enabled.
bool InTransferState(HWND window);
// The main window idle: settings enabled, Remote IP only for a Client, Stop disabled.
bool Idle(HWND window);
std::string Text(HWND dialog, int id);
void SetText(HWND dialog, int id, const std::string& text);
// The user's click: the button checks itself (auto radio) and notifies.
void Click(HWND dialog, int id);
// Texts of the status list's items, top to bottom.
std::vector<std::string> StatusLines(HWND dialog);

// Polls condition every 10 ms until it holds or timeoutMs have passed.
bool WaitUntil(const std::function<bool()>& condition, int timeoutMs);
// Waits for the worker's end (the UI thread keeps running meanwhile).
bool WaitForWorker(int timeoutMs);

// A top-level dialog window (#32770) of this process with this title, or null.
HWND FindDialog(const std::string& title);
// Waits for such a window.
HWND WaitForDialog(const std::string& title, int timeoutMs);

// Presses button id of a dialog that another thread runs, again every half
// second until the dialog is gone (a chooser still filling its lists may not
// take the first press); prepare runs before each press.
bool PressUntilClosed(HWND dialog, int id, const std::function<void()>& prepare = nullptr);

// Answers one message box of a given caption, shown by any thread of this
// process: records its text and presses OK.
struct BoxWatch {
    std::string caption;
    std::string text;
    bool seen = false;
    std::thread thread;
};
void WatchForBox(BoxWatch& watch, const std::string& caption, int timeoutMs);
void EndWatch(BoxWatch& watch);

// Error boxes that reached the test hook (tests that expect no box check
// this stays empty; tests of the real box clear the hook).
extern std::vector<std::string> hookedErrorBoxes;

// A file of exactly size bytes, sparse where the file system allows.
bool MakeFileOfSize(const std::string& path, unsigned long long size);

// Every test of the window: a fresh record, a fresh main dialog, the error
// box hook recording.
class WindowTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    HWND Window() const { return under_.window; }

    WindowUnderTest under_;
};
