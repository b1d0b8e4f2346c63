// blockmend-cli original --listen --serve against many peers: one table of
// peer mixes, each served by one server and checked from the peers' files
// and exit statuses and from the server's lines (one when a peer starts,
// one when it ends). The peers are blockmend-cli processes and scripted
// peers played by threads of the test (a literal protocol-1 Copy, one cut
// off halfway, one that sends garbage, one that says nothing).
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "platform/thread.h"
#include "tests/support/fixtures.h"
#include "tests/support/peer.h"
#include "tests/support/wire_script.h"

#ifndef _WIN32
#include <csignal>
#endif

namespace {
enum class Peer {
    kCopy1,      // blockmend-cli copy --protocol 1
    kCopy2,      // blockmend-cli copy (protocol 2)
    kNothing,    // blockmend-cli nothing
    kLiteral1,   // the hostile suite's literal protocol-1 Copy, played whole
    kCut,        // the same, cut off after half of what it sends
    kGarbage,    // random bytes, then a close
    kSilent,     // connects and says nothing until the server stops
    kWrongCode,  // blockmend-cli copy with another code than the server's
};

struct Mix {
    const char* name;
    std::vector<Peer> peers;
    std::vector<std::string> serverExtra;
    bool oneAfterAnother;  // each peer starts once the one before it ended
    int maxAtOnce;         // transfers that the server's lines may show at once (0: any)
    bool stopWhileServing; // SIGTERM once every peer has started, not after they ended
    bool posixOnly;        // signals, or too many Wine processes for the Windows run
    int changeBefore = -1; // the Original is rewritten before this peer starts (-1: never)
};

const char kCode[] = "serve-code-1";

const Mix kMixes[] = {
    {"copies and Nothing sides at once", {Peer::kCopy2, Peer::kCopy2, Peer::kCopy1, Peer::kNothing, Peer::kNothing},
     {}, false, 0, false, true},
    {"mixed protocols with the literal protocol-1 peer", {Peer::kLiteral1, Peer::kCopy2, Peer::kCopy1, Peer::kLiteral1},
     {}, false, 0, false, true},
    {"a peer cut off halfway and one sending garbage, then a copy", {Peer::kCut, Peer::kGarbage, Peer::kCopy2},
     {}, true, 0, false, true},
    {"a wrong code, then the right one", {Peer::kWrongCode, Peer::kCopy2}, {"--code", kCode}, true, 0, false, true},
    {"with a code, peers at once pair one after another", {Peer::kCopy2, Peer::kNothing, Peer::kCopy2},
     {"--code", kCode}, false, 0, false, true},
    {"--max-peers 2 with 5 peers", {Peer::kCopy2, Peer::kCopy1, Peer::kNothing, Peer::kCopy2, Peer::kCopy2},
     {"--max-peers", "2"}, false, 2, false, true},
    {"SIGTERM while serving", {Peer::kSilent, Peer::kSilent}, {}, false, 0, true, true},
    {"the Original changes between two peers", {Peer::kCopy2, Peer::kCopy1, Peer::kCopy2}, {}, true, 0, false, true, 2},
    {"3 copies (the Windows peer under Wine)", {Peer::kCopy2, Peer::kCopy2, Peer::kCopy1}, {}, false, 0, false, false},
};

bool Fails(Peer p) { return p == Peer::kCut || p == Peer::kGarbage || p == Peer::kSilent || p == Peer::kWrongCode; }
bool IsCli(Peer p) { return p == Peer::kCopy1 || p == Peer::kCopy2 || p == Peer::kNothing || p == Peer::kWrongCode; }

// What the server's lines say: its peers' starts and ends, in the order
// they were printed, and the most that ran at once.
struct ServerView {
    int started = 0, completed = 0, failed = 0, stopped = 0, mostAtOnce = 0;
    bool penalty = false;
};

ServerView ReadServerLines(const std::vector<std::string>& lines) {
    ServerView v;
    int running = 0;
    for (const std::string& line : lines) {
        if (line.rfind("127.0.0.1:", 0) != 0) {
            v.penalty |= line.find("次の接続には 1 秒後に応答します") != std::string::npos;
            continue;
        }
        const std::string what = line.substr(line.find(": ") + 2);
        if (what == "接続完了、転送を開始します") {
            v.mostAtOnce = std::max(v.mostAtOnce, ++running);
            ++v.started;
            continue;
        }
        --running;
        if (what.rfind("失敗しました", 0) == 0) ++v.failed;
        else if (what.rfind("修復しました", 0) == 0 || what.rfind("送信しました", 0) == 0) ++v.completed;
        if (what.find("中断しました") != std::string::npos) ++v.stopped;
    }
    return v;
}
}  // namespace

TEST(Serve, EveryMixOfPeersIsServedEachOnItsOwn) {
    for (const Mix& mix : kMixes) {
        std::string original = RandomBytes(300000, 7);
#ifdef _WIN32
        if (mix.posixOnly) continue;
#endif
        SCOPED_TRACE(mix.name);
        const std::string folder = ScratchFolder("serve");
        WriteFile(folder + "orig.bin", original);
        const std::string port = std::to_string(NextPort());
        std::vector<std::string> args{"original", folder + "orig.bin", "--listen", "--serve", "--port", port,
                                      "--log-dir", folder};
        args.insert(args.end(), mix.serverExtra.begin(), mix.serverExtra.end());
        CliPeer server;
        ASSERT_TRUE(StartCli(server, folder, "server", args));
        const size_t n = mix.peers.size();
        std::vector<CliPeer> clis(n);
        std::vector<std::string> copies(n), expected(n);
        std::vector<std::thread> scripted;
        std::atomic<int> literalsWhole{0};
        uint64_t rightCodeTook = 0;
        for (size_t i = 0; i < n; ++i) {
            const Peer p = mix.peers[i];
            const std::string tag = "peer" + std::to_string(i);
            if (static_cast<int>(i) == mix.changeBefore) {
                original = RandomBytes(300000, 8);
                WriteFile(folder + "orig.bin", original);
            }
            expected[i] = original;
            // Each copy is damaged in a spot of its own and one is shorter.
            copies[i] = original;
            copies[i][4096 * (i + 3) + 17] ^= 0x5A;
            if (i == 1) copies[i].resize(250000);
            const uint64_t started = MonotonicMilliseconds();
            if (IsCli(p)) {
                std::vector<std::string> c{"copy", folder + tag + ".bin", "--connect", "127.0.0.1", "--port", port,
                                           "--wait", "30", "--log-dir", folder + tag};
                std::filesystem::create_directories(folder + tag);
                if (p == Peer::kNothing) c[0] = "nothing", c[1] = folder + tag;
                else WriteFile(folder + tag + ".bin", copies[i]);
                if (p == Peer::kCopy1) c.insert(c.end(), {"--protocol", "1"});
                if (p == Peer::kWrongCode) c.insert(c.end(), {"--code", "not-the-code"});
                else if (!mix.serverExtra.empty() && mix.serverExtra[0] == "--code") c.insert(c.end(), {"--code", kCode});
                ASSERT_TRUE(StartCli(clis[i], folder, tag, c));
            } else {
                scripted.emplace_back([&, p, i, port] {
                    ScriptedPeer peer;
                    if (!PeerConnect(peer, std::stoi(port), 20000)) return;
                    const Script script = CopyPart(expected[i], copies[i], 1);
                    if (p == Peer::kLiteral1) {
                        std::string received;
                        Play(peer, script, SIZE_MAX, 20000, &received);
                        size_t expected = 0;
                        for (const Step& step : script) expected += step.receive;
                        if (received.size() == expected) ++literalsWhole;
                    } else if (p == Peer::kCut) {
                        Play(peer, script, ScriptBytes(script) / 2, 20000);
                    } else if (p == Peer::kGarbage) {
                        PeerSend(peer, RandomBytes(5000, 99));
                        std::string rest;
                        PeerReceiveUntilClosed(peer, &rest, 20000);
                    } else {
                        std::string rest;
                        PeerReceiveUntilClosed(peer, &rest, 60000);
                    }
                    PeerClose(peer);
                });
            }
            if (mix.oneAfterAnother) {
                if (IsCli(p)) FinishCli(clis[i], 90000);
                else scripted.back().join(), scripted.pop_back();
                if (p == Peer::kCopy2) rightCodeTook = MonotonicMilliseconds() - started;
                // The next peer comes once the server knows of the failure.
                for (int waited = 0; p == Peer::kWrongCode && waited < 10000 && !ReadServerLines(CliLines(server)).penalty;
                     waited += 20)
                    SleepMs(20);
            }
        }
#ifndef _WIN32
        if (mix.stopWhileServing) {
            for (int waited = 0; waited < 30000 && ReadServerLines(CliLines(server)).started < static_cast<int>(n); waited += 50)
                SleepMs(50);
            const uint64_t signalled = MonotonicMilliseconds();
            kill(static_cast<pid_t>(server.process.handle), SIGTERM);
            FinishCli(server, 20000);
            EXPECT_EQ(server.exitCode, 0);
            EXPECT_LT(MonotonicMilliseconds() - signalled, 5000u);
            // No longer accepting.
            ScriptedPeer late;
            EXPECT_FALSE(PeerConnect(late, std::stoi(port), 500));
        }
#endif
        for (size_t i = 0; i < n; ++i) {
            if (!IsCli(mix.peers[i]) || mix.oneAfterAnother) continue;
            FinishCli(clis[i], 90000);
        }
        for (std::thread& t : scripted) t.join();
        if (!mix.stopWhileServing) {
            // Every transfer has ended: the server stops at once.
#ifdef _WIN32
            SleepMs(2000);
            KillProcess(server.process);
            FinishCli(server, 5000);
#else
            kill(static_cast<pid_t>(server.process.handle), SIGTERM);
            FinishCli(server, 10000);
            EXPECT_EQ(server.exitCode, 0);
#endif
        }
        int fails = 0, literals = 0, compared = 0;
        for (size_t i = 0; i < n; ++i) {
            const Peer p = mix.peers[i];
            SCOPED_TRACE("peer " + std::to_string(i));
            fails += Fails(p) ? 1 : 0;
            literals += p == Peer::kLiteral1 ? 1 : 0;
            compared += !Fails(p) && p != Peer::kNothing ? 1 : 0;
            if (!IsCli(p)) continue;
            EXPECT_EQ(clis[i].exitCode, p == Peer::kWrongCode ? 1 : 0) << clis[i].errors;
            if (p == Peer::kWrongCode) continue;
            const std::string tag = "peer" + std::to_string(i);
            EXPECT_TRUE(ReadFile(p == Peer::kNothing ? folder + tag + "/orig.bin" : folder + tag + ".bin") == expected[i]);
        }
        EXPECT_EQ(literalsWhole.load(), literals);
        const ServerView v = ReadServerLines(server.lines);
        EXPECT_EQ(v.started, static_cast<int>(n));
        EXPECT_EQ(v.completed, static_cast<int>(n) - fails);
        EXPECT_EQ(v.failed, fails);
        if (mix.stopWhileServing) {
            EXPECT_EQ(v.stopped, static_cast<int>(n));
        }
        if (mix.maxAtOnce > 0) {
            EXPECT_LE(v.mostAtOnce, mix.maxAtOnce);
        }
        // After a failed pairing the next peer is answered a second later.
        if (mix.peers[0] == Peer::kWrongCode) {
            EXPECT_TRUE(v.penalty);
            EXPECT_GE(rightCodeTook, 700u);
        }
        // Each served transfer wrote a log of its own, named after its peer.
        int logs = 0;
        for (const auto& entry : std::filesystem::directory_iterator(folder))
            logs += entry.path().filename().string().rfind("log_server-127.0.0.1-", 0) == 0 ? 1 : 0;
        EXPECT_GE(logs, compared);
        if (HasFailure()) {
            for (const std::string& line : server.lines) ADD_FAILURE() << "server: " << ToUtf8(line);
            return;
        }
    }
}
