// File and folder selection in the window: the figures loaded for files of
// many sizes, files that cannot be used (held open, 4 GiB and more), the
// folder path rule, the choosers driven through their own dialogs, and what
// the ownerless browser and error box do when a transfer starts meanwhile.
// Test thread, with the box watcher where a real message box is expected.
#include <windows.h>
#include <commctrl.h>
#include <objbase.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "app/file_select.h"
#include "app/main_window.h"
#include "app/resource.h"
#include "app/status_list.h"
#include "app/win_frontend.h"
#include "engine/fileinfo.h"
#include "engine/frontend.h"
#include "engine/transfer_state.h"
#include "platform/error.h"
#include "tests/gui/gui_harness.h"
#include "tests/support/fixtures.h"

namespace {
void Choose(HWND window, const std::string& path) {
    snprintf(transferState.localPath, kPathSize, "%s", path.c_str());
    snprintf(transferState.fileTitle, kPathSize, "%s", PathTitle(path.c_str()));
    LoadSelectedFile(window);
}

std::string SelectedBlockSize(HWND window) {
    char text[32] = {};
    LRESULT index = SendDlgItemMessageA(window, IDC_DIVIDE_SIZE, CB_GETCURSEL, 0, 0);
    SendDlgItemMessageA(window, IDC_DIVIDE_SIZE, CB_GETLBTEXT, static_cast<WPARAM>(index),
                        reinterpret_cast<LPARAM>(text));
    return text;
}

// The file name box of the open-file dialog: edt1 in the old style, the
// edit of cmb13 in the Explorer style.
HWND FileNameBox(HWND chooser) {
    HWND box = GetDlgItem(chooser, 0x480);
    if (box == nullptr) box = FindWindowExA(GetDlgItem(chooser, 0x47c), nullptr, nullptr, nullptr);
    if (box != nullptr && FindWindowExA(box, nullptr, "Edit", nullptr) != nullptr)
        box = FindWindowExA(box, nullptr, "Edit", nullptr);
    return box;
}

// Browse under Nothing. The browser has no owner and its title is the
// system's: it is the one other visible dialog of this process.
HWND OpenFolderBrowser(HWND w) {
    PostMessageA(w, WM_COMMAND, MAKEWPARAM(IDC_BROWSE, BN_CLICKED), 0);
    const DWORD pid = GetCurrentProcessId();
    HWND browser = nullptr;
    WaitUntil(
        [&] {
            for (HWND h = FindWindowExA(nullptr, nullptr, "#32770", nullptr); h != nullptr;
                 h = FindWindowExA(nullptr, h, "#32770", nullptr)) {
                DWORD owner = 0;
                GetWindowThreadProcessId(h, &owner);
                if (owner == pid && h != w && IsWindowVisible(h)) browser = h;
            }
            return browser != nullptr;
        },
        20000);
    return browser;
}

// Selects folder (a path without a trailing separator) in the browser, once
// its tree shows it, and presses OK.
bool PickFolder(HWND browser, const std::string& folder) {
    const std::string leaf = folder.substr(folder.find_last_of('\\') + 1);
    HWND tree = nullptr;
    if (!WaitUntil([&] { return (tree = FindWindowExA(browser, nullptr, WC_TREEVIEWA, nullptr)) != nullptr; }, 20000))
        return false;
    bool shown = WaitUntil(
        [&] {
            SendMessageA(browser, BFFM_SETSELECTIONA, TRUE, reinterpret_cast<LPARAM>(folder.c_str()));
            char text[kPathSize] = {};
            TVITEMA item;
            ZeroMemory(&item, sizeof item);
            item.mask = TVIF_TEXT;
            item.hItem = reinterpret_cast<HTREEITEM>(SendMessageA(tree, TVM_GETNEXTITEM, TVGN_CARET, 0));
            item.pszText = text;
            item.cchTextMax = sizeof text;
            SendMessageA(tree, TVM_GETITEMA, 0, reinterpret_cast<LPARAM>(&item));
            return leaf == text;
        },
        20000);
    return shown && PressUntilClosed(browser, IDOK);
}

// Chooses ok.bin (1048576 bytes) in folder and holds held.bin (300000
// bytes) open without sharing, as another program would.
void ChooseOneAndHoldAnother(HWND w, const std::string& folder, HANDLE* holder) {
    ASSERT_TRUE(MakeFileOfSize(folder + "ok.bin", 1048576));
    ASSERT_TRUE(MakeFileOfSize(folder + "held.bin", 300000));
    Choose(w, folder + "ok.bin");
    *holder = CreateFileA((folder + "held.bin").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(*holder, INVALID_HANDLE_VALUE);
}

void ExpectSelectionCleared(HWND w) {
    EXPECT_STREQ(transferState.localPath, "");
    EXPECT_STREQ(transferState.fileTitle, "");
    EXPECT_EQ(transferState.selectionKind, kNoSelection);
    EXPECT_EQ(Text(w, IDC_FILE), "");
}
}  // namespace

using FileSelection = WindowTest;

TEST_F(FileSelection, FiguresFollowTheFileSize) {
    HWND w = Window();
    std::string folder = ScratchFolder("gui-sizes");
    const struct {
        unsigned long long size;
        const char* blockSize;
        const char* devides;
        const char* crcDataSize;
        int decDigits, hexDigits;
    } table[] = {
        {0, "4096", "0", "0", 1, 1},
        {1, "4096", "1", "10", 1, 1},
        {300000, "4096", "74", "740", 6, 5},
        {524288, "4096", "128", "1280", 6, 5},
        {1048575, "4096", "256", "2560", 7, 5},
        {1048576, "8192", "128", "1280", 7, 6},
        {100000000, "524288", "191", "1910", 9, 7},
        {3000000000ull, "16777216", "179", "1790", 10, 8},
        {4294967295ull, "16777216", "256", "2560", 10, 8},
    };
    for (const auto& row : table) {
        std::string size = std::to_string(row.size);
        SCOPED_TRACE(size + " bytes");
        std::string path = folder + "f" + size + ".bin";
        ASSERT_TRUE(MakeFileOfSize(path, row.size));
        SendDlgItemMessageA(w, IDC_DIVIDE_SIZE, CB_SETCURSEL, 5, 0);  // a hand choice, replaced
        EnableWindow(GetDlgItem(w, IDC_START), FALSE);
        Choose(w, path);
        EXPECT_EQ(Text(w, IDC_FILE), path);
        EXPECT_EQ(Text(w, IDC_SIZE), size) << "shown unsigned";
        EXPECT_EQ(SelectedBlockSize(w), row.blockSize);
        EXPECT_EQ(Text(w, IDC_DIVIDES), row.devides);
        EXPECT_EQ(Text(w, IDC_CRC_DATA_SIZE), row.crcDataSize);
        EXPECT_EQ(transferState.localSize, static_cast<uint32_t>(row.size));
        EXPECT_EQ(transferState.decDigits, row.decDigits);
        EXPECT_EQ(transferState.hexDigits, row.hexDigits);
        EXPECT_EQ(transferState.selectionKind, kFileSelected);
        EXPECT_TRUE(Enabled(w, IDC_START));
    }
}

TEST_F(FileSelection, FileHeldOpenShowsTheSharingErrorAndClearsTheSelection) {
    HWND w = Window();
    std::string folder = ScratchFolder("gui-held");
    HANDLE holder = INVALID_HANDLE_VALUE;
    ASSERT_NO_FATAL_FAILURE(ChooseOneAndHoldAnother(w, folder, &holder));

    errorBoxHook = nullptr;
    BoxWatch watch;
    WatchForBox(watch, "Error", 20000);
    Choose(w, folder + "held.bin");
    EndWatch(watch);
    CloseHandle(holder);

    SaveSharingViolation();
    ASSERT_TRUE(watch.seen);
    EXPECT_EQ(watch.text, SystemErrorText());
    EXPECT_FALSE(watch.text.empty());
    ExpectSelectionCleared(w);
    EXPECT_EQ(Text(w, IDC_SIZE), "1048576") << "the figures of the last file stay";
    EXPECT_EQ(Text(w, IDC_DIVIDES), "128");
}

TEST_F(FileSelection, FilesOfFourGiBAndMoreLoadWithTheirSize) {
    // Whether the file can be carried depends on the peer's protocol, known
    // only at Start: the window takes a file of any size.
    HWND w = Window();
    std::string folder = ScratchFolder("gui-4g");
    std::string path = folder + "huge.bin";
    if (!MakeFileOfSize(path, 4294967296ull + 4096)) GTEST_SKIP() << "no sparse 4 GiB file here";

    errorBoxHook = nullptr;
    BoxWatch watch;
    WatchForBox(watch, "Error", 3000);
    Choose(w, path);
    EndWatch(watch);
    DeleteFileA(path.c_str());

    EXPECT_FALSE(watch.seen) << watch.text;
    EXPECT_EQ(Text(w, IDC_SIZE), "4294971392");
    EXPECT_EQ(transferState.localSize, 4294971392ull);
    EXPECT_EQ(Text(w, IDC_DIVIDES), "257");  // at the suggested 16777216
    EXPECT_EQ(Text(w, IDC_CRC_DATA_SIZE), "2570");
    EXPECT_TRUE(Enabled(w, IDC_START));
}

TEST_F(FileSelection, FolderPathEndsInOneBackslash) {
    HWND w = Window();
    transferState.localSize = 777;
    snprintf(transferState.fileTitle, kPathSize, "kept.bin");
    const struct {
        const char* chosen;
        const char* stored;
    } cases[] = {
        {"C:\\", "C:\\"},
        {"C:\\work", "C:\\work\\"},
        {"C:\\work\\", "C:\\work\\"},
        {"", "\\"},
        // 表 is 0x95 0x5C: its trail byte is not a backslash.
        {"C:\\\x95\x5C", "C:\\\x95\x5C\\"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.chosen);
        Click(w, IDC_NOTHING);
        EnableWindow(GetDlgItem(w, IDC_START), FALSE);
        TakeFolderSelection(w, c.chosen);
        EXPECT_STREQ(transferState.localPath, c.stored);
        EXPECT_EQ(Text(w, IDC_FILE), c.stored);
        EXPECT_EQ(transferState.selectionKind, kFolderSelected);
        EXPECT_TRUE(Enabled(w, IDC_START));
    }
    EXPECT_STREQ(transferState.fileTitle, "kept.bin");
    EXPECT_EQ(transferState.localSize, 777u);
}

TEST_F(FileSelection, OpenFileDialogLoadsTheChosenFile) {
    HWND w = Window();
    std::string folder = ScratchFolder("gui-open");
    std::string path = folder + "picked.bin";
    ASSERT_TRUE(MakeFileOfSize(path, 1048576));

    PostMessageA(w, WM_COMMAND, MAKEWPARAM(IDC_BROWSE, BN_CLICKED), 0);
    HWND chooser = WaitForDialog("Open File", 20000);
    ASSERT_NE(chooser, nullptr);
    EXPECT_FALSE(IsWindowEnabled(w)) << "the dialog is modal to the main window";
    ASSERT_TRUE(WaitUntil([&] { return FileNameBox(chooser) != nullptr; }, 20000));
    ASSERT_TRUE(PressUntilClosed(chooser, IDOK, [&] { SetWindowTextA(FileNameBox(chooser), path.c_str()); }));
    ASSERT_TRUE(WaitUntil([] { return transferState.selectionKind == kFileSelected; }, 20000));
    ASSERT_TRUE(WaitUntil([&] { return IsWindowEnabled(w) != FALSE; }, 20000));

    EXPECT_EQ(Text(w, IDC_FILE), path);
    EXPECT_STREQ(transferState.localPath, path.c_str());
    EXPECT_STREQ(transferState.fileTitle, "picked.bin");
    EXPECT_EQ(Text(w, IDC_SIZE), "1048576");
    EXPECT_EQ(Text(w, IDC_DIVIDES), "128");
}

TEST_F(FileSelection, CancelledFileDialogKeepsTheFolder) {
    HWND w = Window();
    std::string folder = ScratchFolder("gui-cancel");
    Click(w, IDC_NOTHING);
    TakeFolderSelection(w, folder.c_str());
    Click(w, IDC_COPY);
    EXPECT_FALSE(Enabled(w, IDC_START));

    PostMessageA(w, WM_COMMAND, MAKEWPARAM(IDC_BROWSE, BN_CLICKED), 0);
    HWND chooser = WaitForDialog("Open File", 20000);
    ASSERT_NE(chooser, nullptr);
    ASSERT_TRUE(WaitUntil([&] { return FileNameBox(chooser) != nullptr; }, 20000));
    char name[kPathSize] = {};
    GetWindowTextA(FileNameBox(chooser), name, sizeof name);
    EXPECT_STREQ(name, "") << "the dialog starts without a file name";
    ASSERT_TRUE(PressUntilClosed(chooser, IDCANCEL));
    ASSERT_TRUE(WaitUntil([&] { return std::string(transferState.localPath) == folder; }, 20000));
    ASSERT_TRUE(WaitUntil([&] { return IsWindowEnabled(w) != FALSE; }, 20000));

    EXPECT_EQ(Text(w, IDC_FILE), folder);
    EXPECT_EQ(transferState.selectionKind, kFolderSelected);
    Click(w, IDC_NOTHING);
    EXPECT_TRUE(Enabled(w, IDC_START));
}

TEST_F(FileSelection, FolderBrowserTakesTheChosenFolder) {
    HWND w = Window();
    std::string folder = ScratchFolder("gui-browse");
    folder.pop_back();  // the browser gives folders without the separator
    Click(w, IDC_NOTHING);

    HWND browser = OpenFolderBrowser(w);
    ASSERT_NE(browser, nullptr);
    EXPECT_TRUE(IsWindowEnabled(w)) << "the browser has no owner";
    ASSERT_TRUE(PickFolder(browser, folder));
    ASSERT_TRUE(WaitUntil([] { return transferState.selectionKind == kFolderSelected; }, 20000));

    EXPECT_EQ(Text(w, IDC_FILE), folder + "\\");
    EXPECT_TRUE(Enabled(w, IDC_START));
}

// Start stays usable while the browser is open. A folder picked once a
// transfer has begun is dropped, whether the transfer still runs (the
// selection, Start and the File box stay as the transfer has them) or has
// ended (the Copy that a Nothing side became keeps its new file).
TEST_F(FileSelection, FolderPickedAfterATransferBeganIsDropped) {
    HWND w = Window();
    // Named by its full path: the browser moves the current folder.
    char cli[MAX_PATH] = {};
    ASSERT_GT(GetFullPathNameA(CliPath().c_str(), MAX_PATH, cli, nullptr), 0u);
    for (bool pickWhileRunning : {true, false}) {
        SCOPED_TRACE(pickWhileRunning ? "picked while the transfer runs" : "picked after it ended");
        std::string folder = ScratchFolder(pickWhileRunning ? "gui-pick-running" : "gui-pick-ended");
        std::string into = folder + "into\\";
        CreateDirectoryA(into.c_str(), nullptr);
        CreateDirectoryA((folder + "other").c_str(), nullptr);
        std::string original = RandomBytes(100000, 9);
        WriteFile(folder + "incoming.bin", original);
        const std::string port = std::to_string(NextPort());
        Click(w, IDC_NOTHING);
        TakeFolderSelection(w, into.c_str());
        Click(w, IDC_SERVER);
        SetText(w, IDC_PORT, port);

        HWND browser = OpenFolderBrowser(w);
        ASSERT_NE(browser, nullptr);
        Click(w, IDC_START);
        ASSERT_TRUE(WaitUntil(
            [&] {
                std::vector<std::string> lines = StatusLines(w);
                return !lines.empty() && lines.back() == "接続待ち・・・";
            },
            20000));
        if (pickWhileRunning) {
            EXPECT_TRUE(PickFolder(browser, folder + "other"));
            EXPECT_STREQ(transferState.localPath, into.c_str());
            EXPECT_EQ(transferState.selectionKind, kFolderSelected);
            EXPECT_EQ(Text(w, IDC_FILE), into);
            EXPECT_TRUE(InTransferState(w));
        }
        CliPeer peer;
        ASSERT_TRUE(SpawnProcess(peer.process,
                                 {cli, "original", folder + "incoming.bin", "--connect", "127.0.0.1", "--port", port,
                                  "--log-dir", folder},
                                 folder + "peer.out", folder + "peer.err"));
        FinishCli(peer, 120000);
        ASSERT_TRUE(WaitForWorker(120000));
        if (!pickWhileRunning) {
            ASSERT_TRUE(PickFolder(browser, folder + "other"));
        }

        EXPECT_TRUE(ReadFile(into + "incoming.bin") == original);
        EXPECT_EQ(transferState.fileType, kCopy);
        EXPECT_EQ(transferState.selectionKind, kFileSelected);
        EXPECT_EQ(std::string(transferState.localPath), into + "incoming.bin");
        EXPECT_EQ(Text(w, IDC_FILE), into + "incoming.bin");
        EXPECT_TRUE(Idle(w));
    }
}

// A transfer started while the error box of a chosen file is open takes
// the selection as it stands; closing the box does not clear it then.
TEST_F(FileSelection, ErrorBoxLeavesTheSelectionOfATransferStartedMeanwhile) {
    HWND w = Window();
    std::string folder = ScratchFolder("gui-box-start");
    HANDLE holder = INVALID_HANDLE_VALUE;
    ASSERT_NO_FATAL_FAILURE(ChooseOneAndHoldAnother(w, folder, &holder));

    errorBoxHook = nullptr;
    const unsigned changes = TransferChanges();
    std::thread chooser([&] { Choose(w, folder + "held.bin"); });
    HWND box = WaitForDialog("Error", 20000);
    EXPECT_NE(box, nullptr);
    // The transfer cannot open the held file either and ends at once.
    Click(w, IDC_START);
    EXPECT_TRUE(WaitUntil([&] { return TransferChanges() == changes + 2; }, 20000));
    EXPECT_TRUE(WaitForWorker(20000));
    if (box != nullptr) {
        EXPECT_TRUE(PressUntilClosed(box, IDOK));
    }
    chooser.join();
    CloseHandle(holder);

    EXPECT_EQ(transferState.selectionKind, kFileSelected);
    EXPECT_EQ(std::string(transferState.localPath), folder + "held.bin");
    EXPECT_TRUE(Idle(w));
}

TEST_F(FileSelection, WindowThreadHoldsComForTheFolderBrowser) {
    HRESULT hr = S_OK;
    RunOnUiThread(Window(), [&] {
        hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        if (SUCCEEDED(hr)) CoUninitialize();
    });
    EXPECT_EQ(hr, RPC_E_CHANGED_MODE) << "the thread is in a single-threaded apartment already";
}

TEST(ProgramFolder, CutAfterTheLastBackslash) {
    const struct {
        const char* path;
        const char* folder;
    } cases[] = {
        {"C:\\tools\\blockmend.exe", "C:\\tools\\"},
        {"C:\\blockmend.exe", "C:\\"},
        {"C:\\\x95\x5C" "a.exe", "C:\\"},  // 表 ends in 0x5C but is no separator
        {"C:\\\x95\x5C\\a.exe", "C:\\\x95\x5C\\"},
    };
    for (const auto& c : cases) {
        char path[kPathSize];
        snprintf(path, sizeof path, "%s", c.path);
        KeepFolderOfPath(path);
        EXPECT_STREQ(path, c.folder) << c.path;
    }
    char folder[kPathSize];
    GetProgramFolder(folder);
    char module[kPathSize] = {};
    GetModuleFileNameA(nullptr, module, sizeof module);
    ASSERT_GT(strlen(folder), 0u);
    EXPECT_EQ(folder[strlen(folder) - 1], '\\');
    EXPECT_EQ(strncmp(module, folder, strlen(folder)), 0);
    EXPECT_EQ(strchr(module + strlen(folder), '\\'), nullptr);
}

TEST(ProgramFolder, EndsWithBackslashWalksDoubleByteCharacters) {
    EXPECT_TRUE(EndsWithBackslash("C:\\"));
    EXPECT_FALSE(EndsWithBackslash("C:\\a"));
    EXPECT_FALSE(EndsWithBackslash(""));
    EXPECT_FALSE(EndsWithBackslash("C:\\\x95\x5C"));
    EXPECT_TRUE(EndsWithBackslash("C:\\\x95\x5C\\"));
}
