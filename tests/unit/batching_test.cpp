// The paths that move large amounts: the checksum pass reading runs of
// adjacent blocks in large pieces, and, with the engine as an Original in
// this process against a scripted Copy, damaged blocks gathered into one
// send (smaller and larger than a batch) and a tail of many 65536-byte
// pieces. The bytes on the wire must be exactly the file's, in order.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>

#include "engine/blocks.h"
#include "wire/crc16.h"
#include "engine/fileinfo.h"
#include "engine/lifecycle.h"
#include "engine/transfer_state.h"
#include "tests/support/engine_fixture.h"
#include "tests/support/engine_peer_fixture.h"
#include "tests/support/fixtures.h"
#include "tests/support/peer.h"
#include "tests/support/recorder.h"

namespace {
uint16_t CrcOf(const std::string& bytes, size_t at, size_t n) {
    return Crc16Update(0xFFFF, reinterpret_cast<const uint8_t*>(bytes.data()) + at, n);
}

std::string CrcBytes(uint16_t crc) { return std::string{static_cast<char>(crc & 0xFF), static_cast<char>(crc >> 8)}; }

class BatchingTest : public EnginePeerFixture {
protected:
    std::string original;

    // The engine is the Original of bytes at the block size of divideIndex,
    // connected to the scripted Copy; the handshake is done and the Copy
    // has announced copySize.
    void StartOriginal(const std::string& bytes, int divideIndex, uint32_t copySize) {
        original = bytes;
        ChooseLocalFile(kOriginal, "orig.bin", bytes, divideIndex);
        StartAsClient();
        std::string got;
        ASSERT_TRUE(PeerReceive(peer, 4, &got));
        ASSERT_TRUE(PeerSend(peer, Word(kCopy)));
        ASSERT_TRUE(PeerSend(peer, Word(copySize)));
    }

    bool Ends() {
        for (int waited = 0; TransferRunning(); waited += 5) {
            if (waited > 60000) return false;
            SleepMs(5);
        }
        WaitForTransferEnd();
        return true;
    }
};

struct RepairCase {
    int divideIndex;            // block size 4096 << divideIndex
    uint32_t blocks;            // file length in blocks
    std::set<uint32_t> damaged; // block indices the Copy reports as differing
};
}  // namespace

TEST_F(BatchingTest, RepairStreamHoldsEveryDamagedBlockInOrder) {
    // Eleven blocks of 1 MiB cross two batch boundaries; four of 8 MiB are
    // each larger than a batch. In both, the run before the gap is long
    // enough that no finer pass follows.
    const RepairCase cases[] = {
        {8, 12, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 11}},
        {11, 5, {0, 1, 2, 4}},
    };
    for (const RepairCase& c : cases) {
        SCOPED_TRACE("block size " + std::to_string(4096u << c.divideIndex));
        const uint32_t size = 4096u << c.divideIndex;
        StartOriginal(RandomBytes(static_cast<size_t>(size) * c.blocks, c.blocks), c.divideIndex,
                      size * c.blocks);
        std::string got;
        ASSERT_TRUE(PeerReceive(peer, 5, &got));
        EXPECT_EQ(got, Byte(0) + Word(size));
        std::string list, reply, expected, verify;
        for (uint32_t i = 0; i < c.blocks; ++i) {
            uint16_t crc = CrcOf(original, static_cast<size_t>(i) * size, size);
            list += CrcBytes(crc);
            bool bad = c.damaged.count(i) != 0;
            reply += CrcBytes(bad ? static_cast<uint16_t>(crc ^ 0x5A5A) : crc);
            if (bad) {
                expected += original.substr(static_cast<size_t>(i) * size, size);
                verify += CrcBytes(crc);
            }
        }
        ASSERT_TRUE(PeerReceive(peer, list.size(), &got));
        EXPECT_TRUE(got == list);
        ASSERT_TRUE(PeerSend(peer, reply));
        ASSERT_TRUE(PeerReceive(peer, expected.size(), &got, 60000));
        EXPECT_TRUE(got == expected);
        ASSERT_TRUE(PeerReceive(peer, verify.size(), &got));
        EXPECT_TRUE(got == verify);
        ASSERT_TRUE(PeerSend(peer, verify));
        ASSERT_TRUE(PeerReceiveUntilClosed(peer, &got));
        EXPECT_EQ(got, "");
        ASSERT_TRUE(Ends());
        EXPECT_TRUE(transferState.transferComplete);
        std::string total = std::to_string(expected.size());
        EXPECT_TRUE(HasLine(RecordedLines(), "破損部分のデータを送信中・・・" + total + " / " + total + " (100%)"));
        EXPECT_TRUE(HasLine(RecordedLines(), "修復が完了しました"));
        PeerClose(peer);
        ResetEngine();
        recorder.programFolder = EnginePath(folder);
    }
}

TEST_F(BatchingTest, LongTailArrivesWholeAndInOrder) {
    // 5 MiB and a bit beyond a Copy of 1000 bytes: the tail starts off a
    // piece boundary of the file and ends in a short piece.
    const uint32_t copySize = 1000;
    StartOriginal(RandomBytes((5u << 20) + 1000 + 12345, 21), 0, copySize);
    std::string got;
    ASSERT_TRUE(PeerReceive(peer, 9, &got));
    EXPECT_EQ(got, Byte(1) + Word(static_cast<uint32_t>(original.size())) + Word(4096));
    uint16_t crc = CrcOf(original, 0, copySize);
    ASSERT_TRUE(PeerReceive(peer, 2, &got));
    EXPECT_EQ(got, CrcBytes(crc));
    ASSERT_TRUE(PeerSend(peer, CrcBytes(crc)));
    ASSERT_TRUE(PeerReceiveUntilClosed(peer, &got));
    EXPECT_TRUE(got == original.substr(copySize));
    ASSERT_TRUE(Ends());
    EXPECT_TRUE(transferState.transferComplete);
    std::string total = std::to_string(original.size() - copySize);
    std::vector<std::string> lines = RecordedLines();
    EXPECT_TRUE(HasLine(lines, "サイズ相違部分のデータを送信中・・・" + total + " / " + total + " (100%)"));
    EXPECT_TRUE(HasLine(lines, "送信完了"));
}

TEST_F(BatchingTest, ChecksumPassOverRunsGapsAndTheEndOfTheFile) {
    // A run of 300 small blocks crosses a read chunk; single blocks follow
    // after gaps; the last block passes the end of a file cut short, whose
    // missing bytes do not count.
    const std::string bytes = RandomBytes((2u << 20) + 777, 31);
    WriteFile(folder + "f", bytes);
    strcpy(transferState.localPath, EnginePath(folder + "f").c_str());
    BlockListBuilder list;
    for (uint32_t i = 0; i < 300; ++i) list.Append(900000 + i * 4096, 4096);
    list.Append(900000 + 301 * 4096, 4096);
    list.Append(2u << 20, 100);
    list.Append((2u << 20) + 700, 4096);
    transferState.blocks = list.head;
    transferState.blockCount = 303;
    ChecksumBlocks();
    int n = 0;
    for (const Block* b = transferState.blocks; b; b = b->next, ++n) {
        size_t have = b->offset < bytes.size() ? bytes.size() - b->offset : 0;
        EXPECT_EQ(CrcAt(transferState.localCrcs, n), CrcOf(bytes, b->offset, std::min<size_t>(b->length, have)))
            << b->offset;
    }
    EXPECT_EQ(n, 303);
    EXPECT_EQ(RecordedLines().back(), "CRC計算中・・・303 / 303");
}
