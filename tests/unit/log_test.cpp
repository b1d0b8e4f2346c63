// The comparison log: its title rule and its exact bytes.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "engine/compare.h"
#include "engine/transfer_state.h"
#include "log/complog.h"
#include "tests/support/engine_fixture.h"
#include "tests/support/fixtures.h"
#include "tests/support/recorder.h"

namespace {
class LogTest : public testing::Test {
protected:
    std::string folder;
    void SetUp() override {
        ResetEngine();
        folder = ScratchFolder(testing::UnitTest::GetInstance()->current_test_info()->name());
        recorder.programFolder = EnginePath(folder);
    }
    void TearDown() override { ResetEngine(); }

    std::string Prepare(int fileType, const char* title) {
        transferState.fileType = fileType;
        strcpy(transferState.fileTitle, title);
        PrepareComparisonLog();
        return ReadFile(folder + (fileType == kOriginal ? "log_server.dat" : "log_client.dat"));
    }
};
}  // namespace

TEST_F(LogTest, WorkedExampleByteForByte) {
    transferState.hexDigits = 4;
    transferState.decDigits = 5;
    Prepare(kOriginal, "data.bin");
    transferState.blocks = MakeBlocks({{0, 4096}, {4096, 4096}, {8192, 4096}, {12288, 4096}, {16384, 3616}});
    MakeChecksumList(transferState.localCrcs, {0x5d2c, 0x0e41, 0x77c9, 0x1b08, 0xc4f2});
    MakeChecksumList(transferState.remoteCrcs, {0x5d2c, 0xa3b7, 0x77c9, 0x1b08, 0xc4f2});
    ASSERT_EQ(CompareCrcs(), 1u);
    WriteLogComplete(transferState.logPath);
    MakeChecksumList(transferState.localCrcs, {0x0e41});
    MakeChecksumList(transferState.remoteCrcs, {0x0e41});
    ASSERT_EQ(CompareCrcs(), 0u);
    EXPECT_EQ(ReadFile(folder + "log_server.dat"),
              "data.bin\n"
              "\n"
              "\n"
              "Address : CRC(Local) <-> CRC(Remote)\n"
              "------------------------------------\n"
              "   0(    0) -  fff( 4095) : 5d2c <-> 5d2c OK\n"
              "1000( 4096) - 1fff( 8191) : 0e41 <-> a3b7 NG\n"
              "2000( 8192) - 2fff(12287) : 77c9 <-> 77c9 OK\n"
              "3000(12288) - 3fff(16383) : 1b08 <-> 1b08 OK\n"
              "4000(16384) - 4e1f(19999) : c4f2 <-> c4f2 OK\n"
              "\n"
              "###Translate Complete###\n"
              "\n"
              "Address : CRC(Local) <-> CRC(Remote)\n"
              "------------------------------------\n"
              "1000( 4096) - 1fff( 8191) : 0e41 <-> 0e41 OK\n");
}

TEST_F(LogTest, TitleRuleDecidesBetweenAppendingAndStartingAfresh) {
    EXPECT_EQ(Prepare(kOriginal, "data.bin"), "data.bin\n\n");  // new log
    WriteFile(folder + "log_server.dat", "data.bin\n\nold lines\n");
    EXPECT_EQ(Prepare(kOriginal, "data.bin"), "data.bin\n\nold lines\n");  // same title appends
    EXPECT_EQ(Prepare(kOriginal, "other.bin"), "other.bin\n\n");         // another title cuts back
    WriteFile(folder + "log_server.dat", "data.bin.old\n\nx\n");
    EXPECT_EQ(Prepare(kOriginal, "data.bin"), "data.bin.old\n\nx\n");  // a longer name beginning with it
    WriteFile(folder + "log_server.dat", "");
    EXPECT_EQ(Prepare(kOriginal, "data.bin"), "data.bin\n\n");  // an empty log does not belong
    WriteFile(folder + "log_server.dat", "Data.bin\n\nx\n");
    EXPECT_EQ(Prepare(kOriginal, "data.bin"), "data.bin\n\n");  // case counts
    // The Copy side keeps its own log; a Japanese title stays in code page 932.
    EXPECT_EQ(Prepare(kCopy, "データ.bin"), "データ.bin\n\n");
    EXPECT_EQ(ReadFile(folder + "log_server.dat"), "data.bin\n\n");
}

TEST_F(LogTest, CompletionMarkWithoutLogIsSilent) {
    strcpy(transferState.logPath, EnginePath(folder + "absent.dat").c_str());
    WriteLogComplete(transferState.logPath);
    EXPECT_FALSE(FileExists(folder + "absent.dat"));
    EXPECT_TRUE(recorder.errors.empty());
}

#ifndef _WIN32
// A process that ends at once in the middle of a pass (the window closed)
// keeps the pass header, and the blocks that a slow status list (40 ms a
// line) has had time to show. (Windows cannot read the log while it is held.)
TEST_F(LogTest, LogKeepsUpWithTheStatusListOfAComparison) {
    transferState.hexDigits = 4;
    transferState.decDigits = 5;
    Prepare(kOriginal, "data.bin");
    transferState.blocks = MakeBlocks({{0, 4096}, {4096, 4096}, {8192, 4096}, {12288, 4096}});
    MakeChecksumList(transferState.localCrcs, {0x1111, 0x1111, 0x1111, 0x1111});
    MakeChecksumList(transferState.remoteCrcs, {0x1111, 0x2222, 0x1111, 0x2222});
    std::vector<std::string> logs;  // the log as each status line is added
    recorder.onLine = [&](const std::string&) {
        logs.push_back(ReadFile(folder + "log_server.dat"));
        SleepMs(40);
    };
    ASSERT_EQ(CompareCrcs(), 2u);
    const std::string header =
        "data.bin\n\n"
        "\nAddress : CRC(Local) <-> CRC(Remote)\n"
        "------------------------------------\n";
    // "CRC不一致", the two header lines, then one line per damaged block.
    ASSERT_EQ(logs.size(), 5u);
    for (const std::string& log : logs) EXPECT_EQ(log.substr(0, header.size()), header);
    EXPECT_EQ(logs.back(), header +
                               "   0(    0) -  fff( 4095) : 1111 <-> 1111 OK\n"
                               "1000( 4096) - 1fff( 8191) : 1111 <-> 2222 NG\n"
                               "2000( 8192) - 2fff(12287) : 1111 <-> 1111 OK\n"
                               "3000(12288) - 3fff(16383) : 1111 <-> 2222 NG\n");
}
#endif
