// The pairing code: set in a small dialog from the window's system menu
// (typed, or made anew), and a window paired with a blockmend-cli peer by
// it, with the right code and a wrong one.
#include <windows.h>

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>

#include "app/file_select.h"
#include "app/resource.h"
#include "engine/transfer_state.h"
#include "tests/gui/gui_harness.h"
#include "tests/support/fixtures.h"

namespace {
const char kTitle[] = "接続コード";

// Opens the dialog through the system menu and hands it to act.
HWND OpenCodeDialog(HWND w) {
    PostMessageA(w, WM_SYSCOMMAND, IDM_PAIRING_CODE, 0);
    return WaitForDialog(kTitle, 20000);
}

void PressOk(HWND dialog) { SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0); }

bool Gone(HWND dialog) {
    return WaitUntil([&] { return !IsWindow(dialog); }, 10000);
}

bool LooksLikeNewCode(const std::string& code) {
    if (code.size() != 19) return false;
    for (size_t i = 0; i < code.size(); ++i)
        if (i % 5 == 4 ? code[i] != '-' : !isdigit(static_cast<unsigned char>(code[i]))) return false;
    return true;
}
}  // namespace

using CodeDialog = WindowTest;

TEST_F(CodeDialog, TypedOrNewCodesAndTooShortOnes) {
    HWND w = Window();
    const UINT state = GetMenuState(GetSystemMenu(w, FALSE), IDM_PAIRING_CODE, MF_BYCOMMAND);
    ASSERT_NE(state, static_cast<UINT>(-1)) << "the system menu has the item";
    EXPECT_EQ(state & MF_GRAYED, 0u);

    // Too short: the dialog stays and says why; six characters are taken.
    HWND d = OpenCodeDialog(w);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(Text(d, IDC_CODE), "");
    SetText(d, IDC_CODE, "abcde");
    PressOk(d);
    EXPECT_TRUE(IsWindow(d));
    EXPECT_EQ(Text(d, IDC_CODE_HINT), "コードは6文字以上にしてください。");
    EXPECT_STREQ(transferState.pairingCode, "");
    SetText(d, IDC_CODE, "コードです！");  // six characters, twelve bytes
    PressOk(d);
    EXPECT_TRUE(Gone(d));
    EXPECT_STREQ(transferState.pairingCode, "コードです！");

    // A new code, shown for reading out; Cancel keeps the old one.
    d = OpenCodeDialog(w);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(Text(d, IDC_CODE), "コードです！");
    Click(d, IDC_NEW_CODE);
    const std::string made = Text(d, IDC_CODE);
    EXPECT_TRUE(LooksLikeNewCode(made)) << made;
    SendMessageA(d, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    EXPECT_TRUE(Gone(d));
    EXPECT_STREQ(transferState.pairingCode, "コードです！");
    d = OpenCodeDialog(w);
    ASSERT_NE(d, nullptr);
    Click(d, IDC_NEW_CODE);
    const std::string taken = Text(d, IDC_CODE);
    EXPECT_NE(taken, made);
    PressOk(d);
    EXPECT_TRUE(Gone(d));
    EXPECT_EQ(std::string(transferState.pairingCode), taken);

    // Emptied: no code.
    d = OpenCodeDialog(w);
    ASSERT_NE(d, nullptr);
    SetText(d, IDC_CODE, "");
    PressOk(d);
    EXPECT_TRUE(Gone(d));
    EXPECT_STREQ(transferState.pairingCode, "");
}

TEST_F(CodeDialog, AWindowPairedWithTheCliByCode) {
    // The window connects as a Copy to a listening peer that holds the same
    // code, then one that holds another.
    HWND w = Window();
    const std::string folder = ScratchFolder("gui-paired");
    const std::string original = RandomBytes(2000000, 71);
    std::string copy = original.substr(0, 1500000);
    copy[7777] ^= 0x20;
    WriteFile(folder + "orig.bin", original);
    WriteFile(folder + "copy.bin", copy);
    snprintf(transferState.pairingCode, sizeof transferState.pairingCode, "%s", "window-code-1");
    Click(w, IDC_COPY);
    snprintf(transferState.localPath, kPathSize, "%scopy.bin", folder.c_str());
    snprintf(transferState.fileTitle, kPathSize, "copy.bin");
    LoadSelectedFile(w);
    Click(w, IDC_CLIENT);
    SetText(w, IDC_REMOTE_IP, "127.0.0.1");
    for (const char* peerCode : {"window-code-1", "window-code-2"}) {
        const bool same = std::string(peerCode) == "window-code-1";
        SCOPED_TRACE(same ? "the same code" : "another code");
        const std::string port = std::to_string(NextPort());
        SetText(w, IDC_PORT, port);
        const size_t before = StatusLines(w).size();
        CliPeer peer;
        ASSERT_TRUE(StartCli(peer, folder, same ? "same" : "other",
                             {"original", folder + "orig.bin", "--listen", "--port", port, "--log-dir", folder,
                              "--code", peerCode}));
        ASSERT_TRUE(WaitForLine(peer, "接続待ち・・・", 20000));
        Click(w, IDC_START);
        FinishCli(peer, 60000);
        ASSERT_TRUE(WaitForWorker(60000));
        EXPECT_TRUE(Idle(w));
        const std::vector<std::string> all = StatusLines(w);
        const std::vector<std::string> lines(all.begin() + static_cast<long>(before), all.end());
        ASSERT_GE(lines.size(), 3u);
        if (same) {
            EXPECT_EQ(peer.exitCode, 0) << peer.errors;
            EXPECT_TRUE(transferState.transferComplete);
            EXPECT_TRUE(ReadFile(folder + "copy.bin") == original);
            bool encrypted = false;
            for (const std::string& l : lines) encrypted |= l.rfind("プロトコル2 (XXH3) で転送します (暗号化: ", 0) == 0;
            EXPECT_TRUE(encrypted);
        } else {
            EXPECT_EQ(peer.exitCode, 1);
            EXPECT_FALSE(transferState.transferComplete);
            EXPECT_EQ(lines[lines.size() - 3],
                      "コードによる接続に失敗しました (コードが違うか、通信が改ざんされています)");
        }
    }
}
