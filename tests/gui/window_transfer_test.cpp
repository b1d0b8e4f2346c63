// Whole transfers driven through the window against a blockmend-cli peer on
// 127.0.0.1: a repair of a damaged, shorter copy and a second transfer
// after it, and a Nothing side that receives a file, becomes a Copy, and is
// asked before a second file of the same name is made, both in protocol 1;
// and a file beyond 4 GiB, repaired in protocol 2 and refused by a peer of
// protocol 1. The window listens; the peer connects once the window waits
// for it.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <thread>

#include "app/file_select.h"
#include "app/resource.h"
#include "engine/fileinfo.h"
#include "engine/transfer_state.h"
#include "tests/gui/gui_harness.h"
#include "tests/support/fixtures.h"
#include "tests/support/peer.h"
#include "tests/support/wire_script.h"

namespace {

// Answers the overwrite question, when it comes, with 上書きする.
void AnswerOverwrite() {
    HWND question = WaitForDialog("上書き確認", 60000);
    ASSERT_NE(question, nullptr);
    Click(question, IDC_OVERWRITE);
    PostMessageA(question, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
}

// Start in the window (which listens), then the peer with args; both to
// their end. The window's state while the transfer runs is checked.
void RunAgainstPeer(HWND w, const std::string& folder, const std::string& tag, const std::vector<std::string>& args,
                    const std::function<void()>& whileRunning = nullptr, int peerExit = 0) {
    const size_t before = StatusLines(w).size();
    Click(w, IDC_START);
    EXPECT_TRUE(InTransferState(w));
    ASSERT_TRUE(WaitUntil([&] { return StatusLines(w).size() > before; }, 20000));
    EXPECT_EQ(StatusLines(w)[before], "接続待ち・・・");
    CliPeer peer;
    ASSERT_TRUE(StartCli(peer, folder, tag, args));
    if (whileRunning) whileRunning();
    FinishCli(peer, 120000);
    EXPECT_EQ(peer.exitCode, peerExit) << peer.errors;
    ASSERT_TRUE(WaitForWorker(120000));
    EXPECT_TRUE(Idle(w));
}

// The window connects as a Client to a peer that listens already.
void RunAsClientOfPeer(HWND w, const std::string& folder, const std::string& tag, const std::vector<std::string>& args) {
    CliPeer peer;
    ASSERT_TRUE(StartCli(peer, folder, tag, args));
    ASSERT_TRUE(WaitForLine(peer, "接続待ち・・・", 20000));
    Click(w, IDC_START);
    EXPECT_TRUE(InTransferState(w));
    FinishCli(peer, 120000);
    EXPECT_EQ(peer.exitCode, 0) << peer.errors;
    ASSERT_TRUE(WaitForWorker(120000));
    EXPECT_TRUE(Idle(w));
}

size_t IndexOf(const std::vector<std::string>& lines, const std::string& line, size_t from = 0) {
    return static_cast<size_t>(std::find(lines.begin() + static_cast<long>(from), lines.end(), line) - lines.begin());
}
}  // namespace

using WindowTransfer = WindowTest;

TEST_F(WindowTransfer, RepairsADamagedShorterCopy) {
    HWND w = Window();
    std::string folder = ScratchFolder("gui-repair");
    std::string original = RandomBytes(3000000, 11);
    std::string copy = original.substr(0, 2900000);
    for (size_t at : {5000u, 1234567u, 2000000u, 2000001u}) copy[at] = static_cast<char>(~copy[at]);
    WriteFile(folder + "orig.bin", original);
    WriteFile(folder + "copy.bin", copy);
    const std::string port = std::to_string(NextPort());
    const std::vector<std::string> peerArgs = {"original", folder + "orig.bin", "--connect", "127.0.0.1",
                                               "--port", port, "--log-dir", folder, "--protocol", "1"};

    transferState.protocolLimit = 1;
    Click(w, IDC_COPY);
    snprintf(transferState.localPath, kPathSize, "%scopy.bin", folder.c_str());
    snprintf(transferState.fileTitle, kPathSize, "copy.bin");
    LoadSelectedFile(w);
    Click(w, IDC_SERVER);
    SetText(w, IDC_PORT, port);
    RunAgainstPeer(w, folder, "peer1", peerArgs);

    EXPECT_TRUE(ReadFile(folder + "copy.bin") == original) << "the copy is repaired";
    EXPECT_TRUE(transferState.transferComplete);
    std::vector<std::string> lines = StatusLines(w);
    EXPECT_LT(IndexOf(lines, "修復が完了しました"), lines.size());
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], "切断しました");
    EXPECT_EQ(lines.back(), "");
    EXPECT_EQ(transferState.statusLineCount, static_cast<int32_t>(lines.size()));
    // The repaired copy's figures are loaded again, the suggestion included.
    EXPECT_EQ(Text(w, IDC_SIZE), "3000000");
    EXPECT_EQ(Text(w, IDC_DIVIDES), "184");
    EXPECT_EQ(transferState.uiBlockSize, 16384u);
    EXPECT_TRUE(Checked(w, IDC_COPY));
    EXPECT_TRUE(Checked(w, IDC_SERVER));

    // A second transfer, connecting to the peer at the typed address: its
    // lines follow the first one's blank line.
    const size_t firstEnd = lines.size();
    Click(w, IDC_CLIENT);
    SetText(w, IDC_REMOTE_IP, "127.0.0.1");
    RunAsClientOfPeer(w, folder, "peer2",
                      {"original", folder + "orig.bin", "--listen", "--port", port, "--log-dir", folder,
                       "--protocol", "1"});
    lines = StatusLines(w);
    ASSERT_GT(lines.size(), firstEnd);
    EXPECT_EQ(lines[firstEnd], "接続中・・・");
    EXPECT_EQ(lines[firstEnd + 1], "接続完了");
    EXPECT_LT(IndexOf(lines, "CRCは全て一致しています。", firstEnd), lines.size());
    EXPECT_EQ(lines.back(), "");
}

TEST_F(WindowTransfer, NothingSideReceivesTheFileAndBecomesACopy) {
    HWND w = Window();
    std::string folder = ScratchFolder("gui-new");
    std::string into = folder + "into\\";
    CreateDirectoryA(into.c_str(), nullptr);
    std::string original = RandomBytes(500000, 5);
    WriteFile(folder + "incoming.bin", original);
    const std::string port = std::to_string(NextPort());
    const std::vector<std::string> peerArgs = {"original", folder + "incoming.bin", "--connect", "127.0.0.1",
                                               "--port", port, "--log-dir", folder, "--protocol", "1"};

    transferState.protocolLimit = 1;
    Click(w, IDC_NOTHING);
    TakeFolderSelection(w, (folder + "into").c_str());
    Click(w, IDC_SERVER);
    SetText(w, IDC_PORT, port);
    RunAgainstPeer(w, folder, "peer1", peerArgs);

    EXPECT_TRUE(ReadFile(into + "incoming.bin") == original) << "the whole file arrived";
    EXPECT_EQ(transferState.fileType, kCopy);
    EXPECT_EQ(transferState.netRole, kClient);
    EXPECT_EQ(transferState.selectionKind, kFileSelected);
    EXPECT_TRUE(Checked(w, IDC_COPY));
    EXPECT_FALSE(Checked(w, IDC_NOTHING));
    EXPECT_FALSE(Checked(w, IDC_ORIGINAL));
    EXPECT_TRUE(Checked(w, IDC_CLIENT));
    EXPECT_FALSE(Checked(w, IDC_SERVER));
    EXPECT_TRUE(Enabled(w, IDC_REMOTE_IP));
    EXPECT_TRUE(Enabled(w, IDC_START));
    EXPECT_EQ(Text(w, IDC_FILE), into + "incoming.bin");
    EXPECT_STREQ(transferState.fileTitle, "incoming.bin");
    EXPECT_EQ(Text(w, IDC_SIZE), "500000");
    EXPECT_EQ(Text(w, IDC_DIVIDES), "123");

    // Again into the same folder: the window asks before it makes the file,
    // and the name typed there is used.
    Click(w, IDC_NOTHING);
    TakeFolderSelection(w, into.c_str());
    Click(w, IDC_SERVER);
    RunAgainstPeer(w, folder, "peer2", peerArgs, [&] {
        HWND question = WaitForDialog("上書き確認", 60000);
        ASSERT_NE(question, nullptr);
        EXPECT_EQ(Text(question, IDC_MESSAGE), "\"incoming.bin\"は既に存在しています");
        SetText(question, IDC_NEW_NAME, "second.bin");
        PostMessageA(question, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    });
    EXPECT_TRUE(ReadFile(into + "second.bin") == original) << "the file arrived under the typed name";
    EXPECT_EQ(Text(w, IDC_FILE), into + "second.bin");
    EXPECT_EQ(transferState.fileType, kCopy);
    EXPECT_TRUE(Checked(w, IDC_COPY));
    EXPECT_FALSE(Checked(w, IDC_NOTHING));
}

TEST_F(WindowTransfer, AFileBeyondFourGiBRepairsWithProtocol2AndIsRefusedWithProtocol1) {
    HWND w = Window();
    std::string folder = ScratchFolder("gui-big");
    const unsigned long long kFourGiB = 4294967296ull, size = kFourGiB + 3 * 4096 + 100;
    if (!MakeSparseFile(folder + "orig.bin", size, {{0, 1}, {kFourGiB + 4096, 2}})) GTEST_SKIP() << "no sparse files";
    ASSERT_TRUE(MakeSparseFile(folder + "copy.bin", size, {{0, 1}, {kFourGiB + 4096, 3}}));
    const std::string port = std::to_string(NextPort());
    std::vector<std::string> peerArgs = {"original", folder + "orig.bin", "--connect", "127.0.0.1",
                                         "--port", port, "--log-dir", folder};

    Click(w, IDC_COPY);
    snprintf(transferState.localPath, kPathSize, "%scopy.bin", folder.c_str());
    snprintf(transferState.fileTitle, kPathSize, "copy.bin");
    LoadSelectedFile(w);
    EXPECT_EQ(Text(w, IDC_SIZE), std::to_string(size));
    Click(w, IDC_SERVER);
    SetText(w, IDC_PORT, port);
    RunAgainstPeer(w, folder, "peer2", peerArgs);
    EXPECT_TRUE(SameFileContents(folder + "orig.bin", folder + "copy.bin")) << "the copy is repaired";
    std::vector<std::string> lines = StatusLines(w);
    EXPECT_EQ(lines[2], "プロトコル2 (XXH3) で転送します");
    EXPECT_LT(IndexOf(lines, "修復が完了しました"), lines.size());
    EXPECT_TRUE(transferState.transferComplete);

    // A peer of protocol 1 cannot carry it: the window says so at once.
    const size_t before = lines.size();
    peerArgs.insert(peerArgs.end(), {"--protocol", "1"});
    RunAgainstPeer(w, folder, "peer1", peerArgs, nullptr, 1);
    lines = StatusLines(w);
    EXPECT_EQ(std::vector<std::string>(lines.begin() + static_cast<long>(before), lines.end()),
              (std::vector<std::string>{"接続待ち・・・", "接続完了", "4GB以上のファイルは扱えません", "切断しました", ""}));
    EXPECT_FALSE(transferState.transferComplete);
    EXPECT_EQ(Text(w, IDC_SIZE), std::to_string(size));
}

TEST_F(WindowTransfer, AFileCutShortOverAnOlderOneIsKeptApartAndContinued) {
    // The window's Nothing side, told to overwrite an older file, meets an
    // Original that stops past the first piece: the older file stays as it
    // was, the received part waits beside it and the window stays a Nothing
    // side; the next transfer sends only the rest, and the new file
    // replaces the older one only once it is whole.
    HWND w = Window();
    const std::string folder = ScratchFolder("gui-resume");
    const std::string into = folder + "into\\";
    CreateDirectoryA(into.c_str(), nullptr);
    const std::string original = RandomBytes(500000, 8);
    WriteFile(folder + "incoming.bin", original);
    WriteFile(into + "incoming.bin", "older");
    const int port = NextPort();
    Click(w, IDC_NOTHING);
    TakeFolderSelection(w, (folder + "into").c_str());
    Click(w, IDC_SERVER);
    SetText(w, IDC_PORT, std::to_string(port));

    const Script whole = WholeFilePart(original, "incoming.bin", 2);
    const size_t cut = 4 + 260 + 8 + kPiece + 10;
    Click(w, IDC_START);
    ScriptedPeer peer;
    ASSERT_TRUE(PeerConnect(peer, port, 20000));
    std::thread play([&] { Play(peer, whole, cut, 60000); });
    AnswerOverwrite();
    play.join();
    ASSERT_TRUE(WaitForWorker(60000));
    std::vector<std::string> lines = StatusLines(w);
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[lines.size() - 3], "相手との接続が切れました");
    EXPECT_EQ(ReadFile(into + "incoming.bin"), "older");
    const std::string kept = FileAfterCut("", whole, cut);
    EXPECT_TRUE(ReadFile(into + "incoming.bin.blockmend-part") == kept);
    EXPECT_TRUE(Checked(w, IDC_NOTHING));
    EXPECT_EQ(transferState.fileType, kNothing);

    const size_t before = StatusLines(w).size();
    Click(w, IDC_START);
    ASSERT_TRUE(WaitUntil([&] { return StatusLines(w).size() > before; }, 20000));
    CliPeer cli;
    ASSERT_TRUE(StartCli(cli, folder, "original",
                         {"original", folder + "incoming.bin", "--connect", "127.0.0.1", "--port",
                          std::to_string(port), "--log-dir", folder}));
    AnswerOverwrite();
    FinishCli(cli, 120000);
    EXPECT_EQ(cli.exitCode, 0) << cli.errors;
    ASSERT_TRUE(WaitForWorker(120000));
    lines = StatusLines(w);
    EXPECT_LT(IndexOf(lines, "前回の続きから受信します (受信済み: " + std::to_string(kept.size()) + " バイト)", before),
              lines.size());
    const std::string rest = std::to_string(original.size() - kept.size());
    EXPECT_TRUE(HasLine(cli.lines, "サイズ相違部分のデータを送信中・・・" + rest + " / " + rest + " (100%)"));
    EXPECT_TRUE(ReadFile(into + "incoming.bin") == original);
    EXPECT_FALSE(FileExists(into + "incoming.bin.blockmend-part"));
    EXPECT_TRUE(Checked(w, IDC_COPY));
    EXPECT_EQ(Text(w, IDC_FILE), into + "incoming.bin");
}

TEST_F(WindowTransfer, ANameWithNoCodePage932FormIsRefusedAndNothingIsMade) {
    // The command-line peer holds any name and offers it in UTF-8; the
    // window, whose names are code page 932, cannot make such a file: it
    // says so with the name as far as it can show it, and makes nothing.
    HWND w = Window();
    const std::string folder = ScratchFolder("gui-utf8-name");
    const std::string into = folder + "into\\";
    CreateDirectoryA(into.c_str(), nullptr);
    const std::string name = "caf\xC3\xA9 \xF0\x9F\x98\x80.bin";
    const std::string wholePath = folder + name;  // the scratch folder is ASCII
    std::wstring wide(wholePath.size() + 1, L'\0');
    wide.resize(static_cast<size_t>(
        MultiByteToWideChar(CP_UTF8, 0, wholePath.c_str(), -1, wide.data(), static_cast<int>(wide.size())) - 1));
    HANDLE file = CreateFileW(wide.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    WriteFile(file, "some bytes", 10, &written, nullptr);
    CloseHandle(file);

    const std::string port = std::to_string(NextPort());
    Click(w, IDC_NOTHING);
    TakeFolderSelection(w, (folder + "into").c_str());
    Click(w, IDC_SERVER);
    SetText(w, IDC_PORT, port);
    RunAgainstPeer(w, folder, "peer",
                   {"original", wholePath, "--connect", "127.0.0.1", "--port", port, "--log-dir", folder}, nullptr, 1);

    const std::vector<std::string> lines = StatusLines(w);
    EXPECT_NE(IndexOf(lines, "ファイル名: caf? ?.bin"), lines.size());
    EXPECT_NE(IndexOf(lines, "\"" + into + "caf? ?.bin\"が開けませんでした。"), lines.size());
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((into + "*").c_str(), &found);
    int entries = 0;
    if (search != INVALID_HANDLE_VALUE) {
        do entries += found.cFileName[0] != '.';
        while (FindNextFileA(search, &found));
        FindClose(search);
    }
    EXPECT_EQ(entries, 0) << "no file and no partial file";
    EXPECT_EQ(transferState.fileType, kNothing);
}
