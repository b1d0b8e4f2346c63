// The comparison of the two checksum lists: status lines, log lines, the
// new list of damaged blocks and the result.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "engine/compare.h"
#include "engine/transfer_state.h"
#include "log/complog.h"
#include "platform/file.h"
#include "tests/support/engine_fixture.h"
#include "tests/support/fixtures.h"
#include "tests/support/recorder.h"

namespace {
class CompareTest : public testing::Test {
protected:
    std::string folder;
    void SetUp() override {
        ResetEngine();
        folder = ScratchFolder(testing::UnitTest::GetInstance()->current_test_info()->name());
        recorder.programFolder = EnginePath(folder);
        transferState.fileType = kOriginal;
        strcpy(transferState.fileTitle, "data.bin");
        PrepareLog();
    }
    void TearDown() override { ResetEngine(); }

    // Ten blocks of 4096 with local checksums i * 0x101 and remote ones equal
    // except at the positions given (1-based).
    void TenBlocks(std::initializer_list<int> damaged) {
        BlockListBuilder list;
        RemoteCrc* head = nullptr;
        RemoteCrc* tail = nullptr;
        for (int i = 0; i < 10; ++i) {
            list.Append(static_cast<uint32_t>(i) * 4096, 4096);
            list.tail->crc = static_cast<uint16_t>(i * 0x101);
            uint16_t remote = list.tail->crc;
            for (int d : damaged)
                if (d == i + 1) remote = static_cast<uint16_t>(remote ^ 0xFFFF);
            RemoteCrc* node = new RemoteCrc{remote, nullptr};
            if (tail) tail->next = node; else head = node;
            tail = node;
        }
        transferState.blocks = list.head;
        transferState.remoteCrcs = head;
        transferState.hexDigits = 4;
        transferState.decDigits = 5;
    }

    std::string Log() { return ReadFile(folder + "log_server.dat"); }
};
}  // namespace

TEST_F(CompareTest, FormatsTheComparisonLineLikePrintf) {
    uint32_t seed = 1;
    for (int i = 0; i < 2000; ++i) {
        seed = seed * 1103515245u + 12345u;
        Block b{seed % 0xF0000000u, 1 + seed % 65536u, static_cast<uint16_t>(seed >> 7), nullptr};
        uint16_t remote = static_cast<uint16_t>(seed >> 3);
        int hex = 1 + static_cast<int>(seed % 8), dec = 1 + static_cast<int>(seed % 10);
        char expected[128], got[kCompareLineSize];
        snprintf(expected, sizeof expected, "%*x(%*u) - %*x(%*u) : %04x <-> %04x", hex, b.offset, dec, b.offset, hex,
                 b.offset + b.length - 1, dec, b.offset + b.length - 1, b.crc, remote);
        size_t n = FormatCompareLine(got, hex, dec, b, remote);
        ASSERT_STREQ(got, expected);
        ASSERT_EQ(n, strlen(expected));
    }
    // The columns of a 1000000-byte file.
    char line[kCompareLineSize];
    Block b{262144, 262144, 0x9c04, nullptr};
    FormatCompareLine(line, 5, 7, b, 0x52e7);
    EXPECT_STREQ(line, "40000( 262144) - 7ffff( 524287) : 9c04 <-> 52e7");
}

TEST_F(CompareTest, MismatchesAreShownLoggedAndKept) {
    TenBlocks({3, 7});
    EXPECT_EQ(CompareCrcs(), 2u);
    std::vector<std::string> lines = RecordedLines();
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0], "CRC不一致");
    EXPECT_EQ(lines[1], "Address : CRC(Local) <-> CRC(Remote)");
    EXPECT_EQ(lines[2], "------------------------------------");
    EXPECT_EQ(lines[3], "2000( 8192) - 2fff(12287) : 0202 <-> fdfd");
    EXPECT_EQ(lines[4], "6000(24576) - 6fff(28671) : 0606 <-> f9f9");
    ASSERT_NE(transferState.blocks, nullptr);
    EXPECT_EQ(transferState.blocks->offset, 8192u);
    EXPECT_EQ(transferState.blocks->next->offset, 24576u);
    EXPECT_EQ(transferState.blocks->next->next, nullptr);
    EXPECT_EQ(transferState.previousBlocks->next->offset, 4096u);  // the compared list

    std::string log = Log();
    EXPECT_EQ(log.find("data.bin\n\n\nAddress : CRC(Local) <-> CRC(Remote)\n------------------------------------\n"
                       "   0(    0) -  fff( 4095) : 0000 <-> 0000 OK\n"),
              0u);
    EXPECT_NE(log.find("2000( 8192) - 2fff(12287) : 0202 <-> fdfd NG\n3000(12288)"), std::string::npos);
    size_t ok = 0, ng = 0;
    for (size_t at = 0; (at = log.find(" OK\n", at)) != std::string::npos; ++at) ++ok;
    for (size_t at = 0; (at = log.find(" NG\n", at)) != std::string::npos; ++at) ++ng;
    EXPECT_EQ(ok, 8u);
    EXPECT_EQ(ng, 2u);
}

TEST_F(CompareTest, EqualListsAndEmptyListsReturnZero) {
    TenBlocks({});
    EXPECT_EQ(CompareCrcs(), 0u);
    EXPECT_TRUE(RecordedLines().empty());
    EXPECT_EQ(transferState.blocks, nullptr);

    FreeBlockList(transferState.previousBlocks);
    transferState.previousBlocks = nullptr;
    std::string before = Log();
    EXPECT_EQ(CompareCrcs(), 0u);
    EXPECT_EQ(Log(), before + "\nAddress : CRC(Local) <-> CRC(Remote)\n------------------------------------\n");
}

TEST_F(CompareTest, ShortLastBlockKeepsItsLength) {
    transferState.blocks = MakeBlocks({{0, 4096}, {4096, 1808}});
    transferState.blocks->crc = 1;
    transferState.blocks->next->crc = 2;
    transferState.remoteCrcs = MakeRemoteCrcs({1, 3});
    transferState.hexDigits = 4;
    transferState.decDigits = 4;
    EXPECT_EQ(CompareCrcs(), 1u);
    EXPECT_EQ(transferState.blocks->length, 1808u);
    EXPECT_EQ(RecordedLines().back(), "1000(4096) - 170f(5903) : 0002 <-> 0003");
}

TEST_F(CompareTest, UnopenableLogIsReportedOnceAndTheComparisonRunsInFull) {
    std::string before = Log();
    FileHandle holder;
    ASSERT_TRUE(FileOpen(holder, transferState.logPath, FileMode::ReadExisting));
    TenBlocks({3, 7});
    EXPECT_EQ(CompareCrcs(), 2u);
    EXPECT_EQ(recorder.errors.size(), 1u);
    EXPECT_EQ(RecordedLines().size(), 5u);
    EXPECT_EQ(transferState.blocks->next->offset, 24576u);
    FileClose(holder);
    EXPECT_EQ(Log(), before);
}
