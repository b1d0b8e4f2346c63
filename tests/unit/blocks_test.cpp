// Block lists, the run measure, the refinement decision and the checksum
// pass: the local work that both peers must compute identically.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "engine/blocks.h"
#include "wire/crc16.h"
#include "engine/transfer_state.h"
#include "platform/file.h"
#include "tests/support/engine_fixture.h"
#include "tests/support/fixtures.h"
#include "tests/support/recorder.h"

namespace {
using Spans = std::vector<std::pair<uint32_t, uint32_t>>;

Spans SpansOf(const Block* b) {
    Spans spans;
    for (; b; b = b->next) spans.emplace_back(b->offset, b->length);
    return spans;
}

uint16_t ReferenceCrc(const std::string& bytes) {
    uint16_t r = 0xFFFF;
    for (unsigned char c : bytes) {
        uint16_t d = static_cast<uint16_t>(c << 8);
        for (int i = 0; i < 8; ++i) {
            r = ((r ^ d) & 0x8000) ? static_cast<uint16_t>((r << 1) ^ 0x1021) : static_cast<uint16_t>(r << 1);
            d = static_cast<uint16_t>(d << 1);
        }
    }
    return r;
}

// Blocks of 262144 bytes at the given block indices.
Block* IndexedBlocks(std::initializer_list<uint32_t> indices) {
    BlockListBuilder list;
    for (uint32_t i : indices) list.Append(i * 262144u, 262144u);
    return list.head;
}

class BlocksTest : public testing::Test {
protected:
    void SetUp() override { ResetEngine(); }
    void TearDown() override { ResetEngine(); }
};
}  // namespace

TEST_F(BlocksTest, SplitCutsEveryBlockIntoPiecesOfBlockSize) {
    transferState.workBytes = 10000;
    transferState.blockSize = 4096;
    InitBlockList();
    SplitBlocks();
    EXPECT_EQ(SpansOf(transferState.blocks), (Spans{{0, 4096}, {4096, 4096}, {8192, 1808}}));
    EXPECT_EQ(SpansOf(transferState.previousBlocks), (Spans{{0, 10000}}));
    EXPECT_EQ(RecordedLines().back(), "Devide Size = 4096");

    ResetEngine();
    transferState.workBytes = 8192;
    transferState.blockSize = 4096;
    InitBlockList();
    SplitBlocks();
    EXPECT_EQ(SpansOf(transferState.blocks), (Spans{{0, 4096}, {4096, 4096}}));

    ResetEngine();
    transferState.blocks = MakeBlocks({{0, 262144}, {786432, 100000}});
    transferState.blockSize = 65536;
    SplitBlocks();
    EXPECT_EQ(SpansOf(transferState.blocks), (Spans{{0, 65536},
                                                    {65536, 65536},
                                                    {131072, 65536},
                                                    {196608, 65536},
                                                    {786432, 65536},
                                                    {851968, 34464}}));
}

TEST_F(BlocksTest, EmptyFileGivesEmptyListAndChecksumPassComputesNothing) {
    std::string folder = ScratchFolder("blocks-empty");
    WriteFile(folder + "f", "");
    strcpy(transferState.localPath, EnginePath(folder + "f").c_str());
    transferState.workBytes = 0;
    transferState.blockSize = 4096;
    InitBlockList();
    EXPECT_EQ(SpansOf(transferState.blocks), (Spans{{0, 0}}));
    SplitBlocks();
    EXPECT_EQ(transferState.blocks, nullptr);
    ChecksumBlocks();
    EXPECT_EQ(RecordedLines().back(), "計算中・・・0 / 0");
}

TEST_F(BlocksTest, MillionNodeListIsBuiltAndFreedWithoutRecursion) {
    transferState.workBytes = 0xFFFFFFFFu;
    transferState.blockSize = 4096;
    InitBlockList();
    SplitBlocks();
    uint32_t n = 0;
    const Block* last = nullptr;
    for (const Block* b = transferState.blocks; b; b = b->next, ++n) last = b;
    EXPECT_EQ(n, 1048576u);
    EXPECT_EQ(last->offset, 0xFFFFF000u);
    EXPECT_EQ(last->length, 4095u);
    // Freed by the fixture; a recursive free would overflow the stack here.
}

TEST_F(BlocksTest, MeasureIsNotTheLongestRun) {
    transferState.blocks = IndexedBlocks({0, 1, 2, 10, 20, 21, 22});
    EXPECT_EQ(MeasureRuns(), 1572864u);
    EXPECT_EQ(transferState.workBytes, 1835008u);
    EXPECT_FALSE(ShouldRefine(1572864, 262144));
    FreeBlockList(transferState.blocks);

    transferState.blocks = IndexedBlocks({0, 5, 6, 7});
    EXPECT_EQ(MeasureRuns(), 524288u);
    EXPECT_EQ(transferState.workBytes, 1048576u);
    EXPECT_TRUE(ShouldRefine(524288, 262144));
    FreeBlockList(transferState.blocks);

    // A single chain, however long, measures 0.
    transferState.blocks = IndexedBlocks({3, 4, 5, 6});
    EXPECT_EQ(MeasureRuns(), 0u);
    EXPECT_EQ(transferState.workBytes, 4u * 262144u);
}

TEST_F(BlocksTest, ChecksumPassMatchesReferenceAcrossReadChunks) {
    std::string folder = ScratchFolder("blocks-crc");
    // Three read chunks and a bit, with blocks that straddle chunk edges.
    std::string bytes = RandomBytes((3u << 20) + 12345, 7);
    WriteFile(folder + "f", bytes);
    strcpy(transferState.localPath, EnginePath(folder + "f").c_str());
    transferState.blocks = MakeBlocks({{0, 0x12345}, {(1u << 20) - 7, 300000}, {(3u << 20), 12345}});
    transferState.blockCount = 3;
    ChecksumBlocks();
    size_t i = 0;
    for (const Block* b = transferState.blocks; b; b = b->next)
        EXPECT_EQ(CrcAt(transferState.localCrcs, i++), ReferenceCrc(bytes.substr(b->offset, b->length))) << b->offset;
    EXPECT_EQ(RecordedLines().back(), "CRC計算中・・・3 / 3");

    FileHandle file;
    ASSERT_TRUE(FileOpen(file, transferState.localPath, FileMode::ReadExisting));
    EXPECT_EQ(BlockCrc16(file, 5, 0), 0);
    EXPECT_EQ(BlockCrc16(file, 17, 1000), ReferenceCrc(bytes.substr(17, 1000)));
}

TEST_F(BlocksTest, StopDuringChecksumPassEndsAtTheNextBlock) {
    std::string folder = ScratchFolder("blocks-stop");
    WriteFile(folder + "f", RandomBytes(40960, 1));
    strcpy(transferState.localPath, EnginePath(folder + "f").c_str());
    transferState.workBytes = 40960;
    transferState.blockSize = 4096;
    transferState.blockCount = 10;
    InitBlockList();
    SplitBlocks();
    // Stop pressed while block 0 is computed: the check before block 1.
    transferState.stopRequested.store(1);
    int handlesBefore = OpenHandleCount();
    EXPECT_TRUE(EndsTransfer([] { ChecksumBlocks(); }));
    std::vector<std::string> lines = RecordedLines();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[lines.size() - 3], "CRC計算中・・・1 / 10");
    EXPECT_EQ(lines[lines.size() - 2], "切断しました");
    EXPECT_EQ(lines.back(), "");
    EXPECT_EQ(OpenHandleCount(), handlesBefore);  // the file is closed
    // EndTransfer freed the list, so no checksum can have been written; the
    // file can be opened again at once.
    EXPECT_EQ(transferState.blocks, nullptr);
    EXPECT_EQ(CanOpenFile(transferState.localPath), 1);
}

TEST_F(BlocksTest, ChecksumPassOnMissingFileShowsTheSystemError) {
    strcpy(transferState.localPath, EnginePath(ScratchFolder("blocks-missing") + "absent").c_str());
    transferState.blocks = MakeBlocks({{0, 10}});
    EXPECT_TRUE(EndsTransfer([] { ChecksumBlocks(); }));
    EXPECT_EQ(recorder.errors.size(), 1u);
    EXPECT_EQ(RecordedLines(), (std::vector<std::string>{"切断しました", ""}));
}
