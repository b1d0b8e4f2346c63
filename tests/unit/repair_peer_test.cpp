// A Copy side run by the engine in this process against a scripted
// Original: what the Copy's file holds after a repair, a stop in the tail,
// and a repair whose file cannot be written.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "wire/crc16.h"
#include "engine/fileinfo.h"
#include "engine/lifecycle.h"
#include "engine/transfer_state.h"
#include "platform/file.h"
#include "tests/support/engine_fixture.h"
#include "tests/support/engine_peer_fixture.h"
#include "tests/support/fixtures.h"
#include "tests/support/peer.h"
#include "tests/support/recorder.h"

namespace {
// The size of the file as its directory entry tells it. Reading the file
// instead would open it, and on Windows an open while the engine is about
// to open it exclusively makes the engine's open fail.
uint64_t SizeOnDisk(const std::string& file) {
    std::error_code error;
    const uintmax_t size = std::filesystem::file_size(file, error);
    return error ? 0 : size;
}

std::string CrcList(const std::string& bytes, uint32_t blockSize, uint32_t length) {
    std::string list;
    for (uint32_t at = 0; at < length; at += blockSize) {
        uint32_t n = length - at < blockSize ? length - at : blockSize;
        uint16_t crc = Crc16Update(0xFFFF, reinterpret_cast<const uint8_t*>(bytes.data()) + at, n);
        list += static_cast<char>(crc & 0xFF);
        list += static_cast<char>(crc >> 8);
    }
    return list;
}

class RepairPeerTest : public EnginePeerFixture {
protected:
    std::string path;

    void SetUp() override {
        EnginePeerFixture::SetUp();
        path = folder + "copy.bin";
    }

    // The Copy side connects to the scripted Original; the handshake and the
    // sizes pass as for an Original of originalSize bytes at 4096.
    void StartCopy(const std::string& copyBytes, uint32_t originalSize) {
        ChooseLocalFile(kCopy, "copy.bin", copyBytes);
        StartAsClient();
        std::string got;
        ASSERT_TRUE(PeerReceive(peer, 4, &got));
        ASSERT_TRUE(PeerSend(peer, Word(kOriginal)));
        ASSERT_TRUE(PeerReceive(peer, 4, &got));
        ASSERT_EQ(WordAt(got, 0), copyBytes.size());
        if (originalSize == copyBytes.size()) ASSERT_TRUE(PeerSend(peer, Byte(0) + Word(4096)));
        else ASSERT_TRUE(PeerSend(peer, Byte(1) + Word(originalSize) + Word(4096)));
    }

    bool WaitForRecordedLine(const std::string& line) {
        for (int i = 0; i < 2000; ++i) {
            if (HasLine(RecordedLines(), line)) return true;
            SleepMs(5);
        }
        return false;
    }

    void WaitForEnd() { ASSERT_TRUE(Ends()); }
};
}  // namespace

TEST_F(RepairPeerTest, RepairedBlocksHoldTheOriginalAndEverythingElseStays) {
    std::string original = RandomBytes(5 * 4096, 2);
    std::string copy = original;
    copy[4096 + 10] ^= 1;
    copy[3 * 4096 + 4000] ^= 1;
    StartCopy(copy, static_cast<uint32_t>(original.size()));
    ASSERT_TRUE(PeerSend(peer, CrcList(original, 4096, 5 * 4096)));
    std::string got;
    ASSERT_TRUE(PeerReceive(peer, 10, &got));
    EXPECT_EQ(got, CrcList(copy, 4096, 5 * 4096));
    ASSERT_TRUE(PeerSend(peer, original.substr(4096, 4096) + original.substr(3 * 4096, 4096)));
    ASSERT_TRUE(PeerSend(peer, CrcList(original.substr(4096, 4096), 4096, 4096) +
                                   CrcList(original.substr(3 * 4096, 4096), 4096, 4096)));
    ASSERT_TRUE(PeerReceive(peer, 4, &got));
    PeerClose(peer);
    WaitForEnd();
    EXPECT_TRUE(transferState.transferComplete);
    EXPECT_TRUE(ReadFile(path) == original);
    EXPECT_TRUE(HasLine(RecordedLines(), "修復が完了しました"));
}

TEST_F(RepairPeerTest, VerificationThatStillDiffersEndsWithoutTail) {
    std::string original = RandomBytes(3 * 4096, 3);
    std::string copy = original.substr(0, 2 * 4096);
    copy[5] ^= 1;
    StartCopy(copy, static_cast<uint32_t>(original.size()));
    ASSERT_TRUE(PeerSend(peer, CrcList(original, 4096, 2 * 4096)));
    std::string got;
    ASSERT_TRUE(PeerReceive(peer, 4, &got));
    // A peer whose block data is wrong: the verification must not pass it.
    ASSERT_TRUE(PeerSend(peer, std::string(4096, 'z') + CrcList(original, 4096, 4096)));
    ASSERT_TRUE(PeerReceive(peer, 2, &got));
    WaitForEnd();
    EXPECT_FALSE(transferState.transferComplete);
    std::vector<std::string> lines = RecordedLines();
    EXPECT_TRUE(HasLine(lines, "修復に失敗したようです。"));
    EXPECT_FALSE(HasLine(lines, "修復が完了しました"));
    EXPECT_EQ(ReadFile(path).size(), 2u * 4096);  // no tail was appended
}

TEST_F(RepairPeerTest, StopInTheTailKeepsTheWrittenPiecesAndNothingElse) {
    std::string original = RandomBytes(4096 + 10 * 65536, 4);
    StartCopy(original.substr(0, 4096), static_cast<uint32_t>(original.size()));
    ASSERT_TRUE(PeerSend(peer, CrcList(original, 4096, 4096)));
    std::string got;
    ASSERT_TRUE(PeerReceive(peer, 2, &got));
    ASSERT_TRUE(PeerSend(peer, original.substr(4096, 2 * 65536)));
    // Once two pieces are on disk, Stop; the next piece is still written,
    // then the check after it ends the transfer.
    for (int i = 0; i < 2000 && SizeOnDisk(path) < 4096 + 2 * 65536; ++i) SleepMs(5);
    RequestStop();
    ASSERT_TRUE(PeerSend(peer, original.substr(4096 + 2 * 65536, 65536)));
    WaitForEnd();
    EXPECT_FALSE(transferState.transferComplete);
    EXPECT_TRUE(ReadFile(path) == original.substr(0, 4096 + 3 * 65536));
    std::vector<std::string> lines = RecordedLines();
    EXPECT_EQ(lines[lines.size() - 3], "サイズ相違部分のデータを受信中・・・196608 / 655360 (30%)");
    EXPECT_EQ(lines[lines.size() - 2], "切断しました");
}

TEST_F(RepairPeerTest, RepairThatCannotWriteTheFileFailsCleanly) {
    std::string original = RandomBytes(2 * 4096, 5);
    std::string copy = original;
    copy[100] ^= 1;
    StartCopy(copy, static_cast<uint32_t>(original.size()));
    // The checksum pass is over once the Copy waits for the Original's list;
    // from then on another opener holds the file.
    ASSERT_TRUE(WaitForRecordedLine("CRCデータ受信中・・・"));
    FileHandle holder;
    ASSERT_TRUE(FileOpen(holder, EnginePath(path).c_str(), FileMode::ReadExisting));
    ASSERT_TRUE(PeerSend(peer, CrcList(original, 4096, 2 * 4096)));
    std::string got;
    ASSERT_TRUE(PeerReceive(peer, 4, &got));
    WaitForEnd();
    FileClose(holder);
    // The failed open, then the reload of the Copy's figures at the end,
    // while the other opener still holds the file.
    EXPECT_EQ(recorder.errors.size(), 2u);
    std::vector<std::string> lines = RecordedLines();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[lines.size() - 3], "修復に失敗しました");
    EXPECT_EQ(lines[lines.size() - 2], "切断しました");
    EXPECT_TRUE(ReadFile(path) == copy);
}

TEST_F(RepairPeerTest, CopyCutOffInTheTailStaysChosenWithItsNewSize) {
    std::string original = RandomBytes(4096 + 4 * 65536, 6);
    StartCopy(original.substr(0, 4096), static_cast<uint32_t>(original.size()));
    ASSERT_TRUE(PeerSend(peer, CrcList(original, 4096, 4096)));
    std::string got;
    ASSERT_TRUE(PeerReceive(peer, 2, &got));
    // The connection breaks inside the second piece, while the tail holds
    // the file open: the reload at the end must still find the file free.
    ASSERT_TRUE(PeerSend(peer, original.substr(4096, 65536 + 100)));
    for (int i = 0; i < 2000 && SizeOnDisk(path) < 4096 + 65536; ++i) SleepMs(5);
    PeerClose(peer);
    WaitForEnd();
    EXPECT_TRUE(recorder.errors.empty());
    EXPECT_EQ(transferState.selectionKind, kFileSelected);
    EXPECT_EQ(transferState.localSize, 4096u + 65536u);
    EXPECT_TRUE(ReadFile(path) == original.substr(0, 4096 + 65536));
    std::vector<std::string> lines = RecordedLines();
    EXPECT_EQ(lines[lines.size() - 3], "相手との接続が切れました");
}
