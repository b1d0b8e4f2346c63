// The platform layer's promises that the engine relies on: exclusive opens,
// no truncation of a file in use, clear failures, and a listening port that
// is free again after a transfer.
#include <gtest/gtest.h>

#include "platform/error.h"
#include "platform/file.h"
#include "platform/text.h"
#include "platform/net.h"

#ifndef _WIN32
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#endif
#include "tests/support/engine_fixture.h"
#include "tests/support/fixtures.h"

TEST(PlatformFile, SecondOpenFailsWhileAnotherOpenerHoldsTheFile) {
    std::string path = EnginePath(ScratchFolder("platform-sharing") + "held.bin");
    WriteFile(ScratchFolder("platform-sharing") + "held.bin", "precious");
    FileHandle holder;
    ASSERT_TRUE(FileOpen(holder, path.c_str(), FileMode::ReadExisting));
    for (FileMode mode : {FileMode::ReadExisting, FileMode::WriteExisting, FileMode::CreateTruncate,
                          FileMode::ReadWriteAlways}) {
        FileHandle second;
        EXPECT_FALSE(FileOpen(second, path.c_str(), mode));
        EXPECT_FALSE(SystemErrorText().empty());
    }
    FileClose(holder);
    uint64_t size = 0;
    ASSERT_TRUE(FileOpen(holder, path.c_str(), FileMode::ReadExisting));
    ASSERT_TRUE(FileSize(holder, &size));
    EXPECT_EQ(size, 8u);  // the refused create did not cut the file
}

TEST(PlatformFile, WritesLandAtTheirOffsetsAndMissingFilesAreNotCreated) {
    std::string folder = ScratchFolder("platform-write");
    std::string path = EnginePath(folder + "f.bin");
    FileHandle file;
    EXPECT_FALSE(FileOpen(file, path.c_str(), FileMode::WriteExisting));
    EXPECT_FALSE(FileExists(folder + "f.bin"));
    ASSERT_TRUE(FileOpen(file, path.c_str(), FileMode::CreateTruncate));
    ASSERT_TRUE(FileWriteAt(file, 0, "abcdef", 6));
    ASSERT_TRUE(FileWriteAt(file, 2, "XY", 2));
    ASSERT_TRUE(FileAppend(file, "!", 1));
    char buffer[16];
    uint32_t got = 0;
    FileClose(file);
    ASSERT_TRUE(FileOpen(file, path.c_str(), FileMode::ReadExisting));
    ASSERT_TRUE(FileReadAt(file, 1, buffer, sizeof buffer, &got));
    EXPECT_EQ(std::string(buffer, got), "bXYef!");
}

TEST(PlatformFile, AJapaneseNameRoundTrips) {
    std::string folder = ScratchFolder("platform-names");
    std::string name = "表示ソ.bin";  // second bytes 0x5C and 0x7D among them
    FileHandle file;
    std::string held;  // as the engine holds the name
    ASSERT_TRUE(Cp932ToPath(name, &held));
    ASSERT_TRUE(FileOpen(file, (EnginePath(folder) + held).c_str(), FileMode::CreateTruncate));
    FileClose(file);
    EXPECT_TRUE(FileExists(folder + LocalName(name)));
}

#ifndef _WIN32
namespace {
bool NoDelay(const SocketHandle& sock) {
    int on = 0;
    socklen_t size = sizeof on;
    return getsockopt(static_cast<int>(sock.sock), IPPROTO_TCP, TCP_NODELAY, &on, &size) == 0 && on != 0;
}
}  // namespace

TEST(PlatformNet, ConnectionSendsAtOnceAndItsPortListensAgainRightAfterIt) {
    const uint16_t port = static_cast<uint16_t>(NextPort());
    SocketHandle listener, accepted, client;
    ASSERT_TRUE(SocketOpenTcp(listener) && SocketBindAny(listener, port) && SocketListen(listener, 1));
    ASSERT_TRUE(SocketOpenTcp(client));
    ASSERT_EQ(SocketConnect(client, ParseIpv4("127.0.0.1"), port), PeerWait::Connected);
    ASSERT_EQ(SocketAccept(listener, accepted, nullptr), PeerWait::Connected);
    EXPECT_TRUE(NoDelay(accepted));
    EXPECT_TRUE(NoDelay(client));
    // As at the end of a transfer: the listening side closes first, which
    // leaves its end of the connection in TIME_WAIT for a minute.
    SocketClose(accepted);
    SocketClose(listener);
    SocketClose(client);
    SocketHandle again;
    ASSERT_TRUE(SocketOpenTcp(again));
    EXPECT_TRUE(SocketBindAny(again, port)) << SystemErrorText();
    EXPECT_TRUE(SocketListen(again, 1));
}
#endif
