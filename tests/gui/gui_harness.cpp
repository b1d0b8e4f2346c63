// The GUI tests' harness (see gui_harness.h). The main dialog's UI thread is
// started here; everything else runs on the test thread or the box watcher.
#include "tests/gui/gui_harness.h"
#include "tests/support/transfer_reset.h"

#include <commctrl.h>

#include <cstring>
#include <mutex>

#include "app/main_window.h"
#include "app/resource.h"
#include "app/status_list.h"
#include "engine/lifecycle.h"
#include "engine/transfer_state.h"

std::vector<std::string> hookedErrorBoxes;

namespace {
std::mutex hookMutex;
constexpr UINT kRunOnUiThreadMessage = WM_APP + 40;

void RecordErrorBox(const char* text) {
    std::lock_guard<std::mutex> lock(hookMutex);
    hookedErrorBoxes.push_back(text);
}

INT_PTR CALLBACK HarnessDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == kRunOnUiThreadMessage) {
        (*reinterpret_cast<const std::function<void()>*>(lParam))();
        return TRUE;
    }
    INT_PTR result = MainDialogProc(window, message, wParam, lParam);
    if (message == WM_INITDIALOG) {
        auto* under = reinterpret_cast<WindowUnderTest*>(lParam);
        under->window = window;
        SetEvent(under->ready);
    }
    return result;
}

DWORD WINAPI UiThread(LPVOID arg) {
    auto* under = static_cast<WindowUnderTest*>(arg);
    under->result = DialogBoxParamA(static_cast<HINSTANCE>(transferState.instance), "MAINDLG", nullptr,
                                    HarnessDialogProc, reinterpret_cast<LPARAM>(under));
    return 0;
}

std::string ClassOf(HWND window) {
    char name[64] = {};
    GetClassNameA(window, name, sizeof name);
    return name;
}

struct FindRequest {
    const std::string* title;
    HWND found;
};

BOOL CALLBACK FindDialogCallback(HWND window, LPARAM arg) {
    auto* request = reinterpret_cast<FindRequest*>(arg);
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    if (pid != GetCurrentProcessId() || ClassOf(window) != "#32770" || !IsWindowVisible(window)) return TRUE;
    char title[512] = {};
    GetWindowTextA(window, title, sizeof title);
    if (*request->title != title) return TRUE;
    request->found = window;
    return FALSE;
}

BOOL CALLBACK LongestStaticText(HWND child, LPARAM arg) {
    auto* text = reinterpret_cast<std::string*>(arg);
    if (_stricmp(ClassOf(child).c_str(), "Static") != 0) return TRUE;
    char buffer[1024] = {};
    GetWindowTextA(child, buffer, sizeof buffer);
    if (strlen(buffer) > text->size()) *text = buffer;
    return TRUE;
}
}  // namespace

void RunOnUiThread(HWND window, const std::function<void()>& fn) {
    SendMessageA(window, kRunOnUiThreadMessage, 0, reinterpret_cast<LPARAM>(&fn));
}

void OpenMainWindow(WindowUnderTest& under) {
    under.ready = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    under.thread = CreateThread(nullptr, 0, UiThread, &under, 0, nullptr);
    ASSERT_EQ(WaitForSingleObject(under.ready, 20000), WAIT_OBJECT_0) << "the main dialog did not open";
}

INT_PTR CloseMainWindow(WindowUnderTest& under) {
    if (under.thread == nullptr) return -1;
    SendMessageA(under.window, WM_COMMAND, MAKEWPARAM(IDCANCEL, 0), 0);
    DWORD waited = WaitForSingleObject(under.thread, 20000);
    CloseHandle(under.thread);
    CloseHandle(under.ready);
    under.thread = nullptr;
    under.ready = nullptr;
    return waited == WAIT_OBJECT_0 ? under.result : -1;
}

void ResetTransferState() {
    ResetTransferRecord();
    transferState.statusLineCount = 0;
}

bool Checked(HWND dialog, int id) { return SendDlgItemMessageA(dialog, id, BM_GETCHECK, 0, 0) == BST_CHECKED; }

bool Enabled(HWND dialog, int id) { return IsWindowEnabled(GetDlgItem(dialog, id)) != FALSE; }

std::string Text(HWND dialog, int id) {
    char text[1024] = {};
    GetDlgItemTextA(dialog, id, text, sizeof text);
    return text;
}

namespace {
const int kSettings[] = {IDC_START,  IDC_ORIGINAL, IDC_COPY,        IDC_NOTHING, IDC_CLIENT,
                         IDC_SERVER, IDC_BROWSE,   IDC_DIVIDE_SIZE, IDC_YOUR_IP, IDC_PORT, IDC_REMOTE_IP};
}  // namespace

bool InTransferState(HWND w) {
    for (int id : kSettings)
        if (Enabled(w, id)) return false;
    return Enabled(w, IDC_STOP);
}

bool Idle(HWND w) {
    for (int id : kSettings)
        if (id != IDC_REMOTE_IP && !Enabled(w, id)) return false;
    return Enabled(w, IDC_REMOTE_IP) == (transferState.netRole == kClient) && !Enabled(w, IDC_STOP);
}

void SetText(HWND dialog, int id, const std::string& text) { SetDlgItemTextA(dialog, id, text.c_str()); }

void Click(HWND dialog, int id) { SendMessageA(GetDlgItem(dialog, id), BM_CLICK, 0, 0); }

std::vector<std::string> StatusLines(HWND dialog) {
    HWND list = GetDlgItem(dialog, 1011);
    int count = static_cast<int>(SendMessageA(list, LVM_GETITEMCOUNT, 0, 0));
    std::vector<std::string> lines;
    for (int i = 0; i < count; ++i) {
        char text[1024] = {};
        LVITEMA item;
        ZeroMemory(&item, sizeof item);
        item.iSubItem = 0;
        item.pszText = text;
        item.cchTextMax = sizeof text;
        SendMessageA(list, LVM_GETITEMTEXTA, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(&item));
        lines.push_back(text);
    }
    return lines;
}

bool WaitUntil(const std::function<bool()>& condition, int timeoutMs) {
    for (int waited = 0;; waited += 10) {
        if (condition()) return true;
        if (waited >= timeoutMs) return false;
        Sleep(10);
    }
}

bool WaitForWorker(int timeoutMs) {
    return WaitUntil([] { return !TransferRunning(); }, timeoutMs);
}

HWND FindDialog(const std::string& title) {
    FindRequest request{&title, nullptr};
    EnumWindows(FindDialogCallback, reinterpret_cast<LPARAM>(&request));
    return request.found;
}

HWND WaitForDialog(const std::string& title, int timeoutMs) {
    HWND found = nullptr;
    WaitUntil([&] { return (found = FindDialog(title)) != nullptr; }, timeoutMs);
    return found;
}

bool PressUntilClosed(HWND dialog, int id, const std::function<void()>& prepare) {
    for (int attempt = 0; attempt < 40; ++attempt) {
        if (prepare) prepare();
        PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), 0);
        if (WaitUntil([&] { return !IsWindow(dialog); }, 500)) return true;
    }
    return false;
}

void WatchForBox(BoxWatch& watch, const std::string& caption, int timeoutMs) {
    watch.caption = caption;
    watch.thread = std::thread([&watch, timeoutMs] {
        HWND box = WaitForDialog(watch.caption, timeoutMs);
        if (box == nullptr) return;
        EnumChildWindows(box, LongestStaticText, reinterpret_cast<LPARAM>(&watch.text));
        watch.seen = true;
        PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDOK, 0), 0);
    });
}

void EndWatch(BoxWatch& watch) {
    if (watch.thread.joinable()) watch.thread.join();
}

bool MakeFileOfSize(const std::string& path, unsigned long long size) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    LARGE_INTEGER end;
    end.QuadPart = static_cast<LONGLONG>(size);
    bool ok = SetFilePointerEx(file, end, nullptr, FILE_BEGIN) && SetEndOfFile(file);
    CloseHandle(file);
    return ok;
}

void WindowTest::SetUp() {
    // The folder browser moves the current folder; each test starts from
    // the one the program started in, where the peers' program lies.
    static const std::string startFolder = [] {
        char folder[MAX_PATH] = {};
        GetCurrentDirectoryA(MAX_PATH, folder);
        return std::string(folder);
    }();
    SetCurrentDirectoryA(startFolder.c_str());
    ResetTransferState();
    {
        std::lock_guard<std::mutex> lock(hookMutex);
        hookedErrorBoxes.clear();
    }
    errorBoxHook = RecordErrorBox;
    OpenMainWindow(under_);
    transferState.mainWindow = under_.window;
}

void WindowTest::TearDown() {
    if (TransferRunning()) {
        RequestStop();
        EXPECT_TRUE(WaitForWorker(20000)) << "a worker was still running";
    }
    EXPECT_EQ(CloseMainWindow(under_), 0);
    errorBoxHook = nullptr;
    std::lock_guard<std::mutex> lock(hookMutex);
    EXPECT_TRUE(hookedErrorBoxes.empty()) << "unexpected error box: " << hookedErrorBoxes.front();
    hookedErrorBoxes.clear();
}
