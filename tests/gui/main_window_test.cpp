// The main window driven as a user drives it: its state after start-up, the
// FileType choice with the role coupling and the Start rule, the Devide Size
// box, Start, Stop and the port, Esc. Test thread against the UI thread of
// the harness.
#include <winsock2.h>
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <cstring>

#include "app/file_select.h"
#include "app/resource.h"
#include "engine/lifecycle.h"
#include "engine/transfer_state.h"
#include "tests/gui/gui_harness.h"
#include "tests/support/fixtures.h"

namespace {
const int kSettings[] = {IDC_START,  IDC_ORIGINAL, IDC_COPY,        IDC_NOTHING, IDC_CLIENT,
                         IDC_SERVER, IDC_BROWSE,   IDC_DIVIDE_SIZE, IDC_YOUR_IP, IDC_PORT};
const int kDisplays[] = {IDC_FILE, IDC_SIZE, IDC_DIVIDES, IDC_CRC_DATA_SIZE};

std::string ComboEntry(HWND dialog, int index) {
    char text[64] = {};
    SendDlgItemMessageA(dialog, IDC_DIVIDE_SIZE, CB_GETLBTEXT, static_cast<WPARAM>(index),
                        reinterpret_cast<LPARAM>(text));
    return text;
}

int ComboSelection(HWND dialog) {
    return static_cast<int>(SendDlgItemMessageA(dialog, IDC_DIVIDE_SIZE, CB_GETCURSEL, 0, 0));
}

void SelectBlockSize(HWND dialog, int index) {
    SendDlgItemMessageA(dialog, IDC_DIVIDE_SIZE, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
    SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDC_DIVIDE_SIZE, CBN_SELCHANGE),
                 reinterpret_cast<LPARAM>(GetDlgItem(dialog, IDC_DIVIDE_SIZE)));
}

// Start, then the end of the worker that it started.
void StartAndWait(HWND dialog) {
    Click(dialog, IDC_START);
    ASSERT_TRUE(WaitForWorker(20000));
}

void ExpectIdle(HWND dialog) {
    for (int id : kSettings) EXPECT_TRUE(Enabled(dialog, id)) << "control " << id;
    EXPECT_EQ(Enabled(dialog, IDC_REMOTE_IP), transferState.netRole == kClient);
    EXPECT_FALSE(Enabled(dialog, IDC_STOP));
}

void ExpectTransferState(HWND dialog) {
    for (int id : kSettings) EXPECT_FALSE(Enabled(dialog, id)) << "control " << id;
    EXPECT_FALSE(Enabled(dialog, IDC_REMOTE_IP));
    EXPECT_TRUE(Enabled(dialog, IDC_STOP));
    EXPECT_TRUE(Enabled(dialog, IDC_STATUS_LIST));
}
}  // namespace

using MainWindow = WindowTest;

TEST_F(MainWindow, StartUpState) {
    HWND w = Window();
    char title[128] = {};
    GetWindowTextA(w, title, sizeof title);
    EXPECT_STREQ(title, "Blockmend (Version 1.0.0)");
    EXPECT_NE(SendMessageA(w, WM_GETICON, ICON_BIG, 0), 0);

    ASSERT_EQ(SendDlgItemMessageA(w, IDC_DIVIDE_SIZE, CB_GETCOUNT, 0, 0), 13);
    const char* sizes[] = {"4096",   "8192",    "16384",   "32768",   "65536",   "131072",  "262144",
                           "524288", "1048576", "2097152", "4194304", "8388608", "16777216"};
    for (int i = 0; i < 13; ++i) EXPECT_EQ(ComboEntry(w, i), sizes[i]);
    EXPECT_EQ(ComboSelection(w), 0);

    EXPECT_TRUE(Checked(w, IDC_ORIGINAL));
    EXPECT_FALSE(Checked(w, IDC_COPY));
    EXPECT_FALSE(Checked(w, IDC_NOTHING));
    EXPECT_TRUE(Checked(w, IDC_SERVER));
    EXPECT_FALSE(Checked(w, IDC_CLIENT));
    EXPECT_EQ(Text(w, IDC_PORT), "46699");
    EXPECT_EQ(Text(w, IDC_FILE), "");
    EXPECT_EQ(Text(w, IDC_DIVIDES), "");

    ExpectIdle(w);
    EXPECT_FALSE(Enabled(w, IDC_REMOTE_IP));
    EXPECT_TRUE(Enabled(w, IDC_START));
    for (int id : kDisplays) EXPECT_FALSE(Enabled(w, id)) << "control " << id;

    HWND list = GetDlgItem(w, IDC_STATUS_LIST);
    EXPECT_EQ(SendMessageA(list, LVM_GETCOLUMNWIDTH, 0, 0), 600);
    EXPECT_EQ(SendMessageA(list, LVM_GETCOLUMNWIDTH, 1, 0), 0) << "only one column";
    EXPECT_EQ(SendMessageA(list, LVM_GETITEMCOUNT, 0, 0), 0);

    // This host's address, when the system can name one.
    std::string ip = Text(w, IDC_YOUR_IP);
    if (!ip.empty()) {
        EXPECT_NE(inet_addr(ip.c_str()), INADDR_NONE) << ip;
    }
}

TEST_F(MainWindow, FileTypeChoiceSwitchesRole) {
    HWND w = Window();
    struct Step {
        int click;
        int32_t fileType;
        int32_t role;
    };
    const Step steps[] = {
        {IDC_COPY, kCopy, kClient},       {IDC_ORIGINAL, kOriginal, kServer}, {IDC_NOTHING, kNothing, kClient},
        {IDC_NOTHING, kNothing, kClient}, {IDC_ORIGINAL, kOriginal, kServer},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE("click " + std::to_string(step.click));
        Click(w, step.click);
        EXPECT_EQ(transferState.fileType, step.fileType);
        EXPECT_EQ(transferState.netRole, step.role);
        EXPECT_TRUE(Checked(w, step.click));
        EXPECT_EQ(Checked(w, IDC_CLIENT), step.role == kClient);
        EXPECT_EQ(Checked(w, IDC_SERVER), step.role == kServer);
        EXPECT_EQ(Enabled(w, IDC_REMOTE_IP), step.role == kClient);
    }
    // The role can be changed by hand; the checked FileType clicked again
    // runs the whole choice again, the role switch included.
    Click(w, IDC_CLIENT);
    EXPECT_EQ(transferState.netRole, kClient);
    EXPECT_TRUE(Enabled(w, IDC_REMOTE_IP));
    EXPECT_TRUE(Checked(w, IDC_ORIGINAL));
    Click(w, IDC_ORIGINAL);
    EXPECT_EQ(transferState.netRole, kServer);
    EXPECT_TRUE(Checked(w, IDC_SERVER));
    EXPECT_FALSE(Checked(w, IDC_CLIENT));
    EXPECT_FALSE(Enabled(w, IDC_REMOTE_IP));
}

TEST_F(MainWindow, StartFollowsSelectionAndFileType) {
    HWND w = Window();
    struct Case {
        int32_t selection;
        bool original, copy, nothing;  // Start enabled after each choice
    };
    const Case cases[] = {
        {kNoSelection, false, false, false},
        {kFileSelected, true, true, false},
        {kFolderSelected, false, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("selectionKind " + std::to_string(c.selection));
        transferState.selectionKind = c.selection;
        Click(w, IDC_COPY);
        EXPECT_EQ(Enabled(w, IDC_START), c.copy);
        Click(w, IDC_NOTHING);
        EXPECT_EQ(Enabled(w, IDC_START), c.nothing);
        Click(w, IDC_ORIGINAL);
        EXPECT_EQ(Enabled(w, IDC_START), c.original);
        Click(w, IDC_ORIGINAL);
        EXPECT_EQ(Enabled(w, IDC_START), c.original) << "the same choice again";
        EXPECT_EQ(transferState.selectionKind, c.selection) << "a FileType choice keeps the selection";
    }
}

TEST_F(MainWindow, DevideSizeBoxUpdatesFigures) {
    HWND w = Window();
    std::string folder = ScratchFolder("gui-divide");
    ASSERT_TRUE(MakeFileOfSize(folder + "a.bin", 1048576));
    snprintf(transferState.localPath, kPathSize, "%sa.bin", folder.c_str());
    LoadSelectedFile(w);
    ASSERT_EQ(ComboSelection(w), 1);
    EXPECT_EQ(Text(w, IDC_DIVIDES), "128");

    SelectBlockSize(w, 3);
    EXPECT_EQ(transferState.divideIndex, 3);
    EXPECT_EQ(transferState.uiBlockSize, 32768u);
    EXPECT_EQ(Text(w, IDC_DIVIDES), "32");
    EXPECT_EQ(Text(w, IDC_CRC_DATA_SIZE), "320");

    // The entry that is already chosen: nothing is computed again.
    transferState.localSize = 0;
    SelectBlockSize(w, 3);
    EXPECT_EQ(Text(w, IDC_DIVIDES), "32");
    EXPECT_EQ(transferState.uiBlockCount, 32);
    SelectBlockSize(w, 0);
    EXPECT_EQ(Text(w, IDC_DIVIDES), "0");
    EXPECT_EQ(Text(w, IDC_CRC_DATA_SIZE), "0");
}

TEST_F(MainWindow, StartWithNothingChosenReturnsToIdle) {
    HWND w = Window();
    transferState.stopRequested.store(1);
    StartAndWait(w);
    EXPECT_EQ(transferState.mainWindow, w);
    EXPECT_EQ(transferState.stopRequested.load(), 0);
    EXPECT_TRUE(StatusLines(w).empty());
    EXPECT_EQ(transferState.statusLineCount, 0);
    ExpectIdle(w);
    EXPECT_TRUE(Checked(w, IDC_ORIGINAL));
}

TEST_F(MainWindow, PortIsReadFromItsFirstFiveCharacters) {
    HWND w = Window();
    const struct {
        const char* text;
        int32_t port;
    } cases[] = {
        {"46699", 46699}, {"466990", 46699}, {"abc", 0}, {"", 0}, {"  12x", 12}, {"70000", 70000}, {"-5", -5},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        SetText(w, IDC_PORT, c.text);
        StartAndWait(w);
        EXPECT_EQ(transferState.port, c.port);
    }
}

TEST_F(MainWindow, CopyWhoseFileVanishedLosesItsSelection) {
    HWND w = Window();
    std::string folder = ScratchFolder("gui-vanished");
    std::string path = folder + "gone.bin";
    ASSERT_TRUE(MakeFileOfSize(path, 5000));
    Click(w, IDC_COPY);
    snprintf(transferState.localPath, kPathSize, "%s", path.c_str());
    LoadSelectedFile(w);
    ASSERT_EQ(transferState.selectionKind, kFileSelected);
    ASSERT_TRUE(DeleteFileA(path.c_str()));

    StartAndWait(w);
    ExpectIdle(w);
    EXPECT_TRUE(StatusLines(w).empty());
    EXPECT_EQ(Text(w, IDC_FILE), "");
    EXPECT_EQ(transferState.selectionKind, kNoSelection);
    EXPECT_EQ(Text(w, IDC_SIZE), "5000") << "the figures stay";
    ASSERT_EQ(hookedErrorBoxes.size(), 1u);
    EXPECT_FALSE(hookedErrorBoxes[0].empty());
    hookedErrorBoxes.clear();
}

TEST_F(MainWindow, StopOnlyRaisesTheFlag) {
    HWND w = Window();
    const int port = NextPort();
    SetText(w, IDC_PORT, std::to_string(port));
    std::string folder = ScratchFolder("gui-stop");
    ASSERT_TRUE(MakeFileOfSize(folder + "s.bin", 100));
    snprintf(transferState.localPath, kPathSize, "%ss.bin", folder.c_str());
    LoadSelectedFile(w);

    Click(w, IDC_START);
    ExpectTransferState(w);
    ASSERT_TRUE(WaitUntil([&] { return !StatusLines(w).empty(); }, 20000));
    EXPECT_EQ(StatusLines(w)[0], "接続待ち・・・");

    Click(w, IDC_STOP);
    EXPECT_EQ(transferState.stopRequested.load(), 1);
    EXPECT_TRUE(Enabled(w, IDC_STOP));
    EXPECT_TRUE(TransferRunning()) << "a worker waiting for a peer does not see the flag";

    // A peer that connects and leaves ends the transfer.
    SOCKET peer = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(port));
    address.sin_addr.s_addr = inet_addr("127.0.0.1");
    ASSERT_EQ(connect(peer, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    closesocket(peer);
    ASSERT_TRUE(WaitForWorker(20000));
    ExpectIdle(w);
    std::vector<std::string> lines = StatusLines(w);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], "切断しました");
    EXPECT_EQ(lines.back(), "");
}

TEST(MainWindowClose, EscEndsTheDialogWithZero) {
    ResetTransferState();
    WindowUnderTest under;
    OpenMainWindow(under);
    SendMessageA(under.window, WM_COMMAND, MAKEWPARAM(IDCANCEL, 0), 0);
    ASSERT_EQ(WaitForSingleObject(under.thread, 10000), WAIT_OBJECT_0);
    EXPECT_EQ(under.result, 0);
    EXPECT_FALSE(IsWindow(under.window));
    CloseHandle(under.thread);
    CloseHandle(under.ready);
}
