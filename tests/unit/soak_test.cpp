// Two hundred transfers in a row in one process, the engine against a
// scripted peer: repairs, refused pairings, stops, lost connections and
// whole files, mixed. After the first rounds, open descriptors (handles),
// threads and heap in use must not grow.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "engine/fileinfo.h"
#include "engine/lifecycle.h"
#include "engine/transfer_state.h"
#include "tests/support/engine_fixture.h"
#include "tests/support/fixtures.h"
#include "tests/support/peer.h"
#include "tests/support/recorder.h"
#include "tests/support/wire_script.h"

#if defined(__SANITIZE_ADDRESS__)
extern "C" size_t __sanitizer_get_current_allocated_bytes();  // sanitizer/allocator_interface.h
#elif defined(__GLIBC__)
#include <malloc.h>
#endif

namespace {
// Threads of this process (0 where the system does not say).
int ThreadCount() {
#ifdef __linux__
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("Threads:", 0) == 0) return std::stoi(line.substr(8));
#endif
    return 0;
}

// Bytes of heap in use (0 where it cannot be told).
size_t HeapInUse() {
#if defined(__SANITIZE_ADDRESS__)
    return __sanitizer_get_current_allocated_bytes();
#elif defined(__GLIBC__)
    struct mallinfo2 m = mallinfo2();
    return m.uordblks + m.hblkhd;
#else
    return 0;
#endif
}

struct Usage {
    int handles, threads;
    size_t heap;
};

// Workers are detached: one may still be on its way out just after its
// transfer ended (this test's or an earlier test's), so the count is given
// a moment to come down to the main thread alone.
int SettledThreadCount() {
    int count = ThreadCount();
    for (int waited = 0; waited < 1000 && count > 1; waited += 5) {
        SleepMs(5);
        count = ThreadCount();
    }
    return count;
}

Usage Measure() {
    int threads = SettledThreadCount();
    return Usage{OpenHandleCount(), threads, HeapInUse()};
}

class SoakTest : public testing::Test {
protected:
    std::string folder;
    ScriptedPeer peer;
    int port = 0;

    void SetUp() override {
        ResetEngine();
        folder = ScratchFolder("soak");
        port = NextPort();
        ASSERT_TRUE(PeerListen(peer, port));
    }
    void TearDown() override {
        PeerClose(peer);
        if (TransferRunning()) {
            RequestStop();
            WaitForTransferEnd();
        }
        ResetEngine();
    }

    // Starts a transfer of this side (Client) as fileType on file (a name
    // in folder holding bytes) or, for Nothing, on the folder.
    void Begin(int fileType, const std::string& file, const std::string& bytes) {
        ResetEngine();
        recorder.programFolder = EnginePath(folder);
        transferState.netRole = kClient;
        transferState.port = port;
        transferState.fileType = fileType;
        if (fileType == kNothing) {
            strcpy(transferState.localPath, EnginePath(folder).c_str());
            transferState.selectionKind = kFolderSelected;
        } else {
            WriteFile(folder + file, bytes);
            strcpy(transferState.localPath, EnginePath(folder + file).c_str());
            strcpy(transferState.fileTitle, file.c_str());
            transferState.selectionKind = kFileSelected;
            ASSERT_EQ(ReadLocalFileInfo(), FileInfoResult::Ok);
            SetBlockFigures(0);
        }
        ASSERT_TRUE(StartTransfer());
        ASSERT_TRUE(PeerAccept(peer, 10000));
    }

    void End() {
        WaitForTransferEnd();
        SocketClose(peer.sock);
    }

    bool WaitForRecordedLine(const std::string& line) {
        for (int waited = 0; waited < 10000; waited += 2) {
            if (HasLine(RecordedLines(), line)) return true;
            SleepMs(2);
        }
        return false;
    }

    std::vector<std::string> LastLines(size_t n) {
        std::vector<std::string> lines = RecordedLines();
        if (lines.size() > n) lines.erase(lines.begin(), lines.end() - static_cast<long>(n));
        return lines;
    }

    // One transfer of the kind round % 5 selects, checked.
    void Transfer(int round) {
        const std::string original = RandomBytes(3 * kBlock + 2 * kPiece + 77, static_cast<uint32_t>(round % 7));
        std::string copy = original.substr(0, 3 * kBlock);
        copy[kBlock + round % kBlock] ^= 0x24;
        switch (round % 5) {
        case 0: {  // a repair and its tail
            Begin(kCopy, "copy.bin", copy);
            Play(peer, OriginalPart(original, copy));
            End();
            EXPECT_TRUE(transferState.transferComplete);
            EXPECT_TRUE(ReadFile(folder + "copy.bin") == original);
            break;
        }
        case 1: {  // a refused pairing
            Begin(kOriginal, "orig.bin", original);
            Play(peer, {Send(Word(kOriginal)), Receive(4)});
            End();
            EXPECT_EQ(LastLines(3), (std::vector<std::string>{"FileType が正しくありません。", "切断しました", ""}));
            break;
        }
        case 2: {  // Stop in the tail
            const std::string head = original.substr(0, 3 * kBlock);
            Begin(kCopy, "copy.bin", head);
            Script script = OriginalPart(original, head);
            std::string got;
            for (const Step& step : script) {
                if (step.kind == Step::kTail) break;
                if (step.receive > 0) ASSERT_TRUE(PeerReceive(peer, step.receive, &got));
                else ASSERT_TRUE(PeerSend(peer, step.send));
            }
            ASSERT_TRUE(WaitForRecordedLine("CRCは全て一致しています。"));
            RequestStop();
            PeerSend(peer, original.substr(head.size()));
            ShutdownSend(peer);
            PeerReceiveUntilClosed(peer, &got, 10000);
            End();
            EXPECT_FALSE(transferState.transferComplete);
            EXPECT_EQ(LastLines(2), (std::vector<std::string>{"切断しました", ""}));
            EXPECT_FALSE(HasLine(RecordedLines(), "受信完了"));
            break;
        }
        case 3: {  // the peer gone in the middle of the checksums
            Begin(kOriginal, "orig.bin", original);
            Play(peer, CopyPart(original, copy), 4 + 4 + 3);
            End();
            EXPECT_EQ(LastLines(3), (std::vector<std::string>{"相手との接続が切れました", "切断しました", ""}));
            EXPECT_TRUE(ReadFile(folder + "orig.bin") == original);
            break;
        }
        case 4: {  // a whole file to this side
            std::filesystem::remove(folder + "whole.bin");
            Begin(kNothing, "", "");
            Play(peer, WholeFilePart(original, "whole.bin"));
            End();
            EXPECT_TRUE(transferState.transferComplete);
            EXPECT_TRUE(ReadFile(folder + "whole.bin") == original);
            break;
        }
        }
    }
};
}  // namespace

TEST_F(SoakTest, TwoHundredMixedTransfersHoldNothingBack) {
    const int threadsBefore = SettledThreadCount();
    Usage settled{};
    for (int round = 0; round < 200; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        Transfer(round);
        if (HasFailure()) return;
        // Compared at the same point of the cycle of kinds.
        if (round == 49) settled = Measure();
    }
    Usage now = Measure();
    EXPECT_EQ(now.handles, settled.handles);
    EXPECT_EQ(now.threads, settled.threads);
    EXPECT_EQ(now.threads, threadsBefore);
    // One leaked block node per transfer would be 150 x 24 bytes.
    EXPECT_LT(now.heap, settled.heap + 2048) << "heap grew from " << settled.heap << " to " << now.heap;
}
