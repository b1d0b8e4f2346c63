// The scene of docs/main-window.png, run only by scripts/screenshot.sh (the
// test is disabled in the ordinary run): the window repairs a damaged copy
// as a Client of a blockmend-cli peer, then holds still while the script
// takes the picture. Test thread against the harness's UI thread.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include "app/file_select.h"
#include "app/resource.h"
#include "engine/fileinfo.h"
#include "engine/transfer_state.h"
#include "platform/text.h"
#include "tests/gui/gui_harness.h"
#include "tests/support/fixtures.h"

using Screenshot = WindowTest;

TEST_F(Screenshot, DISABLED_MainWindowAfterRepair) {
    const char* handshake = getenv("BLOCKMEND_SCREENSHOT_DIR");
    if (handshake == nullptr) GTEST_SKIP() << "run by scripts/screenshot.sh";
    HWND w = Window();
    const std::string folder = "C:\\data\\";
    const std::string name = "会議資料.pdf";
    CreateDirectoryA(folder.c_str(), nullptr);
    CreateDirectoryA((folder + "original").c_str(), nullptr);
    std::string original = RandomBytes(24000000, 3);
    std::string copy = original;
    for (size_t at : {700000u, 9000000u, 9004000u, 23999000u}) copy[at] = static_cast<char>(~copy[at]);
    WriteFile(folder + "original\\" + name, original);
    WriteFile(folder + name, copy);
    std::string peerPath;
    ASSERT_TRUE(Cp932ToUtf8(folder + "original\\" + name, &peerPath));

    const std::string port = "46699";
    CliPeer peer;
    ASSERT_TRUE(StartCli(peer, folder, "peer", {"original", peerPath, "--listen", "--port", port, "--log-dir", folder}));
    ASSERT_TRUE(WaitForLine(peer, "接続待ち・・・", 20000));

    Click(w, IDC_COPY);
    snprintf(transferState.localPath, kPathSize, "%s%s", folder.c_str(), name.c_str());
    snprintf(transferState.fileTitle, kPathSize, "%s", name.c_str());
    LoadSelectedFile(w);
    SetText(w, IDC_REMOTE_IP, "127.0.0.1");
    SetText(w, IDC_YOUR_IP, "192.0.2.20");
    Click(w, IDC_START);
    FinishCli(peer, 120000);
    ASSERT_EQ(peer.exitCode, 0) << peer.errors;
    ASSERT_TRUE(WaitForWorker(120000));
    ASSERT_TRUE(ReadFile(folder + name) == original);

    SetForegroundWindow(w);
    RECT frame;
    GetWindowRect(w, &frame);
    const std::string dir = std::string(handshake) + "\\";
    FILE* ready = fopen((dir + "ready.tmp").c_str(), "w");
    ASSERT_NE(ready, nullptr);
    fprintf(ready, "%ld %ld %ld %ld\n", frame.left, frame.top, frame.right - frame.left, frame.bottom - frame.top);
    fclose(ready);
    MoveFileA((dir + "ready.tmp").c_str(), (dir + "ready").c_str());
    EXPECT_TRUE(WaitUntil([&] { return GetFileAttributesA((dir + "taken").c_str()) != INVALID_FILE_ATTRIBUTES; },
                          120000));
}
