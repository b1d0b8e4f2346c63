// One side of a transfer run by the engine in this process, against a
// scripted peer on loopback: the lifecycle of a transfer and the bytes of
// the handshake and the size negotiation, including what a hostile or
// vanishing peer sends.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <new>

#include "engine/fileinfo.h"
#include "engine/frontend.h"
#include "platform/file.h"
#include "platform/text.h"
#include "engine/lifecycle.h"
#include "engine/transfer_state.h"
#include "tests/support/engine_fixture.h"
#include "tests/support/engine_peer_fixture.h"
#include "tests/support/fixtures.h"
#include "tests/support/peer.h"
#include "tests/support/recorder.h"

namespace {
class EnginePeerTest : public EnginePeerFixture {
protected:
    void ChooseFile(int fileType, const std::string& name, const std::string& bytes) {
        ChooseLocalFile(fileType, name, bytes);
    }

    void ChooseFolder() {
        transferState.fileType = kNothing;
        strcpy(transferState.localPath, EnginePath(folder).c_str());
        transferState.selectionKind = kFolderSelected;
    }

    std::vector<std::string> Tail(size_t n) {
        std::vector<std::string> lines = RecordedLines();
        if (lines.size() > n) lines.erase(lines.begin(), lines.end() - static_cast<long>(n));
        return lines;
    }
};
}  // namespace

TEST_F(EnginePeerTest, UnopenableLocalFileEndsAtOnceWithoutLineOrSocket) {
    transferState.fileType = kOriginal;  // nothing chosen: an empty path
    int handles = OpenHandleCount();
    int lines = transferState.statusLineCount;
    ASSERT_TRUE(StartTransfer());
    ASSERT_TRUE(Ends());
    EXPECT_EQ(transferState.statusLineCount, lines);
    EXPECT_EQ(recorder.restoreCalls, 1);
    EXPECT_FALSE(transferState.dataSocket.IsOpen());
    EXPECT_EQ(OpenHandleCount(), handles);

    // A Copy whose file vanished: the reload shows the error and clears it.
    ChooseFile(kCopy, "gone.bin", "abc");
    std::remove((folder + "gone.bin").c_str());
    ASSERT_TRUE(StartTransfer());
    ASSERT_TRUE(Ends());
    EXPECT_EQ(recorder.errors.size(), 1u);
    EXPECT_EQ(transferState.selectionKind, kNoSelection);
    EXPECT_STREQ(transferState.localPath, "");
}

TEST_F(EnginePeerTest, HundredTransfersReleaseEveryFileAndSocket) {
    ChooseFile(kOriginal, "a.bin", RandomBytes(10000, 3));
    int handles = OpenHandleCount();
    for (int i = 0; i < 50; ++i) {
        // Ends through EndTransfer: the peer refuses the pairing.
        StartAsClient();
        std::string got;
        ASSERT_TRUE(PeerReceive(peer, 4, &got));
        ASSERT_TRUE(PeerSend(peer, Word(kOriginal)));
        ASSERT_TRUE(Ends());
        PeerClose(peer);
        // Ends through FinishWorker: the file is held by another opener.
        FileHandle holder;
        ASSERT_TRUE(FileOpen(holder, transferState.localPath, FileMode::ReadExisting));
        ASSERT_TRUE(StartTransfer());
        ASSERT_TRUE(Ends());
    }
    EXPECT_EQ(OpenHandleCount(), handles);
    EXPECT_EQ(Tail(3), (std::vector<std::string>{"FileType が正しくありません。", "切断しました", ""}));
}

TEST_F(EnginePeerTest, SecondTransferStartsCleanAndFollowsTheFirst) {
    const int countBefore = transferState.statusLineCount;
    ChooseFile(kOriginal, "a.bin", RandomBytes(10000, 3));
    StartAsClient();
    std::string got;
    ASSERT_TRUE(PeerReceive(peer, 4, &got));
    PeerClose(peer);  // the peer vanishes mid-handshake
    ASSERT_TRUE(Ends());
    const size_t afterFirst = RecordedLines().size();
    EXPECT_EQ(Tail(3), (std::vector<std::string>{"相手との接続が切れました", "切断しました", ""}));

    StartAsClient();
    ASSERT_TRUE(PeerReceive(peer, 4, &got));
    ASSERT_TRUE(PeerSend(peer, Word(kCopy) + Word(10000)));
    std::string answer;
    ASSERT_TRUE(PeerReceive(peer, 5, &answer));  // flag 0, block size
    EXPECT_EQ(answer, Byte(0) + Word(4096));
    EXPECT_EQ(transferState.newFileMode, 0);
    PeerClose(peer);
    ASSERT_TRUE(Ends());
    std::vector<std::string> lines = RecordedLines();
    EXPECT_EQ(transferState.statusLineCount - countBefore, static_cast<int>(lines.size()));
    EXPECT_EQ(lines[afterFirst - 1], "");
    EXPECT_EQ(lines[afterFirst], "接続中・・・");
}

TEST_F(EnginePeerTest, StopSetsTheFlagAndTheNextStartClearsIt) {
    RequestStop();
    EXPECT_EQ(transferState.stopRequested.load(), 1);
    transferState.fileType = kOriginal;
    ASSERT_TRUE(StartTransfer());
    EXPECT_EQ(transferState.stopRequested.load(), 0);
    ASSERT_TRUE(Ends());
}

TEST_F(EnginePeerTest, PortUsesItsLowSixteenBits) {
    ChooseFile(kOriginal, "a.bin", "x");
    ASSERT_TRUE(PeerListen(peer, 4464));
    transferState.netRole = kClient;
    transferState.port = 70000;
    ASSERT_TRUE(StartTransfer());
    EXPECT_TRUE(PeerAccept(peer, 10000));
    PeerClose(peer);
    ASSERT_TRUE(Ends());
}

TEST_F(EnginePeerTest, OriginalSendsTheWorkedExampleBytes) {
    // Only the FileType word offers protocol 2 (and the continuation of a
    // partial file); a peer that answers with a plain word gets protocol 1,
    // byte for byte.
    ChooseFile(kOriginal, "data.bin", RandomBytes(10000, 5));
    StartAsClient();
    std::string got;
    ASSERT_TRUE(PeerReceive(peer, 4, &got));
    EXPECT_EQ(got, std::string("BM\x12O", 4));
    ASSERT_TRUE(PeerSend(peer, Word(kCopy) + Word(9000)));
    ASSERT_TRUE(PeerReceive(peer, 9, &got));
    EXPECT_EQ(got, std::string("\x01\x10\x27\x00\x00\x00\x10\x00\x00", 9));
    ASSERT_TRUE(PeerReceive(peer, 6, &got));  // three checksums
    PeerClose(peer);
    ASSERT_TRUE(Ends());
    EXPECT_TRUE(HasLine(RecordedLines(), "RemoteFileSize: 9000"));
}

TEST_F(EnginePeerTest, MemoryThatCannotBeHadAnywhereEndsTheTransferLikeAnyFailure) {
    // An allocation that fails in the middle of a phase (here: while a line
    // is shown) ends the transfer with its own line and the usual end, and
    // the next transfer starts clean.
    ChooseFile(kOriginal, "data.bin", RandomBytes(10000, 5));
    recorder.onLine = [](const std::string& line) {
        if (line == "RemoteFileSize: 9000") throw std::bad_alloc();
    };
    StartAsClient();
    std::string got;
    ASSERT_TRUE(PeerReceive(peer, 4, &got));
    ASSERT_TRUE(PeerSend(peer, Word(kCopy) + Word(9000)));
    EXPECT_TRUE(PeerReceiveUntilClosed(peer, &got));
    ASSERT_TRUE(Ends());
    recorder.onLine = nullptr;
    EXPECT_EQ(Tail(3), (std::vector<std::string>{"メモリが足りません", "切断しました", ""}));
    EXPECT_FALSE(transferState.dataSocket.IsOpen());
    EXPECT_EQ(recorder.restoreCalls, 1);
    PeerClose(peer);
    StartAsClient();
    ASSERT_TRUE(PeerReceive(peer, 4, &got));
    PeerClose(peer);
    ASSERT_TRUE(Ends());
    EXPECT_EQ(Tail(3), (std::vector<std::string>{"相手との接続が切れました", "切断しました", ""}));
}

TEST_F(EnginePeerTest, LongerCopyEndsAfterTheSizes) {
    ChooseFile(kCopy, "c.bin", RandomBytes(9000, 5));
    transferState.protocolLimit = 1;  // the plain word
    StartAsClient();
    std::string got;
    ASSERT_TRUE(PeerReceive(peer, 4, &got));
    EXPECT_EQ(got, Word(kCopy));
    ASSERT_TRUE(PeerSend(peer, Word(kOriginal)));
    ASSERT_TRUE(PeerReceive(peer, 4, &got));
    EXPECT_EQ(WordAt(got, 0), 9000u);
    ASSERT_TRUE(PeerSend(peer, Byte(1) + Word(8000)));
    ASSERT_TRUE(Ends());
    EXPECT_EQ(Tail(4), (std::vector<std::string>{"RemoteFileSize: 8000", "error: ファイルサイズが異なります",
                                                 "切断しました", ""}));
    EXPECT_EQ(ReadFile(folder + "c.bin"), RandomBytes(9000, 5));
}

TEST_F(EnginePeerTest, CopyRefusesBlockSizesOutsideTheThirteen) {
    for (uint32_t size : {0u, 1u, 4095u, 4097u, 12288u, 16777217u, 0x80000000u}) {
        ChooseFile(kCopy, "c.bin", RandomBytes(9000, 5));
        StartAsClient();
        std::string got;
        ASSERT_TRUE(PeerReceive(peer, 4, &got));
        ASSERT_TRUE(PeerSend(peer, Word(kOriginal)));
        ASSERT_TRUE(PeerReceive(peer, 4, &got));
        ASSERT_TRUE(PeerSend(peer, Byte(0) + Word(size)));
        ASSERT_TRUE(Ends());
        EXPECT_EQ(Tail(3), (std::vector<std::string>{"ブロックサイズが正しくありません。", "切断しました", ""}))
            << size;
        PeerClose(peer);
    }
}

TEST_F(EnginePeerTest, NothingSideRefusesUnsafeNames) {
    const std::string names[] = {"..", "..\\..\\x", "../x", "C:\\x", "CON", "nul.txt", "a/b", ""};
    for (const std::string& name : names) {
        ResetEngine();
        recorder.programFolder = EnginePath(folder);
        ChooseFolder();
        StartAsClient();
        std::string got, record = name;
        record.resize(260, '\0');
        ASSERT_TRUE(PeerReceive(peer, 4, &got));
        ASSERT_TRUE(PeerSend(peer, Word(kOriginal) + record));
        ASSERT_TRUE(PeerReceive(peer, 1, &got));
        EXPECT_EQ(got, Byte(0)) << name;
        ASSERT_TRUE(Ends());
        EXPECT_EQ(Tail(4)[1], "処理を中断します。") << name;
        EXPECT_EQ(transferState.fileType, kNothing);
        PeerClose(peer);
    }
    // A record with no zero byte at all.
    ChooseFolder();
    StartAsClient();
    std::string got;
    ASSERT_TRUE(PeerReceive(peer, 4, &got));
    ASSERT_TRUE(PeerSend(peer, Word(kOriginal) + std::string(260, 'A')));
    ASSERT_TRUE(PeerReceive(peer, 1, &got));
    EXPECT_EQ(got, Byte(0));
    ASSERT_TRUE(Ends());
    // Nothing was made, in the folder or beside it.
    EXPECT_TRUE(std::filesystem::is_empty(folder));
    EXPECT_FALSE(FileExists(folder + "../x"));
}

TEST_F(EnginePeerTest, NothingSideAcceptsAJapaneseNameWithABackslashTrailByte) {
    ChooseFolder();
    StartAsClient();
    std::string got, record = "ソース.txt";  // ソ is 0x83 0x5C
    record.resize(260, '\0');
    ASSERT_TRUE(PeerReceive(peer, 4, &got));
    ASSERT_TRUE(PeerSend(peer, Word(kOriginal) + record));
    ASSERT_TRUE(PeerReceive(peer, 1, &got));
    EXPECT_EQ(got, Byte(1));
    ASSERT_TRUE(PeerSend(peer, Word(3) + "abc"));
    ASSERT_TRUE(Ends());
    EXPECT_TRUE(transferState.transferComplete);
    EXPECT_EQ(transferState.fileType, kCopy);
    EXPECT_EQ(transferState.netRole, kClient);
    EXPECT_EQ(transferState.selectionKind, kFileSelected);
    EXPECT_EQ(transferState.localSize, 3u);
    std::string held;  // the name as this system holds it
    ASSERT_TRUE(Cp932ToPath("ソース.txt", &held));
    EXPECT_EQ(std::string(transferState.fileTitle), held);
    EXPECT_EQ(Tail(4), (std::vector<std::string>{"データを受信中・・・3 / 3 (100%)", "受信完了", "切断しました", ""}));
}

TEST_F(EnginePeerTest, OverwriteQuestionLoopsUntilAnAnswerEndsIt) {
    WriteFile(folder + "data.bin", "old");
    WriteFile(folder + "other.bin", "old too");
    ChooseFolder();
    // Another name that exists too, then overwrite it.
    recorder.overwriteAnswers = {kSaveAs, kOverwrite};
    recorder.saveAsNames = {"other.bin"};
    StartAsClient();
    std::string got, record = "data.bin";
    record.resize(260, '\0');
    ASSERT_TRUE(PeerReceive(peer, 4, &got));
    ASSERT_TRUE(PeerSend(peer, Word(kOriginal) + record));
    ASSERT_TRUE(PeerReceive(peer, 1, &got));
    EXPECT_EQ(got, Byte(1));
    EXPECT_EQ(ReadFile(folder + "other.bin"), "old too");  // replaced only once the new one is whole
    EXPECT_EQ(recorder.overwriteQuestions, 2);
    ASSERT_TRUE(PeerSend(peer, Word(2) + "ok"));
    ASSERT_TRUE(Ends());
    EXPECT_EQ(ReadFile(folder + "other.bin"), "ok");
    EXPECT_EQ(ReadFile(folder + "data.bin"), "old");

    // Cancel: reply 0, the side stays Nothing with its folder.
    ResetEngine();
    recorder.programFolder = EnginePath(folder);
    ChooseFolder();
    recorder.overwriteAnswers = {kCancel};
    StartAsClient();
    ASSERT_TRUE(PeerReceive(peer, 4, &got));
    ASSERT_TRUE(PeerSend(peer, Word(kOriginal) + record));
    ASSERT_TRUE(PeerReceive(peer, 1, &got));
    EXPECT_EQ(got, Byte(0));
    ASSERT_TRUE(Ends());
    EXPECT_EQ(transferState.fileType, kNothing);
    EXPECT_STREQ(transferState.localPath, EnginePath(folder).c_str());
}

TEST_F(EnginePeerTest, OriginalReportsTheRemoteNameError) {
    ChooseFile(kOriginal, "data.bin", "abc");
    StartAsClient();
    std::string got;
    ASSERT_TRUE(PeerReceive(peer, 4, &got));
    ASSERT_TRUE(PeerSend(peer, Word(kNothing)));
    ASSERT_TRUE(PeerReceive(peer, 260, &got));
    EXPECT_EQ(got.substr(0, 9), std::string("data.bin\0", 9));
    ASSERT_TRUE(PeerSend(peer, Byte(0)));
    ASSERT_TRUE(Ends());
    EXPECT_EQ(Tail(3)[0], "Remote でエラーが発生しました。(FileName Error)");
}

TEST_F(EnginePeerTest, ClientWithNoServerGivesUpAfterOneAttempt) {
    ChooseFile(kOriginal, "data.bin", "abc");
    transferState.netRole = kClient;
    transferState.port = NextPort();  // nobody listens there
    ASSERT_TRUE(StartTransfer());
    ASSERT_TRUE(Ends());
    EXPECT_EQ(RecordedLines(), (std::vector<std::string>{"接続中・・・", "接続できませんでした", "切断しました", ""}));
}

TEST_F(EnginePeerTest, FilesOfFourGibibytesAreRefusedOnlyWithProtocol1) {
    std::string path = folder + "big.bin";
    {
        FileHandle f;
        ASSERT_TRUE(FileOpen(f, EnginePath(path).c_str(), FileMode::CreateTruncate));
        if (!FileSetEnd(f, 0x100000000ull)) GTEST_SKIP() << "no sparse file of 4 GiB here";
    }
    transferState.fileType = kOriginal;
    strcpy(transferState.localPath, EnginePath(path).c_str());
    strcpy(transferState.fileTitle, "big.bin");
    transferState.uiBlockSize = 16777216;
    // A peer that speaks only protocol 1 learns nothing more than the word.
    StartAsClient();
    std::string got;
    ASSERT_TRUE(PeerReceive(peer, 4, &got));
    ASSERT_TRUE(PeerSend(peer, Word(kCopy)));
    ASSERT_TRUE(Ends());
    EXPECT_EQ(RecordedLines(), (std::vector<std::string>{"接続中・・・", "接続完了", "4GB以上のファイルは扱えません",
                                                         "切断しました", ""}));
    EXPECT_TRUE(PeerReceiveUntilClosed(peer, &got));
    EXPECT_EQ(got, "");
    PeerClose(peer);
    // With protocol 2 the sizes pass in 64 bits.
    ResetRecorder();
    StartAsClient();
    ASSERT_TRUE(PeerReceive(peer, 4, &got));
    ASSERT_TRUE(PeerSend(peer, std::string("BM\x02" "C", 4) + Word(0) + Word(1)));
    ASSERT_TRUE(PeerReceive(peer, 1 + 4, &got));
    EXPECT_EQ(got, Byte(0) + Word(16777216));
    RequestStop();  // rather than sum 4 GiB of zeros
    PeerClose(peer);
    ASSERT_TRUE(Ends());
    EXPECT_EQ(RecordedLines()[2], "プロトコル2 (XXH3) で転送します");
    std::remove(path.c_str());
}

TEST_F(EnginePeerTest, SizeIsReadAgainWhenTheTransferStarts) {
    ChooseFile(kCopy, "c.bin", RandomBytes(100, 1));
    WriteFile(folder + "c.bin", RandomBytes(5000, 1));  // grew after it was chosen
    StartAsClient();
    std::string got;
    ASSERT_TRUE(PeerReceive(peer, 4, &got));
    ASSERT_TRUE(PeerSend(peer, Word(kOriginal)));
    ASSERT_TRUE(PeerReceive(peer, 4, &got));
    EXPECT_EQ(WordAt(got, 0), 5000u);
    EXPECT_EQ(transferState.decDigits, 4);
    EXPECT_EQ(transferState.hexDigits, 4);
    PeerClose(peer);
    ASSERT_TRUE(Ends());
}

#ifndef _WIN32
// The command-line peer's stop signal (RequestStop, then InterruptSocketWaits)
// ends a wait for the peer at once, also when it came just before the wait
// began; the listening socket is closed.
TEST_F(EnginePeerTest, InterruptedStopEndsTheWaitForThePeer) {
    ChooseFile(kOriginal, "a.bin", "x");
    for (bool beforeTheWait : {true, false}) {
        SCOPED_TRACE(beforeTheWait ? "before the wait" : "in the wait");
        const int port = NextPort();
        transferState.netRole = kServer;
        transferState.port = port;
        ASSERT_TRUE(StartTransfer());
        if (!beforeTheWait) {
            for (int i = 0; i < 2000 && !HasLine(RecordedLines(), "接続待ち・・・"); ++i) SleepMs(5);
            SleepMs(50);
        }
        RequestStop();
        InterruptSocketWaits();
        if (!Ends(5000)) {
            ADD_FAILURE() << "still waiting for the peer";
            ASSERT_TRUE(PeerConnect(peer, port, 1000));  // lets it go
            PeerClose(peer);
            ASSERT_TRUE(Ends());
        }
        EXPECT_EQ(Tail(3), (std::vector<std::string>{"接続待ち・・・", "切断しました", ""}));
        ScriptedPeer again;
        EXPECT_TRUE(PeerListen(again, port));
    }
}
#endif
