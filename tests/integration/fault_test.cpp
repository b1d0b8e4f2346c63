// Faults around a transfer between two blockmend-cli processes (POSIX): the
// peer killed with SIGKILL at each phase, the disk filling up during the
// repair and the tail, a read-only Copy, a file held by another opener, and
// a comparison log that cannot be written. Cases that need root (a small
// tmpfs, the immutable flag) skip when the system does not allow them. The
// test thread drives the programs; a relay thread sits between them where a
// case must stop the stream at an exact byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/file.h"
#include "platform/thread.h"
#include "tests/support/fixtures.h"
#include "tests/support/wire_script.h"

namespace fs = std::filesystem;

namespace {
const std::vector<std::string> kLost{"相手との接続が切れました", "切断しました", ""};
constexpr int kQuickMs = 5000;

std::vector<std::string> Last(const std::vector<std::string>& lines, size_t n) {
    if (lines.size() <= n) return lines;
    return std::vector<std::string>(lines.end() - static_cast<long>(n), lines.end());
}

std::string Port(int port) { return std::to_string(port); }

// Sits between a Client program and a Server program and passes bytes both
// ways, but stops one direction once a given number of bytes has passed
// (later bytes are dropped, or kept back while held).
// When either side ends, the relay passes the end on to the other side
// after every byte already passed, and reads that side until it closes.
struct Relay {
    int listenFd = -1;
    int front = -1;  // the Client
    int back = -1;   // the Server
    std::atomic<size_t> limit[2] = {SIZE_MAX, SIZE_MAX};  // 0: Server to Client, 1: Client to Server
    std::atomic<size_t> passed[2] = {0, 0};
    // Per direction: past the limit, keep the bytes back (until the limit
    // is raised) instead of dropping them.
    std::atomic<bool> hold[2] = {false, false};
    std::thread thread;

    ~Relay() { Join(); }
    void Join() {
        if (thread.joinable()) thread.join();
        for (int* fd : {&listenFd, &front, &back}) {
            if (*fd >= 0) close(*fd);
            *fd = -1;
        }
    }
    // True once direction d has passed exactly its limit.
    bool Holding(int d, int timeoutMs) const {
        for (int waited = 0; waited <= timeoutMs; waited += 5) {
            if (passed[d].load() == limit[d].load()) return true;
            SleepMs(5);
        }
        return false;
    }
};

bool SendRaw(int fd, const char* data, size_t size) {
    while (size > 0) {
        ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

void RelayLoop(Relay& r) {
    const int from[2] = {r.back, r.front}, to[2] = {r.front, r.back};
    static thread_local char buffer[65536];
    int ended = -1;  // the direction whose sender is gone
    while (ended < 0) {
        pollfd fds[2];
        for (int d = 0; d < 2; ++d) {
            fds[d].fd = from[d];
            const bool paused = r.hold[d] && r.passed[d] >= r.limit[d];
            fds[d].events = paused ? 0 : POLLIN;
            fds[d].revents = 0;
        }
        if (poll(fds, 2, 10) <= 0) continue;
        for (int d = 0; d < 2 && ended < 0; ++d) {
            if ((fds[d].revents & (POLLIN | POLLHUP | POLLERR)) == 0 || fds[d].events == 0) continue;
            const size_t passed = r.passed[d], limit = r.limit[d];
            // Bytes past the limit are read and dropped, as if the sender
            // had died before sending them: its end still comes through.
            size_t want = passed < limit ? std::min(sizeof buffer, limit - passed) : sizeof buffer;
            ssize_t n = recv(from[d], buffer, want, 0);
            if (n <= 0) ended = d;
            else if (passed >= limit) continue;
            else if (!SendRaw(to[d], buffer, static_cast<size_t>(n))) ended = 1 - d;
            else r.passed[d] += static_cast<size_t>(n);
        }
    }
    const int survivor = to[ended];
    shutdown(survivor, SHUT_WR);
    pollfd p{survivor, POLLIN, 0};
    while (poll(&p, 1, 20000) > 0 && recv(survivor, buffer, sizeof buffer, 0) > 0) {
    }
}

// Listens on listenPort; once the Client has connected, connects to the
// Server at serverPort and relays in a thread of its own.
bool StartRelay(Relay& r, int listenPort, int serverPort) {
    r.listenFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = inet_addr("127.0.0.1");
    addr.sin_port = htons(static_cast<uint16_t>(listenPort));
    if (bind(r.listenFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(r.listenFd, 1) != 0)
        return false;
    r.thread = std::thread([&r, serverPort] {
        pollfd p{r.listenFd, POLLIN, 0};
        if (poll(&p, 1, 20000) <= 0) return;
        r.front = accept4(r.listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        r.back = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in server{};
        server.sin_family = AF_INET;
        server.sin_addr.s_addr = inet_addr("127.0.0.1");
        server.sin_port = htons(static_cast<uint16_t>(serverPort));
        if (r.front < 0 || connect(r.back, reinterpret_cast<sockaddr*>(&server), sizeof server) != 0) return;
        RelayLoop(r);
    });
    return true;
}

// An Original (Server) and a Copy or Nothing side (Client) in one folder;
// the Client connects through a relay when relayed.
struct Pair {
    std::string dir;
    CliPeer original, other;
    Relay relay;
    explicit Pair(std::string folder) : dir(std::move(folder)) {}
};

// Both peers speak protocol 1: the cut points come from its byte layout.
void StartPair(Pair& p, const std::vector<std::string>& originalArgs, std::vector<std::string> otherArgs,
               bool relayed) {
    int port = NextPort();
    std::vector<std::string> o = originalArgs;
    o.insert(o.end(), {"--listen", "--port", Port(port), "--protocol", "1"});
    ASSERT_TRUE(StartCli(p.original, p.dir, "original", o));
    ASSERT_TRUE(WaitForLine(p.original, "接続待ち・・・", 20000));
    int clientPort = port;
    if (relayed) {
        clientPort = NextPort();
        ASSERT_TRUE(StartRelay(p.relay, clientPort, port));
    }
    otherArgs.insert(otherArgs.end(), {"--connect", "127.0.0.1", "--port", Port(clientPort), "--protocol", "1"});
    ASSERT_TRUE(StartCli(p.other, p.dir, "other", otherArgs));
}

pid_t Pid(const CliPeer& peer) { return static_cast<pid_t>(peer.process.handle); }

// Kills victim and returns how long survivor then took to end (-1: it did
// not end within kQuickMs).
int KillAndTime(CliPeer& victim, CliPeer& survivor) {
    kill(Pid(victim), SIGKILL);
    // A victim that had sent all it had may have ended normally already:
    // nothing tells a sender that its last bytes were never read.
    int code = WaitProcess(victim.process, 10000);
    EXPECT_TRUE(code == 128 + SIGKILL || code == 0) << code;
    uint64_t start = MonotonicMilliseconds();
    FinishCli(survivor, kQuickMs);
    uint64_t end = MonotonicMilliseconds();
    return survivor.exitCode == -1 ? -1 : static_cast<int>(end - start);
}

// The files of the exact-cut cases: four blocks of which two are damaged,
// and a tail of three pieces.
std::string OriginalBytes() { return RandomBytes(4 * kBlock + 2 * kPiece + 100, 17); }
std::string CopyBytes() {
    std::string copy = OriginalBytes().substr(0, 4 * kBlock);
    copy[kBlock + 1] ^= 0x33;
    copy[3 * kBlock + 99] ^= 0x33;
    return copy;
}

// The middle of every message of script, and just past the first piece of
// a tail.
std::vector<size_t> MessageMiddles(const Script& script) {
    std::vector<size_t> cuts;
    size_t at = 0;
    for (const Step& step : script) {
        if (step.send.empty()) continue;
        cuts.push_back(at + step.send.size() / 2);
        if (step.kind == Step::kTail && step.send.size() > kPiece) cuts.push_back(at + kPiece + 10);
        at += step.send.size();
    }
    return cuts;
}

// Every block of now holds entirely the original's bytes or entirely its
// old ones at the same place, and the file grew only by the original's bytes:
// nothing in between.
void ExpectBlocksFromEither(const std::string& now, const std::string& original, const std::string& old) {
    ASSERT_GE(now.size(), old.size());
    ASSERT_LE(now.size(), original.size());
    for (size_t at = 0; at < now.size(); at += kBlock) {
        size_t n = std::min<size_t>(kBlock, now.size() - at);
        bool fromOriginal = now.compare(at, n, original, at, n) == 0;
        bool fromOld = at + n <= old.size() && now.compare(at, n, old, at, n) == 0;
        ASSERT_TRUE(fromOriginal || fromOld) << "block at " << at;
    }
}

// Sets or clears the immutable flag (chattr +i), which holds even for root.
bool SetImmutable(const std::string& path, bool on) {
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    int flags = 0;
    bool ok = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    if (ok) {
        flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
        ok = ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    }
    close(fd);
    return ok;
}

struct Immutable {
    std::string path;
    bool set;
    explicit Immutable(std::string p) : path(std::move(p)), set(SetImmutable(path, true)) {}
    ~Immutable() {
        if (set) SetImmutable(path, false);
    }
};

// A tmpfs of the given size mounted at dir for one test.
struct SmallDisk {
    std::string dir;
    bool mounted;
    SmallDisk(std::string at, const char* size) : dir(std::move(at)) {
        fs::create_directories(dir);
        mounted = mount("tmpfs", dir.c_str(), "tmpfs", 0, (std::string("size=") + size).c_str()) == 0;
    }
    ~SmallDisk() {
        if (mounted) umount2(dir.c_str(), MNT_DETACH);
    }
};

// Writes a sparse file of size bytes: it reads as zeros and takes no space.
void WriteSparse(const std::string& path, size_t size) {
    WriteFile(path, "");
    ASSERT_EQ(truncate(path.c_str(), static_cast<off_t>(size)), 0);
}
}  // namespace

TEST(Fault, EitherSideKilledInTheMiddleOfEachOfItsMessages) {
    // One side's stream is held at a byte in the middle of each of its
    // messages (and just past the first piece of a tail); that side is then
    // killed, and the other ends at once: a Copy or a Nothing side holds
    // exactly the blocks and pieces that arrived whole, an Original keeps its
    // file and leaves the Copy's blocks each old or new.
    const std::string original = OriginalBytes(), copy = CopyBytes();
    struct Case {
        const char* killed;
        Script stream;   // what the killed side sends
        int direction;   // the relay's direction of that stream: 0 from the Original
        bool toNothing;  // the Original's peer is a Nothing side
        size_t firstCut;  // cuts before this are left out
    };
    const Case cases[] = {
        {"the original, facing a copy", OriginalPart(original, copy), 0, false, 0},
        // The name comes from the Original's own file here.
        {"the original, facing a nothing side", WholeFilePart(original, "orig.bin"), 0, true, 4 + 260},
        {"the copy", CopyPart(original, copy), 1, false, 0},
        // Before its FileType word is complete.
        {"a nothing side", Script{Send(Word(2))}, 1, true, 0},
    };
    int run = 0;
    for (const Case& c : cases) {
        for (size_t cut : MessageMiddles(c.stream)) {
            if (cut < c.firstCut) continue;
            SCOPED_TRACE(std::string(c.killed) + " killed after " + std::to_string(cut) + " bytes");
            Pair p{ScratchFolder("kill-" + std::to_string(run++))};
            WriteFile(p.dir + "orig.bin", original);
            if (c.toNothing) fs::create_directories(p.dir + "into");
            else WriteFile(p.dir + "copy.bin", copy);
            p.relay.limit[c.direction] = cut;
            std::vector<std::string> originalArgs{"original", p.dir + "orig.bin", "--log-dir", p.dir};
            if (!c.toNothing) originalArgs.insert(originalArgs.end(), {"--block-size", "4096"});
            StartPair(p, originalArgs,
                      c.toNothing ? std::vector<std::string>{"nothing", p.dir + "into"}
                                  : std::vector<std::string>{"copy", p.dir + "copy.bin", "--log-dir", p.dir},
                      true);
            ASSERT_TRUE(p.relay.Holding(c.direction, 20000));
            SleepMs(50);
            CliPeer& victim = c.direction == 0 ? p.original : p.other;
            CliPeer& survivor = c.direction == 0 ? p.other : p.original;
            EXPECT_GE(KillAndTime(victim, survivor), 0);
            p.relay.Join();
            EXPECT_EQ(survivor.exitCode, 1);
            EXPECT_EQ(Last(survivor.lines, 3), kLost);
            if (c.direction == 1) {
                EXPECT_TRUE(ReadFile(p.dir + "orig.bin") == original);
                if (!c.toNothing) ExpectBlocksFromEither(ReadFile(p.dir + "copy.bin"), original, copy);
            } else if (c.toNothing) {
                EXPECT_TRUE(ReadFile(p.dir + "into/orig.bin.blockmend-part") == FileAfterCut("", c.stream, cut));
                EXPECT_FALSE(FileExists(p.dir + "into/orig.bin"));
            } else {
                EXPECT_TRUE(ReadFile(p.dir + "copy.bin") == FileAfterCut(copy, c.stream, cut));
            }
        }
    }
}

TEST(Fault, PeerKilledWithoutWarningAtAnyMoment) {
    // No relay: the kernel closes the dead peer's socket as it is. Whenever
    // the kill comes, the Copy ends at once and holds, block by block,
    // either the original's bytes or its own old ones.
    std::string original = RandomBytes(24u << 20, 23);
    std::string copy = original.substr(0, 20u << 20);
    for (size_t at = 12345; at < copy.size(); at += 300000) copy[at] ^= 0x77;
    int run = 0;
    for (int delayMs : {0, 5, 15, 30, 60}) {
        for (bool killOriginal : {true, false}) {
            SCOPED_TRACE(std::string(killOriginal ? "original" : "copy") + " killed after " +
                         std::to_string(delayMs) + " ms");
            Pair p{ScratchFolder("kill-any-" + std::to_string(run++))};
            WriteFile(p.dir + "orig.bin", original);
            WriteFile(p.dir + "copy.bin", copy);
            StartPair(p, {"original", p.dir + "orig.bin", "--log-dir", p.dir},
                      {"copy", p.dir + "copy.bin", "--log-dir", p.dir}, false);
            ASSERT_TRUE(WaitForLine(p.other, "接続完了", 20000));
            SleepMs(delayMs);
            CliPeer& victim = killOriginal ? p.original : p.other;
            CliPeer& survivor = killOriginal ? p.other : p.original;
            EXPECT_GE(KillAndTime(victim, survivor), 0);
            // A survivor that had all it needed may end normally first.
            if (survivor.exitCode != 0) {
                EXPECT_EQ(survivor.exitCode, 1);
                EXPECT_EQ(Last(survivor.lines, 3), kLost);
            }
            ExpectBlocksFromEither(ReadFile(p.dir + "copy.bin"), original, copy);
        }
    }
}

TEST(Fault, DiskFullDuringTheRepairAndTheTail) {
    std::string root = ScratchFolder("disk-full");
    SmallDisk disk(root + "disk", "1m");
    if (!disk.mounted) GTEST_SKIP() << "cannot mount a tmpfs here (needs root)";
    const std::string original = RandomBytes(2u << 20, 31);
    {
        SCOPED_TRACE("repair");
        // A sparse Copy takes no space until its damaged blocks are written.
        Pair p{root};
        WriteFile(root + "orig.bin", original);
        WriteSparse(disk.dir + "/copy.bin", original.size());
        StartPair(p, {"original", root + "orig.bin", "--block-size", "65536", "--log-dir", root},
                  {"copy", disk.dir + "/copy.bin", "--log-dir", root}, false);
        FinishCli(p.other);
        FinishCli(p.original);
        EXPECT_EQ(p.other.exitCode, 1);
        EXPECT_NE(p.other.errors.find(ToUtf8("に書き込めません: No space left on device\n")), std::string::npos) << p.other.errors;
        EXPECT_EQ(Last(p.other.lines, 3), (std::vector<std::string>{"修復に失敗しました", "切断しました", ""}));
        EXPECT_EQ(p.original.exitCode, 1);
        EXPECT_EQ(Last(p.original.lines, 3), kLost);
        std::string now = ReadFile(disk.dir + "/copy.bin");
        ASSERT_EQ(now.size(), original.size());
        size_t repaired = 0;
        for (size_t i = 0; i < now.size(); ++i) {
            ASSERT_TRUE(now[i] == original[i] || now[i] == 0) << i;
            if (now[i] == original[i] && now[i] != 0) ++repaired;
        }
        EXPECT_GT(repaired, 0u);
        // Blocks are written in runs: the progress line still counts exactly
        // the blocks that were written before the one that did not fit.
        const std::string label = "破損部分のデータ受信＆修復中・・・";
        auto progress = std::find_if(p.other.lines.rbegin(), p.other.lines.rend(),
                                     [&](const std::string& l) { return l.rfind(label, 0) == 0; });
        ASSERT_NE(progress, p.other.lines.rend());
        const size_t shown = std::stoull(progress->substr(label.size()));
        EXPECT_GT(shown, 0u);
        EXPECT_EQ(shown % 65536, 0u);
        EXPECT_TRUE(now.substr(0, shown) == original.substr(0, shown));
        fs::remove(disk.dir + "/copy.bin");
    }
    {
        SCOPED_TRACE("tail");
        Pair p{root};
        WriteFile(disk.dir + "/copy.bin", original.substr(0, 100000));
        StartPair(p, {"original", root + "orig.bin", "--log-dir", root},
                  {"copy", disk.dir + "/copy.bin", "--log-dir", root}, false);
        FinishCli(p.other);
        FinishCli(p.original);
        EXPECT_EQ(p.other.exitCode, 1);
        EXPECT_NE(p.other.errors.find(ToUtf8("に書き込めません: No space left on device\n")), std::string::npos) << p.other.errors;
        EXPECT_EQ(Last(p.other.lines, 2), (std::vector<std::string>{"切断しました", ""}));
        EXPECT_FALSE(HasLine(p.other.lines, "受信完了"));
        // The Original learns of it only if it still had bytes to send.
        EXPECT_TRUE(p.original.exitCode == 0 || Last(p.original.lines, 3) == kLost);
        std::string now = ReadFile(disk.dir + "/copy.bin");
        EXPECT_GT(now.size(), 100000u);
        EXPECT_LT(now.size(), original.size());
        EXPECT_TRUE(now == original.substr(0, now.size()));
        fs::remove(disk.dir + "/copy.bin");
    }
    {
        SCOPED_TRACE("whole file");
        Pair p{root};
        StartPair(p, {"original", root + "orig.bin", "--log-dir", root}, {"nothing", disk.dir}, false);
        FinishCli(p.other);
        FinishCli(p.original);
        EXPECT_EQ(p.other.exitCode, 1);
        EXPECT_NE(p.other.errors.find(ToUtf8("に書き込めません: No space left on device\n")), std::string::npos) << p.other.errors;
        EXPECT_EQ(Last(p.other.lines, 2), (std::vector<std::string>{"切断しました", ""}));
        std::string now = ReadFile(disk.dir + "/orig.bin");
        EXPECT_TRUE(now == original.substr(0, now.size()));
    }
}

TEST(Fault, ReadOnlyCopyAndFolder) {
    const std::string original = RandomBytes(300000, 41);
    {
        SCOPED_TRACE("damaged blocks");
        Pair p{ScratchFolder("read-only-repair")};
        WriteFile(p.dir + "orig.bin", original);
        std::string copy = original;
        copy[5000] ^= 1;
        WriteFile(p.dir + "copy.bin", copy);
        Immutable guard(p.dir + "copy.bin");
        if (!guard.set) GTEST_SKIP() << "no immutable flag here (needs root and a file system that has it)";
        StartPair(p, {"original", p.dir + "orig.bin", "--log-dir", p.dir},
                  {"copy", p.dir + "copy.bin", "--log-dir", p.dir}, false);
        FinishCli(p.other);
        FinishCli(p.original);
        EXPECT_EQ(p.other.exitCode, 1);
        EXPECT_NE(p.other.errors.find(": Operation not permitted"), std::string::npos) << p.other.errors;
        EXPECT_EQ(Last(p.other.lines, 3), (std::vector<std::string>{"修復に失敗しました", "切断しました", ""}));
        EXPECT_EQ(Last(p.original.lines, 3), kLost);
        EXPECT_TRUE(ReadFile(p.dir + "copy.bin") == copy);
    }
    {
        SCOPED_TRACE("tail");
        Pair p{ScratchFolder("read-only-tail")};
        WriteFile(p.dir + "orig.bin", original);
        WriteFile(p.dir + "copy.bin", original.substr(0, 200000));
        Immutable guard(p.dir + "copy.bin");
        ASSERT_TRUE(guard.set);
        StartPair(p, {"original", p.dir + "orig.bin", "--log-dir", p.dir},
                  {"copy", p.dir + "copy.bin", "--log-dir", p.dir}, false);
        FinishCli(p.other);
        FinishCli(p.original);
        EXPECT_EQ(p.other.exitCode, 1);
        EXPECT_NE(p.other.errors.find(": Operation not permitted"), std::string::npos) << p.other.errors;
        EXPECT_EQ(Last(p.other.lines, 2), (std::vector<std::string>{"切断しました", ""}));
        EXPECT_TRUE(ReadFile(p.dir + "copy.bin") == original.substr(0, 200000));
    }
    {
        SCOPED_TRACE("folder of a Nothing side");
        Pair p{ScratchFolder("read-only-folder")};
        WriteFile(p.dir + "orig.bin", original);
        fs::create_directories(p.dir + "into");
        {
            // Found before the side waits for its peer.
            Immutable guard(p.dir + "into");
            ASSERT_TRUE(guard.set);
            CliPeer early;
            StartCli(early, p.dir, "early", {"nothing", p.dir + "into", "--listen", "--port", Port(NextPort())});
            FinishCli(early, kQuickMs);
            EXPECT_EQ(early.exitCode, 1);
            EXPECT_TRUE(early.lines.empty());
            EXPECT_EQ(early.errors, "Error: cannot use the folder " + p.dir + "into: Operation not permitted\n");
        }
        // Made read-only while the side waits: the name is refused over the
        // wire.
        int port = NextPort();
        ASSERT_TRUE(StartCli(p.other, p.dir, "other", {"nothing", p.dir + "into", "--listen", "--port", Port(port)}));
        ASSERT_TRUE(WaitForLine(p.other, "接続待ち・・・", 20000));
        Immutable guard(p.dir + "into");
        ASSERT_TRUE(guard.set);
        ASSERT_TRUE(StartCli(p.original, p.dir, "original",
                             {"original", p.dir + "orig.bin", "--log-dir", p.dir, "--connect", "127.0.0.1", "--port", Port(port)}));
        FinishCli(p.other);
        FinishCli(p.original);
        EXPECT_EQ(p.other.exitCode, 1);
        EXPECT_EQ(Last(p.other.lines, 3), (std::vector<std::string>{"処理を中断します。", "切断しました", ""}));
        EXPECT_TRUE(HasLine(p.other.lines, "\"" + p.dir + "into/orig.bin.blockmend-part\"が開けませんでした。"));
        EXPECT_TRUE(HasLine(p.original.lines, "Remote でエラーが発生しました。(FileName Error)"));
        EXPECT_TRUE(fs::is_empty(p.dir + "into"));
    }
}

TEST(Fault, FileHeldByAnotherOpener) {
    const std::string original = OriginalBytes(), copy = CopyBytes();
    const char* kHeld = ": プロセスはファイルにアクセスできません。別のプロセスが使用中です。";
    {
        SCOPED_TRACE("held from the start");
        std::string dir = ScratchFolder("held-start");
        WriteFile(dir + "copy.bin", copy);
        FileHandle holder;
        ASSERT_TRUE(FileOpen(holder, (dir + "copy.bin").c_str(), FileMode::ReadExisting));
        CliPeer cli;
        // (--allow: a listener open to anyone would also warn of that.)
        StartCli(cli, dir, "copy",
                 {"copy", dir + "copy.bin", "--listen", "--port", Port(NextPort()), "--log-dir", dir, "--allow", "127.0.0.1"});
        FinishCli(cli, kQuickMs);
        EXPECT_EQ(cli.exitCode, 1);
        EXPECT_NE(cli.errors.find(ToUtf8(kHeld)), std::string::npos) << cli.errors;
        EXPECT_TRUE(cli.lines.empty());  // it never listened
        EXPECT_TRUE(ReadFile(dir + "copy.bin") == copy);
    }
    {
        // Taken while the Copy waits for the checksums, given back after.
        SCOPED_TRACE("held between the comparison and the repair");
        Pair p{ScratchFolder("held-repair")};
        WriteFile(p.dir + "orig.bin", original);
        WriteFile(p.dir + "copy.bin", copy);
        const size_t crcEnd = 4 + 1 + 4 + 4 + CrcList(copy, copy.size()).size();
        p.relay.limit[0] = crcEnd - 1;
        p.relay.hold[0] = true;
        StartPair(p, {"original", p.dir + "orig.bin", "--block-size", "4096", "--log-dir", p.dir},
                  {"copy", p.dir + "copy.bin", "--log-dir", p.dir}, true);
        ASSERT_TRUE(p.relay.Holding(0, 20000));
        ASSERT_TRUE(WaitForLine(p.other, "CRCデータ受信中・・・", kQuickMs));
        FileHandle holder;
        ASSERT_TRUE(FileOpen(holder, (p.dir + "copy.bin").c_str(), FileMode::ReadExisting));
        p.relay.limit[0] = SIZE_MAX;
        FinishCli(p.other);
        FinishCli(p.original);
        p.relay.Join();
        EXPECT_EQ(p.other.exitCode, 1);
        EXPECT_NE(p.other.errors.find(ToUtf8(kHeld)), std::string::npos) << p.other.errors;
        EXPECT_EQ(Last(p.other.lines, 3), (std::vector<std::string>{"修復に失敗しました", "切断しました", ""}));
        EXPECT_EQ(Last(p.original.lines, 3), kLost);
        EXPECT_TRUE(ReadFile(p.dir + "copy.bin") == copy);
    }
    {
        SCOPED_TRACE("held when the checksums are made");
        Pair p{ScratchFolder("held-checksums")};
        WriteFile(p.dir + "orig.bin", original);
        WriteFile(p.dir + "copy.bin", copy);
        p.relay.limit[0] = 4 + 1 + 4 + 2;  // in the middle of the block size
        p.relay.hold[0] = true;
        StartPair(p, {"original", p.dir + "orig.bin", "--block-size", "4096", "--log-dir", p.dir},
                  {"copy", p.dir + "copy.bin", "--log-dir", p.dir}, true);
        ASSERT_TRUE(p.relay.Holding(0, 20000));
        FileHandle holder;
        ASSERT_TRUE(FileOpen(holder, (p.dir + "copy.bin").c_str(), FileMode::ReadExisting));
        p.relay.limit[0] = SIZE_MAX;
        FinishCli(p.other);
        FinishCli(p.original);
        p.relay.Join();
        EXPECT_EQ(p.other.exitCode, 1);
        EXPECT_NE(p.other.errors.find(ToUtf8(kHeld)), std::string::npos) << p.other.errors;
        EXPECT_EQ(Last(p.other.lines, 3), (std::vector<std::string>{"Devide Size = 4096", "切断しました", ""}));
        EXPECT_EQ(Last(p.original.lines, 3), kLost);
        EXPECT_TRUE(ReadFile(p.dir + "copy.bin") == copy);
    }
}

TEST(Fault, ComparisonLogThatCannotBeWritten) {
    // The log is a record, not the job: the repair goes on and succeeds,
    // with the system's text for the log on stderr.
    const std::string original = OriginalBytes(), copy = CopyBytes();
    auto run = [&](const std::string& name, const std::string& logDir, const char* error) {
        SCOPED_TRACE(name);
        Pair p{ScratchFolder("log-" + name)};
        WriteFile(p.dir + "orig.bin", original);
        WriteFile(p.dir + "copy.bin", copy);
        std::string logs = logDir.empty() ? p.dir : p.dir + logDir;
        StartPair(p, {"original", p.dir + "orig.bin", "--log-dir", logs}, {"copy", p.dir + "copy.bin", "--log-dir", logs},
                  false);
        FinishCli(p.other);
        FinishCli(p.original);
        EXPECT_EQ(p.other.exitCode, 0);
        EXPECT_EQ(p.original.exitCode, 0);
        EXPECT_TRUE(HasLine(p.other.lines, "修復が完了しました"));
        EXPECT_TRUE(ReadFile(p.dir + "copy.bin") == original);
        EXPECT_NE(p.other.errors.find(error), std::string::npos) << p.other.errors;
        EXPECT_NE(p.original.errors.find(error), std::string::npos) << p.original.errors;
        return p.dir;
    };
    // A missing folder is made; one that cannot be is named once, with why.
    std::string dir = run("missing-folder", "no/such/folder", "");
    EXPECT_TRUE(FileExists(dir + "no/such/folder/log_client.dat"));
    dir = run("under-a-file", "orig.bin/logs", ToUtf8("比較ログのフォルダ ").c_str());
    EXPECT_NE(ReadFile(dir + "other.err").find(dir + "orig.bin/logs/ " + ToUtf8("を使えません: Not a directory")),
              std::string::npos);

    {
        SCOPED_TRACE("logs that are folders");
        Pair p{ScratchFolder("log-folders")};
        fs::create_directories(p.dir + "logs/log_server.dat");
        fs::create_directories(p.dir + "logs/log_client.dat");
        WriteFile(p.dir + "orig.bin", original);
        WriteFile(p.dir + "copy.bin", copy);
        StartPair(p, {"original", p.dir + "orig.bin", "--log-dir", p.dir + "logs"},
                  {"copy", p.dir + "copy.bin", "--log-dir", p.dir + "logs"}, false);
        FinishCli(p.other);
        FinishCli(p.original);
        EXPECT_EQ(p.other.exitCode, 0);
        EXPECT_TRUE(ReadFile(p.dir + "copy.bin") == original);
        EXPECT_NE(p.other.errors.find(": Is a directory"), std::string::npos) << p.other.errors;
    }
    {
        SCOPED_TRACE("immutable log");
        Pair p{ScratchFolder("log-immutable")};
        WriteFile(p.dir + "orig.bin", original);
        WriteFile(p.dir + "copy.bin", copy);
        WriteFile(p.dir + "log_client.dat", "copy.bin\n\nkept\n");
        Immutable guard(p.dir + "log_client.dat");
        if (!guard.set) GTEST_SKIP() << "no immutable flag here";
        StartPair(p, {"original", p.dir + "orig.bin", "--log-dir", p.dir},
                  {"copy", p.dir + "copy.bin", "--log-dir", p.dir}, false);
        FinishCli(p.other);
        FinishCli(p.original);
        EXPECT_EQ(p.other.exitCode, 0);
        EXPECT_TRUE(ReadFile(p.dir + "copy.bin") == original);
        EXPECT_NE(p.other.errors.find(": Operation not permitted"), std::string::npos) << p.other.errors;
        EXPECT_EQ(ReadFile(p.dir + "log_client.dat"), "copy.bin\n\nkept\n");
    }
}

TEST(Fault, OriginalCutShortWhileItsBytesGoOut) {
    // The Original shrinks after the comparison: the bytes it lost must not
    // go out as anything else. Its side ends with the text for a changed
    // file, the Copy with a lost connection, and the Copy's file stays.
    const std::string tailOriginal = RandomBytes(10000, 21), repairOriginal = RandomBytes(5 * kBlock, 22);
    std::string damaged = repairOriginal;
    damaged[3 * kBlock + 10] ^= 0x44;
    const struct {
        const char* name;
        std::string original, copy;
        size_t cutTo;
        std::vector<std::string> originalEnd;
    } cases[] = {
        {"tail", tailOriginal, tailOriginal.substr(0, 5000), 6000,
         {"送信中にファイルが変更されました", "切断しました", ""}},
        {"repair", repairOriginal, damaged, 3 * kBlock + 100,
         {"送信中にファイルが変更されました", "修復に失敗しました", "切断しました", ""}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Pair p{ScratchFolder(std::string("cut-") + c.name)};
        WriteFile(p.dir + "orig.bin", c.original);
        WriteFile(p.dir + "copy.bin", c.copy);
        // The Copy's checksums are kept back until the Original is cut.
        p.relay.limit[1] = 4 + 4 + CrcList(c.copy, c.copy.size()).size() - 1;
        p.relay.hold[1] = true;
        StartPair(p, {"original", p.dir + "orig.bin", "--block-size", "4096", "--log-dir", p.dir},
                  {"copy", p.dir + "copy.bin", "--log-dir", p.dir}, true);
        ASSERT_TRUE(p.relay.Holding(1, 20000));
        ASSERT_EQ(truncate((p.dir + "orig.bin").c_str(), static_cast<off_t>(c.cutTo)), 0);
        p.relay.limit[1] = SIZE_MAX;
        FinishCli(p.original);
        FinishCli(p.other);
        p.relay.Join();
        EXPECT_EQ(p.original.exitCode, 1);
        EXPECT_EQ(Last(p.original.lines, c.originalEnd.size()), c.originalEnd);
        EXPECT_EQ(p.other.exitCode, 1);
        EXPECT_EQ(Last(p.other.lines, 3), kLost);
        EXPECT_TRUE(ReadFile(p.dir + "copy.bin") == c.copy);
    }
}

TEST(Fault, ErrorOfAFileThatCannotBeOpenedComesOnceOnALineOfItsOwn) {
    const std::string kMissing = ToUtf8(" を開けません: No such file or directory\n");
    {
        // Missing from the start: reported when it is loaded, not again when
        // the Copy's figures are reloaded at the end.
        std::string dir = ScratchFolder("missing-copy");
        CliPeer cli;
        // (--allow: a listener open to anyone would also warn of that.)
        StartCli(cli, dir, "copy",
                 {"copy", dir + "copy.bin", "--listen", "--port", Port(NextPort()), "--log-dir", dir, "--allow", "127.0.0.1"});
        FinishCli(cli, kQuickMs);
        EXPECT_EQ(cli.exitCode, 1);
        EXPECT_EQ(cli.errors, "Error: " + dir + "copy.bin" + kMissing);
        EXPECT_TRUE(cli.lines.empty());
    }
    if (!FileExists("/usr/bin/script")) GTEST_SKIP() << "no script(1) for a terminal";
    // On a terminal: the Copy's file vanishes before the peer comes, and the
    // side, which takes its file as it is when the peer comes, ends there;
    // the error ends up below the open "接続完了" line, with no blank line
    // after it and no second report.
    std::string dir = ScratchFolder("missing-terminal");
    WriteFile(dir + "copy.bin", RandomBytes(5000, 23));
    const int port = NextPort();
    const std::string command =
        "'" + CliPath() + "' copy '" + dir + "copy.bin' --listen --port " + Port(port) + " --log-dir '" + dir +
        "' --allow 127.0.0.1";
    CliPeer cli;
    ASSERT_TRUE(SpawnProcess(cli.process, {"/usr/bin/script", "-qefc", command, "/dev/null"}, dir + "tty.out",
                             dir + "tty.err"));
    for (int i = 0; i < 2000 && ReadFile(dir + "tty.out").find(ToUtf8("接続待ち・・・")) == std::string::npos; ++i)
        SleepMs(10);
    ASSERT_EQ(unlink((dir + "copy.bin").c_str()), 0);
    ScriptedPeer peer;
    ASSERT_TRUE(PeerConnect(peer, port, 10000));
    std::string got;
    ASSERT_TRUE(PeerSend(peer, Word(0)));
    EXPECT_TRUE(PeerReceiveUntilClosed(peer, &got));
    EXPECT_EQ(got, "");  // not even its FileType
    EXPECT_EQ(WaitProcess(cli.process, kQuickMs), 1);
    const std::string out = ReadFile(dir + "tty.out");
    const size_t at = out.find(ToUtf8("接続完了"));
    ASSERT_NE(at, std::string::npos) << out;
    const std::string lines = ToUtf8("接続完了\r\nError: ") + dir + "copy.bin" +
                              ToUtf8(" を開けません: No such file or directory\r\n切断しました\r\n\r\n");
    EXPECT_EQ(out.substr(at, lines.size()), lines);
    // Then the summary, which gives the reason once more.
    EXPECT_EQ(out.substr(at + lines.size()).rfind(ToUtf8("失敗しました: No such file or directory、"), 0), 0u) << out;
}

namespace {
// The form in which strace shows the bytes of a text: printable ASCII as it
// is, a line break as \n, every other byte as an octal escape.
std::string StraceForm(const std::string& text) {
    std::string out;
    char escape[8];
    for (unsigned char c : text) {
        if (c == '\n') {
            out += "\\n";
        } else if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
            out += static_cast<char>(c);
        } else {
            snprintf(escape, sizeof escape, "\\%o", c);
            out += escape;
        }
    }
    return out;
}
}  // namespace

TEST(Fault, WhatIsReportedDoneIsOnTheDiskFirst) {
    // Read from the receiving side's system calls, not assumed: every line
    // that reports data done (the repair, the tail, the whole file) comes
    // after a sync of the file that follows its last write; a new file gets
    // its name only after that, and its folder is synced before the end.
    if (!FileExists("/usr/bin/strace")) GTEST_SKIP() << "no strace";
    struct Case {
        const char* what;
        bool nothing;
        std::vector<std::string> reports;  // the lines that must come after a sync
    };
    const Case cases[] = {
        {"a repair with a tail", false, {"修復が完了しました", "受信完了"}},
        {"a whole file", true, {"受信完了"}},
    };
    int run = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string dir = ScratchFolder("durable-" + std::to_string(run++));
        const std::string original = RandomBytes(3000000, 4);
        std::string copy = original.substr(0, 2000000);
        copy[12345] ^= 1;
        WriteFile(dir + "orig.bin", original);
        fs::create_directories(dir + "into");
        if (!c.nothing) WriteFile(dir + "copy.bin", copy);
        const std::string file = c.nothing ? dir + "into/orig.bin.blockmend-part" : dir + "copy.bin";
        const int port = NextPort();
        CliPeer o;
        ASSERT_TRUE(StartCli(o, dir, "original", {"original", dir + "orig.bin", "--listen", "--port", Port(port),
                                                  "--log-dir", dir}));
        ASSERT_TRUE(WaitForLine(o, "接続待ち・・・", 20000));
        ChildProcess receiver;
        std::vector<std::string> args{"/usr/bin/strace", "-f", "-y", "-s", "256", "-o", dir + "trace",
                                      "-e", "trace=pwrite64,fdatasync,fsync,rename,write"};
#ifdef __SANITIZE_ADDRESS__
        // The leak check cannot run under a tracer.
        const char* options = getenv("ASAN_OPTIONS");
        args.insert(args.end(), {"/usr/bin/env", std::string("ASAN_OPTIONS=") + (options ? options : "") + ":detect_leaks=0"});
#endif
        args.push_back(CliPath());
        if (c.nothing) args.insert(args.end(), {"nothing", dir + "into"});
        else args.insert(args.end(), {"copy", dir + "copy.bin", "--log-dir", dir});
        args.insert(args.end(), {"--connect", "127.0.0.1", "--port", Port(port)});
        ASSERT_TRUE(SpawnProcess(receiver, args, dir + "receiver.out", dir + "receiver.err"));
        EXPECT_EQ(WaitProcess(receiver, 60000), 0);
        FinishCli(o);
        EXPECT_TRUE(ReadFile(c.nothing ? dir + "into/orig.bin" : dir + "copy.bin") == original);

        std::vector<std::string> trace;
        std::istringstream in(ReadFile(dir + "trace"));
        for (std::string line; std::getline(in, line);) trace.push_back(line);
        auto has = [](const std::string& line, const std::string& part) { return line.find(part) != std::string::npos; };
        const std::string onFile = "<" + file + ">";
        auto find = [&](const std::string& call, const std::string& part, size_t from) {
            for (size_t i = from; i < trace.size(); ++i)
                if (has(trace[i], call) && has(trace[i], part)) return i;
            return trace.size();
        };
        for (const std::string& report : c.reports) {
            const size_t at = find("write(1", StraceForm(ToUtf8(report) + "\n"), 0);
            ASSERT_LT(at, trace.size()) << report;
            size_t lastWrite = 0;
            for (size_t i = 0; i < at; ++i)
                if (has(trace[i], "pwrite64(") && has(trace[i], onFile)) lastWrite = i;
            ASSERT_GT(lastWrite, 0u) << report;
            EXPECT_LT(find("fdatasync(", onFile, lastWrite), at) << report << ": no sync between the last write and the line";
        }
        if (c.nothing) {
            const size_t done = find("write(1", StraceForm(ToUtf8("受信完了\n")), 0);
            const size_t renamed = find("rename(", "orig.bin.blockmend-part", 0);
            const size_t folderSynced = find("fsync(", "<" + dir + "into>", renamed);
            const size_t end = find("write(1", StraceForm(ToUtf8("切断しました\n")), 0);
            EXPECT_LT(done, renamed);
            EXPECT_LT(renamed, folderSynced);
            EXPECT_LT(folderSynced, end);
        }
    }
}

TEST(Fault, NewCodeThatCannotBeMadeEndsBeforeTheWait) {
    // A random generator that does not start: the program says so and ends,
    // rather than waiting for a peer with no code at all.
#ifdef __SANITIZE_ADDRESS__
    GTEST_SKIP() << "a preloaded library cannot come before the sanitizer's runtime";
#endif
    const std::string dir = ScratchFolder("no-new-code");
    const std::string shim = dir + "no_random.so";
    {
        // sodium_init reports failure for every caller in the process.
        WriteFile(dir + "no_random.c", "int sodium_init(void) { return -1; }\n");
        ASSERT_EQ(system(("cc -shared -fPIC -o " + shim + " " + dir + "no_random.c").c_str()), 0);
    }
    WriteFile(dir + "orig.bin", "data");
    ChildProcess cli;
    ASSERT_TRUE(SpawnProcess(cli, {"/usr/bin/env", "LD_PRELOAD=" + shim, CliPath(), "original", dir + "orig.bin",
                                   "--listen", "--port", Port(NextPort()), "--new-code", "--log-dir", dir},
                             dir + "out", dir + "err"));
    EXPECT_EQ(WaitProcess(cli, 10000), 1);
    EXPECT_EQ(ReadFile(dir + "out"), "");
    EXPECT_NE(ReadFile(dir + "err").find("cannot make a new code"), std::string::npos) << ReadFile(dir + "err");
}

namespace {
// Bytes that the file takes on the disk.
uint64_t Allocated(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_blocks) * 512 : ~0ull;
}

// Writes bytes at offset into an existing file.
void WriteAt(const std::string& path, uint64_t offset, const std::string& bytes) {
    std::fstream out(path, std::ios::binary | std::ios::in | std::ios::out);
    out.seekp(static_cast<std::streamoff>(offset));
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// A loop device over an image file, detached again at the end.
struct LoopDevice {
    std::string path;
    explicit LoopDevice(const std::string& image) {
        FILE* p = popen(("losetup -f --show " + image + " 2>/dev/null").c_str(), "r");
        if (!p) return;
        char line[64] = {};
        if (fgets(line, sizeof line, p)) path = std::string(line, strcspn(line, "\n"));
        pclose(p);
    }
    ~LoopDevice() {
        if (!path.empty()) system(("losetup -d " + path).c_str());
    }
};
}  // namespace

TEST(Fault, SparseFilesKeepTheirHoles) {
    // A whole sparse file arrives with its holes; a repair writes zeros only
    // where the copy holds data, so a hole of the copy that the damaged
    // blocks cover stays a hole.
    const std::string dir = ScratchFolder("sparse");
    const uint64_t size = 64ull << 20, at = 8ull << 20;
    const std::string data = RandomBytes(512 << 10, 9), other = RandomBytes(512 << 10, 10);
    ASSERT_TRUE(MakeSparseFile(dir + "orig.bin", size, {}));
    ASSERT_TRUE(MakeSparseFile(dir + "copy.bin", size, {}));
    // Off the block grid of the repair (256 KiB here): the damaged blocks
    // also cover holes of both files.
    WriteAt(dir + "orig.bin", at + (100 << 10), data);
    WriteAt(dir + "copy.bin", at + (100 << 10), other);
    if (Allocated(dir + "orig.bin") > (1u << 20)) GTEST_SKIP() << "no sparse files here";
    fs::create_directories(dir + "into");
    const int port = NextPort();
    CliPeer o, n;
    RunPair(o, {"original", dir + "orig.bin", "--listen", "--port", Port(port), "--log-dir", dir}, n,
            {"nothing", dir + "into", "--connect", "127.0.0.1", "--port", Port(port)}, dir);
    ASSERT_EQ(n.exitCode, 0) << n.errors;
    EXPECT_TRUE(SameFileContents(dir + "orig.bin", dir + "into/orig.bin"));
    EXPECT_LE(Allocated(dir + "into/orig.bin"), Allocated(dir + "orig.bin") + (64u << 10));

    const int port2 = NextPort();
    CliPeer o2, c;
    RunPair(o2, {"original", dir + "orig.bin", "--listen", "--port", Port(port2), "--log-dir", dir}, c,
            {"copy", dir + "copy.bin", "--connect", "127.0.0.1", "--port", Port(port2), "--log-dir", dir}, dir);
    ASSERT_EQ(c.exitCode, 0) << c.errors;
    EXPECT_TRUE(HasLine(c.lines, "修復が完了しました"));
    EXPECT_TRUE(SameFileContents(dir + "orig.bin", dir + "copy.bin"));
    EXPECT_LE(Allocated(dir + "copy.bin"), Allocated(dir + "orig.bin") + (64u << 10));
}

TEST(Fault, BlockDevicesAreRepairedInPlaceAndNeverResized) {
    // Loop devices over image files (root only): a device as the Copy is
    // repaired in place with little sent; a longer one in its first part
    // only, the rest untouched; a shorter one is refused and unchanged; a
    // device as the Original gives a Nothing side a regular file.
    if (geteuid() != 0) GTEST_SKIP() << "loop devices need root";
    const std::string dir = ScratchFolder("devices");
    const std::string original = RandomBytes(4 << 20, 12);
    WriteFile(dir + "orig.bin", original);
    struct Case {
        const char* what;
        size_t imageSize;
        bool repaired;
        std::string line;  // on the Copy's side
    };
    const Case cases[] = {
        {"the same size", original.size(), true, "修復が完了しました"},
        {"longer", original.size() + (1 << 20), true, "デバイスの 4194304 バイト目から先は比較も変更もしません"},
        {"shorter", original.size() - (1 << 20), false, "コピー先のデバイスが元のファイルより短いため、修復できません"},
    };
    int run = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string image = dir + "image" + std::to_string(run++);
        std::string bytes = RandomBytes(c.imageSize, 13);
        memcpy(bytes.data(), original.data(), std::min(bytes.size(), original.size()));
        bytes[123456] ^= 0x77;
        WriteFile(image, bytes);
        LoopDevice device(image);
        if (device.path.empty()) GTEST_SKIP() << "no loop device here";
        const int port = NextPort();
        CliPeer o, copy;
        RunPair(o, {"original", dir + "orig.bin", "--listen", "--port", Port(port), "--log-dir", dir}, copy,
                {"copy", device.path, "--connect", "127.0.0.1", "--port", Port(port), "--log-dir", dir}, dir);
        EXPECT_EQ(copy.exitCode, c.repaired ? 0 : 1) << copy.errors;
        EXPECT_TRUE(HasLine(copy.lines, c.line));
        const std::string after = ReadFile(image);
        ASSERT_EQ(after.size(), bytes.size());
        if (c.repaired) {
            EXPECT_TRUE(after.substr(0, original.size()) == original);
            EXPECT_TRUE(after.substr(original.size()) == bytes.substr(original.size()));
            EXPECT_TRUE(HasLine(o.lines, "破損部分のデータを送信中・・・4096 / 4096 (100%)"));
        } else {
            EXPECT_TRUE(after == bytes);
        }
    }
    // The device as the Original.
    WriteFile(dir + "whole.img", original);
    LoopDevice device(dir + "whole.img");
    fs::create_directories(dir + "into");
    const int port = NextPort();
    CliPeer o, n;
    RunPair(o, {"original", device.path, "--listen", "--port", Port(port), "--log-dir", dir}, n,
            {"nothing", dir + "into", "--connect", "127.0.0.1", "--port", Port(port)}, dir);
    EXPECT_EQ(n.exitCode, 0) << n.errors;
    const std::string name = dir + "into/" + device.path.substr(device.path.rfind('/') + 1);
    EXPECT_TRUE(fs::is_regular_file(name));
    EXPECT_TRUE(ReadFile(name) == original);
}

TEST(Fault, SpecialFilesAreRefusedWithoutWaiting) {
    // A pipe (whose open would wait for a writer), a folder and a character
    // device are neither a file nor a disk.
    const std::string dir = ScratchFolder("special");
    ASSERT_EQ(mkfifo((dir + "pipe").c_str(), 0600), 0);
    for (const std::string& path : {dir + "pipe", dir, std::string("/dev/null")}) {
        SCOPED_TRACE(path);
        CliPeer cli;
        ASSERT_TRUE(StartCli(cli, dir, "cli", {"original", path, "--listen", "--port", Port(NextPort()), "--log-dir", dir}));
        FinishCli(cli, 10000);
        EXPECT_EQ(cli.exitCode, 1);
        EXPECT_FALSE(HasLine(cli.lines, "接続待ち・・・"));
    }
}
