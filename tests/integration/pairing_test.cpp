// Two blockmend-cli peers paired with a code: what a wrong code, a code on
// one side only, a peer of protocol 1 and a relay that changes, drops,
// replays, reorders or cuts what crosses the wire lead to, and that nothing
// of the file crosses in clear. The relay knows where the records of a
// paired connection begin: after each side's file-type word (4 bytes), its
// pairing message (33) and its confirmation (32).
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/fixtures.h"
#include "tests/support/peer.h"
#include "tests/support/wire_script.h"

namespace {
constexpr int kQuickMs = 10000;
constexpr size_t kHandshakeParts[] = {4, 33, 32};
const char kCode[] = "correct-horse-7";
const std::string kPairingFailed = "コードによる接続に失敗しました (コードが違うか、通信が改ざんされています)";
const std::string kBadRecord = "暗号化されたデータが正しくありません (改ざんされたか、壊れています)";
const std::string kLost = "相手との接続が切れました";

std::vector<std::string> Last(const std::vector<std::string>& lines, size_t n) {
    if (lines.size() <= n) return lines;
    return std::vector<std::string>(lines.end() - static_cast<long>(n), lines.end());
}

std::vector<std::string> EndingWith(const std::string& line) { return {line, "切断しました", ""}; }

// What the relay does to one direction: 0 from the Client, 1 from the Server.
struct Tamper {
    enum Kind { kNone, kFlipHandshake, kRewriteWord, kFlipLength, kFlipText, kFlipTag, kDrop, kReplay, kSwap, kCut };
    Kind kind = kNone;
    int direction = 1;
    size_t part = 0;     // kFlipHandshake: 0 the word, 1 the pairing message, 2 the confirmation
    size_t record = 0;   // the record it concerns, counted from 0 in its direction
    std::string word;    // kRewriteWord: the word sent instead
};

struct RecordRelay {
    ScriptedPeer front, back;  // front: the Client's connection; back: to the Server
    Tamper tamper;
    std::string seen[2];       // everything each direction carried, as it arrived
    std::thread pumps[2];

    void Start(int listenPort, int serverPort, const Tamper& t) {
        tamper = t;
        ASSERT_TRUE(PeerListen(front, listenPort));
        std::thread([this, serverPort] {
            if (!PeerAccept(front, 30000) || !PeerConnect(back, serverPort, 10000)) return;
            pumps[0] = std::thread([this] { Pump(0, front, back); });
            pumps[1] = std::thread([this] { Pump(1, back, front); });
        }).join();
    }

    void Join() {
        for (std::thread& t : pumps)
            if (t.joinable()) t.join();
        PeerClose(front);
        PeerClose(back);
    }

    bool Read(int d, ScriptedPeer& from, size_t n, std::string* bytes) {
        if (!PeerReceive(from, n, bytes, 30000)) return false;
        seen[d] += *bytes;
        return true;
    }

    void Pump(int d, ScriptedPeer& from, ScriptedPeer& to) {
        const bool mine = tamper.direction == d;
        std::string bytes;
        for (size_t part = 0; part < 3; ++part) {
            if (!Read(d, from, kHandshakeParts[part], &bytes)) return End(to);
            if (mine && part == 0 && tamper.kind == Tamper::kRewriteWord) bytes = tamper.word;
            if (mine && tamper.kind == Tamper::kFlipHandshake && tamper.part == part) bytes[bytes.size() / 2] ^= 0x10;
            if (!PeerSend(to, bytes)) return End(to);
        }
        std::string held;
        for (size_t record = 0;; ++record) {
            std::string header, body;
            if (!Read(d, from, 4, &header)) break;
            const size_t length = WordAt(header, 0) & 0x7FFFFFFF;
            if (!Read(d, from, length + 16, &body)) break;
            std::string out = header + body;
            if (mine && record == tamper.record) {
                switch (tamper.kind) {
                case Tamper::kFlipLength: out[3] ^= static_cast<char>(0x80); break;
                case Tamper::kFlipText: out[4 + length / 2] ^= 0x01; break;
                case Tamper::kFlipTag: out[out.size() - 1] ^= 0x01; break;
                case Tamper::kDrop: out.clear(); break;
                case Tamper::kReplay: out += out; break;
                case Tamper::kSwap: held = out; out.clear(); break;
                case Tamper::kCut:
                    PeerSend(to, out.substr(0, out.size() / 2));
                    return End(to);
                default: break;
                }
            } else if (!held.empty()) {
                out += held;
                held.clear();
            }
            if (!out.empty() && !PeerSend(to, out)) break;
        }
        End(to);
    }

    static void End(ScriptedPeer& to) { ShutdownSend(to); }
};

struct Paired {
    explicit Paired(std::string folder) : dir(std::move(folder)) {}
    std::string dir;
    CliPeer server, client;
    RecordRelay relay;
};

// Runs a server and a client, each with its arguments (the port and the
// connection added here), through the relay.
void RunThroughRelay(Paired& p, std::vector<std::string> serverArgs, std::vector<std::string> clientArgs,
                     const Tamper& tamper = {}) {
    const int serverPort = NextPort(), relayPort = NextPort();
    serverArgs.insert(serverArgs.end(), {"--listen", "--port", std::to_string(serverPort)});
    clientArgs.insert(clientArgs.end(), {"--connect", "127.0.0.1", "--port", std::to_string(relayPort)});
    ASSERT_TRUE(StartCli(p.server, p.dir, "server", serverArgs));
    ASSERT_TRUE(WaitForLine(p.server, "接続待ち・・・", 20000));
    std::thread relay([&] { p.relay.Start(relayPort, serverPort, tamper); });
    SleepMs(50);
    ASSERT_TRUE(StartCli(p.client, p.dir, "client", clientArgs));
    relay.join();
    FinishCli(p.client, 60000);
    FinishCli(p.server, kQuickMs);
    p.relay.Join();
}

Tamper StripOffer() {
    Tamper t;
    t.kind = Tamper::kRewriteWord;
    t.direction = 0;
    t.word = Word(0);
    return t;
}

Tamper FlipHandshake(int direction, size_t part) {
    Tamper t;
    t.kind = Tamper::kFlipHandshake;
    t.direction = direction;
    t.part = part;
    return t;
}

std::vector<std::string> Coded(std::vector<std::string> args, const char* code = kCode) {
    args.insert(args.end(), {"--code", code});
    return args;
}
}  // namespace

TEST(Pairing, TheSameCodeOnBothSidesRepairsOverRecords) {
    Paired p{ScratchFolder("paired")};
    const std::string original = RandomBytes(3u << 20, 61);
    std::string copy = original.substr(0, 1u << 20);
    copy[5000] ^= 0x44;
    WriteFile(p.dir + "orig.bin", original);
    WriteFile(p.dir + "copy.bin", copy);
    RunThroughRelay(p, Coded({"original", p.dir + "orig.bin", "--log-dir", p.dir}),
                    Coded({"copy", p.dir + "copy.bin", "--log-dir", p.dir}));
    EXPECT_EQ(p.server.exitCode, 0) << p.server.errors;
    EXPECT_EQ(p.client.exitCode, 0) << p.client.errors;
    EXPECT_TRUE(ReadFile(p.dir + "copy.bin") == original);
    bool encryptedLine = false;
    for (const std::string& l : p.client.lines)
        encryptedLine |= l.rfind("プロトコル2 (XXH3) で転送します (暗号化: ", 0) == 0;
    EXPECT_TRUE(encryptedLine);
    EXPECT_EQ(p.server.errors.find("warning"), std::string::npos);
}

TEST(Pairing, AWrongCodeOrACodeOnOneSideOnlyMovesNothing) {
    // One connection is one guess: the listener ends too. A listening Copy
    // keeps its file byte for byte; a listening Nothing side makes none.
    const std::string original = RandomBytes(300000, 62), copy = RandomBytes(200000, 63);
    struct Case {
        const char* what;
        const char* listener;  // "copy" or "nothing"
        const char* serverCode;
        const char* clientCode;
        std::string serverLine, clientLine;
    };
    const Case cases[] = {
        {"a wrong code, listening copy", "copy", "correct-horse-7", "correct-horse-8", kPairingFailed, kPairingFailed},
        {"a wrong code, listening nothing side", "nothing", "correct-horse-7", "Correct-horse-7", kPairingFailed,
         kPairingFailed},
        {"a code on the listener only", "copy", kCode, nullptr, "相手はコードを使っていません",
         "相手はコードでの接続を求めています"},
        {"a code on the connecting side only", "nothing", nullptr, kCode, "相手はコードでの接続を求めています",
         "相手はコードを使っていません"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Paired p{ScratchFolder("wrong-code")};
        WriteFile(p.dir + "orig.bin", original);
        WriteFile(p.dir + "copy.bin", copy);
        const bool nothing = std::string(c.listener) == "nothing";
        std::vector<std::string> server = nothing ? std::vector<std::string>{"nothing", p.dir + "into"}
                                                  : std::vector<std::string>{"copy", p.dir + "copy.bin", "--log-dir", p.dir};
        if (nothing) std::filesystem::create_directories(p.dir + "into");
        if (c.serverCode) server = Coded(server, c.serverCode);
        std::vector<std::string> client{"original", p.dir + "orig.bin", "--log-dir", p.dir};
        if (c.clientCode) client = Coded(client, c.clientCode);
        RunThroughRelay(p, server, client);
        EXPECT_EQ(p.server.exitCode, 1);
        EXPECT_EQ(p.client.exitCode, 1);
        EXPECT_EQ(Last(p.server.lines, 3), EndingWith(c.serverLine));
        EXPECT_EQ(Last(p.client.lines, 3), EndingWith(c.clientLine));
        EXPECT_TRUE(ReadFile(p.dir + "copy.bin") == copy);
        EXPECT_FALSE(FileExists(p.dir + "into/orig.bin"));
        // A listener without a code (and without --allow) was told.
        EXPECT_EQ(p.server.errors.find("warning: listening with neither --code nor --allow") != std::string::npos,
                  c.serverCode == nullptr)
            << p.server.errors;
    }
}

TEST(Pairing, ARelayThatChangesOrStripsTheHandshakeMakesPairingFail) {
    const std::string original = RandomBytes(300000, 64), copy = original.substr(0, 100000);
    struct Case {
        const char* what;
        Tamper tamper;
        std::string serverLine;  // empty: any end but a normal one
        std::string clientLine;
    };
    const Case cases[] = {
        {"the Client's word", FlipHandshake(0, 0), kPairingFailed, kPairingFailed},
        {"the Server's word", FlipHandshake(1, 0), kPairingFailed, kPairingFailed},
        // An element that is no longer valid ends the Server at once, before
        // its confirmation; one that still is makes the confirmations differ.
        {"the Client's pairing message", FlipHandshake(0, 1), kPairingFailed, ""},
        {"the Server's confirmation", FlipHandshake(1, 2), "", kPairingFailed},
        {"the Client's offer stripped to a plain word", StripOffer(), "相手はコードを使っていません", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Paired p{ScratchFolder("tamper-handshake")};
        WriteFile(p.dir + "orig.bin", original);
        WriteFile(p.dir + "copy.bin", copy);
        RunThroughRelay(p, Coded({"copy", p.dir + "copy.bin", "--log-dir", p.dir}),
                        Coded({"original", p.dir + "orig.bin", "--log-dir", p.dir}), c.tamper);
        EXPECT_EQ(p.server.exitCode, 1);
        EXPECT_EQ(p.client.exitCode, 1);
        if (!c.serverLine.empty()) {
            EXPECT_EQ(Last(p.server.lines, 3), EndingWith(c.serverLine));
        }
        if (!c.clientLine.empty()) {
            EXPECT_EQ(Last(p.client.lines, 3), EndingWith(c.clientLine));
        }
        EXPECT_TRUE(ReadFile(p.dir + "copy.bin") == copy);
    }
}

TEST(Pairing, ARecordChangedDroppedReplayedReorderedOrCutEndsTheTransfer) {
    // The Original (listening) sends, in records: its size answer (0), its
    // checksum list (1), the tail of 2 MiB in records of 256 KiB (2 to 9),
    // its digest (10). A record that does not open ends the Copy, which has
    // written only what came before it.
    const std::string original = RandomBytes(3u << 20, 65), copy = original.substr(0, 1u << 20);
    struct Case {
        const char* what;
        Tamper::Kind kind;
        std::string copyLine;
    };
    const Case cases[] = {
        {"a bit of the length", Tamper::kFlipLength, kBadRecord},
        {"a bit of the ciphertext", Tamper::kFlipText, kBadRecord},
        {"a bit of the tag", Tamper::kFlipTag, kBadRecord},
        {"a record left out", Tamper::kDrop, kBadRecord},
        {"a record replayed", Tamper::kReplay, kBadRecord},
        {"two records swapped", Tamper::kSwap, kBadRecord},
        {"the stream cut in the middle of a record", Tamper::kCut, kLost},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Paired p{ScratchFolder("tamper-record")};
        WriteFile(p.dir + "orig.bin", original);
        WriteFile(p.dir + "copy.bin", copy);
        Tamper tamper;
        tamper.kind = c.kind;
        tamper.direction = 1;
        tamper.record = 3;
        RunThroughRelay(p, Coded({"original", p.dir + "orig.bin", "--log-dir", p.dir}),
                        Coded({"copy", p.dir + "copy.bin", "--log-dir", p.dir}), tamper);
        EXPECT_EQ(p.client.exitCode, 1);
        EXPECT_EQ(p.server.exitCode, 1);
        EXPECT_EQ(Last(p.client.lines, 3), EndingWith(c.copyLine));
        // Only what was proven to be the Original's was written.
        const std::string now = ReadFile(p.dir + "copy.bin");
        EXPECT_GE(now.size(), copy.size());
        EXPECT_LT(now.size(), original.size());
        EXPECT_TRUE(now == original.substr(0, now.size()));
    }
}

TEST(Pairing, APeerOfProtocol1IsRefusedBeforeAnyFileData) {
    // The scripted peer speaks only protocol 1 and holds no code.
    const std::string copy = RandomBytes(50000, 66);
    for (bool listening : {true, false}) {
        SCOPED_TRACE(listening ? "the side with a code listens" : "the side with a code connects");
        const std::string dir = ScratchFolder("pairing-p1");
        WriteFile(dir + "copy.bin", copy);
        const int port = NextPort();
        std::vector<std::string> args = Coded({"copy", dir + "copy.bin", "--log-dir", dir, "--port", std::to_string(port)});
        ScriptedPeer peer;
        CliPeer cli;
        if (listening) {
            args.push_back("--listen");
            ASSERT_TRUE(StartCli(cli, dir, "cli", args));
            ASSERT_TRUE(WaitForLine(cli, "接続待ち・・・", 20000));
            ASSERT_TRUE(PeerConnect(peer, port, 10000));
        } else {
            args.insert(args.end(), {"--connect", "127.0.0.1"});
            ASSERT_TRUE(PeerListen(peer, port));
            ASSERT_TRUE(StartCli(cli, dir, "cli", args));
            ASSERT_TRUE(PeerAccept(peer, 20000));
        }
        std::string sent;
        Play(peer, {Send(Word(0)), Receive(4), Receive(4)}, SIZE_MAX, 5000, &sent);
        FinishCli(cli, kQuickMs);
        PeerClose(peer);
        EXPECT_EQ(cli.exitCode, 1);
        EXPECT_EQ(Last(cli.lines, 3), EndingWith("相手はコードを使っていません"));
        EXPECT_EQ(sent.size(), 4u);  // its word, and nothing of the file
        EXPECT_TRUE(ReadFile(dir + "copy.bin") == copy);
    }
}

TEST(Pairing, APeerThatStallsInThePairingIsGivenUp) {
    // The pairing messages are due at once, like the first word: a peer
    // that sends its word, or also its pairing message (the side's own,
    // echoed: a valid element), and then nothing ends the listening side
    // after 30 s. Both cases wait at the same time.
    const std::string paired = std::string("BM") + static_cast<char>(0x42) + "C";
    struct Stall {
        bool echo;  // also send a pairing message
        std::string dir;
        ScriptedPeer peer;
        CliPeer cli;
    };
    Stall stalls[2];
    for (Stall& s : stalls) {
        s.echo = &s == &stalls[1];
        s.dir = ScratchFolder(s.echo ? "pairing-stall-confirm" : "pairing-stall-message");
        WriteFile(s.dir + "orig.bin", "data");
        const int port = NextPort();
        ASSERT_TRUE(StartCli(s.cli, s.dir, "cli",
                             Coded({"original", s.dir + "orig.bin", "--log-dir", s.dir, "--listen", "--port",
                                    std::to_string(port)})));
        ASSERT_TRUE(WaitForLine(s.cli, "接続待ち・・・", 20000));
        ASSERT_TRUE(PeerConnect(s.peer, port, 10000));
        std::string word, message;
        ASSERT_TRUE(PeerSend(s.peer, paired));
        ASSERT_TRUE(PeerReceive(s.peer, 4, &word));
        ASSERT_TRUE(PeerReceive(s.peer, 33, &message));
        if (s.echo) {
            ASSERT_TRUE(PeerSend(s.peer, message));
        }
    }
    for (Stall& s : stalls) {
        SCOPED_TRACE(s.echo ? "no confirmation" : "no pairing message");
        FinishCli(s.cli, 45000);
        EXPECT_EQ(s.cli.exitCode, 1);
        EXPECT_EQ(Last(s.cli.lines, 3), EndingWith("相手から30秒間応答がありませんでした"));
        PeerClose(s.peer);
    }
}

TEST(Pairing, NothingOfTheFileCrossesInClear) {
    // The whole file to a Nothing side: neither its name nor any stretch of
    // its bytes is on the wire as it is.
    Paired p{ScratchFolder("pairing-capture")};
    const std::string name = "secret-name-7Q.bin";
    const std::string original = RandomBytes(600000, 67);
    WriteFile(p.dir + name, original);
    std::filesystem::create_directories(p.dir + "into");
    RunThroughRelay(p, Coded({"original", p.dir + name, "--log-dir", p.dir}), Coded({"nothing", p.dir + "into"}));
    EXPECT_EQ(p.server.exitCode, 0);
    EXPECT_EQ(p.client.exitCode, 0);
    ASSERT_TRUE(ReadFile(p.dir + "into/" + name) == original);
    const std::string wire = p.relay.seen[0] + p.relay.seen[1];
    EXPECT_GT(wire.size(), original.size());
    EXPECT_EQ(wire.find("secret-name"), std::string::npos);
    for (size_t at = 0; at + 16 <= original.size(); at += 4099)
        ASSERT_EQ(wire.find(original.substr(at, 16)), std::string::npos) << "bytes at " << at;
}
