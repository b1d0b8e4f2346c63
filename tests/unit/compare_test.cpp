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
        PrepareComparisonLog();
    }
    void TearDown() override { ResetEngine(); }

    // Ten blocks of 4096 with local checksums i * 0x101 and remote ones equal
    // except at the positions given (1-based).
    void TenBlocks(std::initializer_list<int> damaged) {
        BlockListBuilder list;
        ResizeChecksumList(transferState.localCrcs, 10, 2);
        ResizeChecksumList(transferState.remoteCrcs, 10, 2);
        for (int i = 0; i < 10; ++i) {
            list.Append(static_cast<uint32_t>(i) * 4096, 4096);
            uint16_t local = static_cast<uint16_t>(i * 0x101);
            uint16_t remote = local;
            for (int d : damaged)
                if (d == i + 1) remote = static_cast<uint16_t>(remote ^ 0xFFFF);
            PutLittleEndian(transferState.localCrcs.Entry(i), local, 2);
            PutLittleEndian(transferState.remoteCrcs.Entry(i), remote, 2);
        }
        transferState.blocks = list.head;
        transferState.hexDigits = 4;
        transferState.decDigits = 5;
    }

    std::string Log() { return ReadFile(folder + "log_server.dat"); }
};
}  // namespace

TEST_F(CompareTest, FormatsTheComparisonLineLikePrintf) {
    // Protocol 1: 32-bit offsets and CRC-16s; protocol 2: 64-bit offsets
    // and hashes in 16 digits.
    uint64_t seed = 1;
    for (int i = 0; i < 4000; ++i) {
        seed = seed * 6364136223846793005ull + 1442695040888963407ull;
        const bool wide = i % 2 == 1;
        const uint64_t offset = wide ? (seed >> 2) : (seed >> 32) % 0xF0000000u;
        Block b{offset, 1 + seed % 65536u, nullptr};
        const uint64_t local = wide ? seed * 31 : (seed >> 7) & 0xFFFF, remote = wide ? seed ^ (seed >> 9) : (seed >> 3) & 0xFFFF;
        const int hex = 1 + static_cast<int>(seed % (wide ? 16 : 8)), dec = 1 + static_cast<int>(seed % (wide ? 20 : 10));
        const int digits = wide ? 16 : 4;
        char expected[256], got[kCompareLineSize];
        const unsigned long long first = b.offset, last = b.offset + b.length - 1;
        snprintf(expected, sizeof expected, "%*llx(%*llu) - %*llx(%*llu) : %0*llx <-> %0*llx", hex, first, dec, first,
                 hex, last, dec, last, digits, static_cast<unsigned long long>(local), digits,
                 static_cast<unsigned long long>(remote));
        size_t n = FormatCompareLine(got, hex, dec, b.offset, b.length, local, remote, digits);
        ASSERT_STREQ(got, expected);
        ASSERT_EQ(n, strlen(expected));
    }
    // The columns of a 1000000-byte file, and of one of 5 GiB in protocol 2.
    char line[kCompareLineSize];
    FormatCompareLine(line, 5, 7, 262144, 262144, 0x9c04, 0x52e7, 4);
    EXPECT_STREQ(line, "40000( 262144) - 7ffff( 524287) : 9c04 <-> 52e7");
    FormatCompareLine(line, 9, 10, 5ull << 30, 4096, 0x9c04, 0x52e7abcdef012345, 16);
    EXPECT_STREQ(line, "140000000(5368709120) - 140000fff(5368713215) : 0000000000009c04 <-> 52e7abcdef012345");
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
    MakeChecksumList(transferState.localCrcs, {1, 2});
    MakeChecksumList(transferState.remoteCrcs, {1, 3});
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
