// blockmend-cli against a hostile peer: a scripted peer that plays the other
// side byte by byte and breaks the protocol wherever the program reads from
// the wire (words that name no FileType, every message cut short, sizes and
// block sizes that make no sense, unsafe names, random bytes), stalls, and
// the --allow filter of a listening side. Every case checks the status lines,
// the exit status, the local file and the folder around it; the program runs
// under a memory limit where the system has prlimit. The test thread plays
// the peer; the program is a child process.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <set>

#include "engine/crc16.h"
#include "tests/support/fixtures.h"
#include "tests/support/peer.h"

#ifdef _WIN32
#include <winsock2.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {
constexpr uint32_t kBlock = 4096;  // one comparison pass, no refinement
constexpr uint32_t kPiece = 65536;  // the tail moves in pieces of this size
constexpr int kQuickMs = 5000;      // a side that must end "at once"

const std::vector<std::string> kLost{"相手との接続が切れました", "切断しました", ""};
const std::vector<std::string> kBadType{"FileType が正しくありません。", "切断しました", ""};
const std::vector<std::string> kBadBlockSize{"ブロックサイズが正しくありません。", "切断しました", ""};
const std::vector<std::string> kSizeError{"error: ファイルサイズが異なります", "切断しました", ""};

std::string NameRecord(const std::string& name) {
    std::string record = name;
    record.resize(260, '\0');
    return record;
}

// The checksums of the kBlock-sized blocks of bytes[0, work), as sent.
std::string CrcList(const std::string& bytes, size_t work) {
    std::string list;
    for (size_t at = 0; at < work; at += kBlock) {
        size_t n = std::min<size_t>(kBlock, work - at);
        uint16_t crc = Crc16Update(0xFFFF, reinterpret_cast<const uint8_t*>(bytes.data() + at), n);
        list += static_cast<char>(crc & 0xFF);
        list += static_cast<char>(crc >> 8);
    }
    return list;
}

// The blocks of [0, work) whose checksums differ, as {offset, length}.
std::vector<std::pair<size_t, size_t>> Damaged(const std::string& a, const std::string& b, size_t work) {
    std::string ca = CrcList(a, work), cb = CrcList(b, work);
    std::vector<std::pair<size_t, size_t>> blocks;
    for (size_t i = 0; 2 * i < ca.size(); ++i)
        if (ca.compare(2 * i, 2, cb, 2 * i, 2) != 0)
            blocks.emplace_back(i * kBlock, std::min<size_t>(kBlock, work - i * kBlock));
    return blocks;
}

// One step of the peer's part: bytes to send, or a count to read. A send
// step that the Copy writes to its file says where.
struct Step {
    std::string send;
    size_t receive = 0;
    enum Kind { kMessage, kBlocks, kTail } kind = kMessage;
    std::vector<std::pair<size_t, size_t>> blocks;  // kBlocks: where each block goes
    size_t tailAt = 0;                              // kTail: file offset of its first byte
};
using Script = std::vector<Step>;

Step Send(std::string bytes, Step::Kind kind = Step::kMessage) {
    Step step;
    step.send = std::move(bytes);
    step.kind = kind;
    return step;
}
Step Receive(size_t count) {
    Step step;
    step.receive = count;
    return step;
}

// An honest Original facing a Copy program that holds copy.
Script OriginalPart(const std::string& original, const std::string& copy) {
    const size_t work = std::min(original.size(), copy.size());
    auto damaged = Damaged(original, copy, work);
    Script s{Receive(4), Send(Word(0)), Receive(4)};
    if (original.size() == copy.size()) {
        s.push_back(Send(Byte(0)));
    } else {
        s.push_back(Send(Byte(1)));
        s.push_back(Send(Word(static_cast<uint32_t>(original.size()))));
    }
    s.push_back(Send(Word(kBlock)));
    s.push_back(Send(CrcList(original, work)));
    s.push_back(Receive(CrcList(copy, work).size()));
    if (!damaged.empty()) {
        Step blocks = Send("", Step::kBlocks);
        blocks.blocks = damaged;
        std::string verify;
        for (auto& b : damaged) {
            blocks.send += original.substr(b.first, b.second);
            verify += CrcList(original.substr(b.first, b.second), b.second);
        }
        s.push_back(blocks);
        s.push_back(Send(verify));
        s.push_back(Receive(verify.size()));
    }
    if (original.size() > copy.size()) {
        Step tail = Send(original.substr(copy.size()), Step::kTail);
        tail.tailAt = copy.size();
        s.push_back(tail);
    }
    return s;
}

// An honest Copy facing an Original program.
Script CopyPart(const std::string& original, const std::string& copy) {
    const size_t work = std::min(original.size(), copy.size());
    auto damaged = Damaged(original, copy, work);
    Script s{Receive(4), Send(Word(1)), Send(Word(static_cast<uint32_t>(copy.size())))};
    s.push_back(Receive(original.size() == copy.size() ? 5 : 9));
    s.push_back(Receive(CrcList(original, work).size()));
    s.push_back(Send(CrcList(copy, work)));
    if (!damaged.empty()) {
        size_t bytes = 0;
        std::string verify;
        for (auto& b : damaged) {
            bytes += b.second;
            verify += CrcList(original.substr(b.first, b.second), b.second);
        }
        s.push_back(Receive(bytes));
        s.push_back(Receive(verify.size()));
        s.push_back(Send(verify));
    }
    s.push_back(Receive(original.size() - copy.size()));
    return s;
}

// An honest Original facing a Nothing program: the whole file as name.
Script WholeFilePart(const std::string& original, const std::string& name) {
    Script s{Receive(4), Send(Word(0)), Send(NameRecord(name)), Receive(1),
             Send(Word(static_cast<uint32_t>(original.size())))};
    s.push_back(Send(original, Step::kTail));
    return s;
}

// What a Copy (or the new file of a Nothing side) holds after a peer that
// played script sent only its first cut bytes: every block and every tail
// piece that arrived whole is written, nothing else.
std::string FileAfterCut(std::string file, const Script& script, size_t cut) {
    size_t sent = 0;
    for (const Step& step : script) {
        if (sent >= cut) break;
        size_t arrived = std::min(step.send.size(), cut - sent);
        if (step.kind == Step::kBlocks) {
            size_t at = 0;
            for (auto& b : step.blocks) {
                if (at + b.second > arrived) break;
                file.replace(b.first, b.second, step.send, at, b.second);
                at += b.second;
            }
        } else if (step.kind == Step::kTail) {
            size_t whole = arrived == step.send.size() ? arrived : arrived / kPiece * kPiece;
            if (file.size() < step.tailAt + whole) file.resize(step.tailAt + whole);
            file.replace(step.tailAt, whole, step.send, 0, whole);
        }
        sent += step.send.size();
    }
    return file;
}

void ShutdownSend(ScriptedPeer& peer) {
#ifdef _WIN32
    shutdown(static_cast<SOCKET>(peer.sock.sock), SD_SEND);
#else
    shutdown(static_cast<int>(peer.sock.sock), SHUT_WR);
#endif
}

// Plays script, sending only its first cut bytes; then ends its sending
// and reads what the program still sends until it closes, so that every
// byte sent reaches the program and the connection ends with a plain close.
void Play(ScriptedPeer& peer, const Script& script, size_t cut = SIZE_MAX) {
    size_t sent = 0;
    for (const Step& step : script) {
        if (step.receive > 0) {
            std::string got;
            if (!PeerReceive(peer, step.receive, &got, kQuickMs)) break;
            continue;
        }
        if (sent >= cut) break;
        size_t n = std::min(step.send.size(), cut - sent);
        if (!PeerSend(peer, step.send.substr(0, n))) break;
        sent += n;
    }
    ShutdownSend(peer);
    std::string rest;
    PeerReceiveUntilClosed(peer, &rest, 20000);
    PeerClose(peer);
}

size_t ScriptBytes(const Script& s) {
    size_t n = 0;
    for (const Step& step : s) n += step.send.size();
    return n;
}

// The cut points of every message of a script: before its first byte,
// after its first, in its middle and before its last.
std::vector<size_t> CutPoints(const Script& script) {
    std::set<size_t> cuts;
    size_t at = 0;
    for (const Step& step : script) {
        size_t n = step.send.size();
        if (n == 0) continue;
        cuts.insert(at);
        if (n > 1) {
            cuts.insert(at + 1);
            cuts.insert(at + n / 2);
            cuts.insert(at + n - 1);
        }
        if (step.kind == Step::kTail && n > kPiece) cuts.insert(at + kPiece + 1);
        at += n;
    }
    return std::vector<size_t>(cuts.begin(), cuts.end());
}

std::vector<std::string> Last(const std::vector<std::string>& lines, size_t n) {
    if (lines.size() <= n) return lines;
    return std::vector<std::string>(lines.end() - static_cast<long>(n), lines.end());
}

std::set<std::string> Listing(const std::string& dir) {
    std::set<std::string> names;
    std::error_code ec;
    for (auto& e : fs::directory_iterator(dir, ec)) names.insert(e.path().filename().string());
    return names;
}

// One run of blockmend-cli in a folder of its own ("side/" inside the
// case's scratch folder, which also gets the output files).
struct Side {
    std::string root, dir;
    std::string mode;  // original, copy or nothing
    std::string file;  // the local file (empty for nothing)
    CliPeer cli;
    ScriptedPeer peer;
};

std::vector<std::string> CliCommand(const std::vector<std::string>& args) {
    std::vector<std::string> all;
#if !defined(_WIN32) && !defined(__SANITIZE_ADDRESS__)
    // Nothing that a peer sends may make the program ask for more than
    // this: the largest buffer of these cases is one 64 KiB tail piece.
    if (FileExists("/usr/bin/prlimit")) all = {"/usr/bin/prlimit", "--as=" + std::to_string(64u << 20)};
#endif
    all.push_back(CliPath());
    all.insert(all.end(), args.begin(), args.end());
    return all;
}

// Starts the program as mode with local (the file's bytes, unused for
// nothing) and connects the peer to it; the program listens when listen.
bool StartSide(Side& s, const std::string& name, const std::string& mode, const std::string& local, bool listen,
               std::vector<std::string> extra = {}) {
    s.root = ScratchFolder("hostile-" + name);
    s.dir = s.root + "side/";
    s.mode = mode;
    fs::create_directories(s.dir);
    std::string path = s.dir;
    if (mode != "nothing") {
        s.file = local;
        path += mode == "original" ? "orig.bin" : "copy.bin";
        WriteFile(path, local);
        extra.insert(extra.end(), {"--log-dir", s.dir});
    }
    int port = NextPort();
    std::vector<std::string> args{mode, path};
    if (listen) args.insert(args.end(), {"--listen", "--port", std::to_string(port)});
    else args.insert(args.end(), {"--connect", "127.0.0.1", "--port", std::to_string(port)});
    args.insert(args.end(), extra.begin(), extra.end());
    if (listen) {
        if (!SpawnProcess(s.cli.process, CliCommand(args), s.root + "cli.out", s.root + "cli.err")) return false;
        return WaitForLine(s.cli, "接続待ち・・・", 20000) && PeerConnect(s.peer, port, 10000);
    }
    if (!PeerListen(s.peer, port)) return false;
    if (!SpawnProcess(s.cli.process, CliCommand(args), s.root + "cli.out", s.root + "cli.err")) return false;
    return PeerAccept(s.peer, 20000);
}

// Waits for the program's end and checks what every hostile case must
// show: exit status 1 within kQuickMs of the peer's last act, no crash
// report, nothing in the case's folder but the program's own folder and
// its output, nothing in that folder but allowed.
void FinishSide(Side& s, const std::set<std::string>& allowed) {
    FinishCli(s.cli, kQuickMs);
    EXPECT_EQ(s.cli.exitCode, 1) << s.cli.errors;
    EXPECT_EQ(s.cli.errors.find("Sanitizer"), std::string::npos) << s.cli.errors;
    EXPECT_EQ(s.cli.errors.find("terminate"), std::string::npos) << s.cli.errors;
    EXPECT_EQ(Listing(s.root), (std::set<std::string>{"side", "cli.out", "cli.err"}));
    for (const std::string& name : Listing(s.dir)) EXPECT_TRUE(allowed.count(name)) << "unexpected file " << name;
}

std::string LocalFile(const Side& s) { return ReadFile(s.dir + (s.mode == "original" ? "orig.bin" : "copy.bin")); }

const std::set<std::string> kOriginalFiles{"orig.bin", "log_server.dat"};
const std::set<std::string> kCopyFiles{"copy.bin", "log_client.dat"};

// The files of the cut and random cases: an original of four blocks and a
// tail of three pieces, a copy with two damaged blocks.
std::string OriginalBytes() { return RandomBytes(4 * kBlock + 2 * kPiece + 100, 7); }
std::string CopyBytes() {
    std::string copy = OriginalBytes().substr(0, 4 * kBlock);
    copy[kBlock + 10] ^= 0x55;
    copy[3 * kBlock + 4000] ^= 0x55;
    return copy;
}
}  // namespace

TEST(Hostile, ScriptsReachTheNormalEnd) {
    // The honest scripts the cases below break: each gives a whole transfer.
    {
        Side s;
        ASSERT_TRUE(StartSide(s, "honest-copy", "copy", CopyBytes(), true));
        Play(s.peer, OriginalPart(OriginalBytes(), CopyBytes()));
        FinishCli(s.cli, kQuickMs);
        EXPECT_EQ(s.cli.exitCode, 0);
        EXPECT_TRUE(LocalFile(s) == OriginalBytes());
    }
    {
        Side s;
        ASSERT_TRUE(StartSide(s, "honest-original", "original", OriginalBytes(), false));
        Play(s.peer, CopyPart(OriginalBytes(), CopyBytes()));
        FinishCli(s.cli, kQuickMs);
        EXPECT_EQ(s.cli.exitCode, 0);
        EXPECT_TRUE(HasLine(s.cli.lines, "修復が完了しました"));
    }
    {
        Side s;
        ASSERT_TRUE(StartSide(s, "honest-nothing", "nothing", "", true));
        Play(s.peer, WholeFilePart(OriginalBytes(), "r.bin"));
        FinishCli(s.cli, kQuickMs);
        EXPECT_EQ(s.cli.exitCode, 0);
        EXPECT_TRUE(ReadFile(s.dir + "r.bin") == OriginalBytes());
    }
}

TEST(Hostile, FileTypeWordsThatNameNoFileType) {
    int run = 0;
    for (uint32_t word : {0xFFFFFFFFu, 3u, 0x7FFFFFFFu}) {
        for (const char* mode : {"original", "copy", "nothing"}) {
            SCOPED_TRACE(std::string(mode) + " gets " + std::to_string(word));
            Side s;
            std::string local = std::string(mode) == "nothing" ? "" : RandomBytes(10000, 1);
            ASSERT_TRUE(StartSide(s, "type-" + std::to_string(run), mode, local, run % 2 == 0));
            ++run;
            Play(s.peer, {Receive(4), Send(Word(word))});
            FinishSide(s, std::string(mode) == "original" ? kOriginalFiles : kCopyFiles);
            EXPECT_EQ(Last(s.cli.lines, 3), kBadType);
            if (!local.empty()) {
                EXPECT_TRUE(LocalFile(s) == local);
            } else {
                EXPECT_TRUE(Listing(s.dir).empty());
            }
        }
    }
}

TEST(Hostile, EveryMessageToACopyCutShort) {
    const std::string original = OriginalBytes(), copy = CopyBytes();
    const Script script = OriginalPart(original, copy);
    int run = 0;
    for (size_t cut : CutPoints(script)) {
        if (cut == ScriptBytes(script)) continue;
        SCOPED_TRACE("cut after " + std::to_string(cut) + " bytes");
        Side s;
        ASSERT_TRUE(StartSide(s, "cut-copy-" + std::to_string(run), "copy", copy, run % 2 == 0));
        ++run;
        Play(s.peer, script, cut);
        FinishSide(s, kCopyFiles);
        EXPECT_EQ(Last(s.cli.lines, 3), kLost);
        EXPECT_TRUE(LocalFile(s) == FileAfterCut(copy, script, cut));
    }
    EXPECT_GE(run, 25);
}

TEST(Hostile, EveryMessageToAnOriginalCutShort) {
    const std::string original = OriginalBytes(), copy = CopyBytes();
    const Script script = CopyPart(original, copy);
    int run = 0;
    for (size_t cut : CutPoints(script)) {
        SCOPED_TRACE("cut after " + std::to_string(cut) + " bytes");
        Side s;
        ASSERT_TRUE(StartSide(s, "cut-original-" + std::to_string(run), "original", original, run % 2 == 0));
        ++run;
        Play(s.peer, script, cut);
        FinishSide(s, kOriginalFiles);
        EXPECT_EQ(Last(s.cli.lines, 3), kLost);
        EXPECT_TRUE(LocalFile(s) == original);
    }
    // A Nothing peer that never answers the name.
    for (size_t cut : {0, 2, 4}) {
        Side s;
        ASSERT_TRUE(StartSide(s, "cut-original-name-" + std::to_string(cut), "original", original, cut == 2));
        Play(s.peer, {Receive(4), Send(Word(2)), Receive(260)}, cut);
        FinishSide(s, kOriginalFiles);
        EXPECT_EQ(Last(s.cli.lines, 3), kLost);
    }
}

TEST(Hostile, EveryMessageToANothingSideCutShort) {
    const std::string original = OriginalBytes();
    const Script script = WholeFilePart(original, "r.bin");
    int run = 0;
    for (size_t cut : CutPoints(script)) {
        SCOPED_TRACE("cut after " + std::to_string(cut) + " bytes");
        Side s;
        ASSERT_TRUE(StartSide(s, "cut-nothing-" + std::to_string(run), "nothing", "", run % 2 == 0));
        ++run;
        Play(s.peer, script, cut);
        // The new file is made, empty, once its name is accepted; then it
        // gets every tail piece that arrived whole.
        bool named = cut >= 4 + 260;
        FinishSide(s, {"r.bin"});
        EXPECT_EQ(Last(s.cli.lines, 3), kLost);
        EXPECT_EQ(FileExists(s.dir + "r.bin"), named);
        if (named) {
            EXPECT_TRUE(ReadFile(s.dir + "r.bin") == FileAfterCut("", script, cut));
        }
    }
}

TEST(Hostile, SizeWordsThatContradictTheFlag) {
    const std::string copy = RandomBytes(10000, 3);
    struct Case {
        const char* what;
        std::string bytes;  // after the FileType word
        std::vector<std::string> ending;
    };
    const Case cases[] = {
        // "Equal" followed by a size anyway: the size is taken as the block size.
        {"flag 0 then a size", Byte(0) + Word(20000) + Word(kBlock), kBadBlockSize},
        {"flag 1 with the same size", Byte(1) + Word(10000) + Word(kBlock), kSizeError},
        {"flag 1 with a smaller size", Byte(1) + Word(9999) + Word(kBlock), kSizeError},
        {"flag 1 with size 0", Byte(1) + Word(0) + Word(kBlock), kSizeError},
        // Any non-zero flag means "differ"; a larger size then needs a tail,
        // which never comes.
        {"flag 0x80 with 4 GiB - 1", Byte(0x80) + Word(0xFFFFFFFFu) + Word(kBlock) + CrcList(copy, 10000), kLost},
    };
    int run = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Side s;
        ASSERT_TRUE(StartSide(s, "sizes-" + std::to_string(run), "copy", copy, run % 2 == 0));
        ++run;
        Play(s.peer, {Receive(4), Send(Word(0)), Receive(4), Send(c.bytes), Receive(CrcList(copy, 10000).size())});
        FinishSide(s, kCopyFiles);
        EXPECT_EQ(Last(s.cli.lines, 3), c.ending);
        EXPECT_TRUE(LocalFile(s) == copy);
    }
    // The Original side reads a size and no flag: a Copy that claims to be
    // longer, up to 4 GiB - 1, is refused.
    for (uint32_t size : {10001u, 0xFFFFFFFFu}) {
        Side s;
        ASSERT_TRUE(StartSide(s, "sizes-original-" + std::to_string(size), "original", copy, size == 10001u));
        Play(s.peer, {Receive(4), Send(Word(1) + Word(size)), Receive(9)});
        FinishSide(s, kOriginalFiles);
        EXPECT_EQ(Last(s.cli.lines, 3), kSizeError);
        EXPECT_TRUE(HasLine(s.cli.lines, "RemoteFileSize: " + std::to_string(size)));
    }
    // A Nothing side told 4 GiB - 1 bytes that never come keeps what came.
    Side s;
    ASSERT_TRUE(StartSide(s, "sizes-nothing", "nothing", "", true));
    Play(s.peer, {Receive(4), Send(Word(0) + NameRecord("r.bin")), Receive(1), Send(Word(0xFFFFFFFFu) + "abc")});
    FinishSide(s, {"r.bin"});
    EXPECT_EQ(Last(s.cli.lines, 3), kLost);
    EXPECT_TRUE(HasLine(s.cli.lines, "RemoteFileSize: 4294967295"));
    EXPECT_EQ(ReadFile(s.dir + "r.bin"), "");
}

TEST(Hostile, BlockSizeWordsOutsideTheThirteenSizes) {
    const std::string copy = RandomBytes(10000, 4);
    int run = 0;
    for (uint32_t size : {0u, 1u, 4095u, 4097u, (1u << 24) + 1, 1u << 31}) {
        SCOPED_TRACE(size);
        Side s;
        ASSERT_TRUE(StartSide(s, "block-size-" + std::to_string(run), "copy", copy, run % 2 == 0));
        ++run;
        Play(s.peer, {Receive(4), Send(Word(0)), Receive(4), Send(Byte(0) + Word(size)), Receive(4)});
        FinishSide(s, kCopyFiles);
        EXPECT_EQ(Last(s.cli.lines, 3), kBadBlockSize);
        EXPECT_TRUE(LocalFile(s) == copy);
    }
}

TEST(Hostile, UnsafeNamesAndARecordWithNoZero) {
    const std::string names[] = {
        "..", ".", "", "../x", "../../x", "..\\..\\x", "a/b", "a\\b", "/tmp/x", "C:\\x", "C:x",
        "CON", "con", "nul.txt", "PRN", "AUX.dat", "COM1", "lpt9.log", "x\x1b[2Jy", "tab\tname",
        std::string(255, 'n'),  // fits the record, not the folder's path
    };
    int run = 0;
    for (const std::string& name : names) {
        SCOPED_TRACE("name \"" + name + "\"");
        Side s;
        ASSERT_TRUE(StartSide(s, "name-" + std::to_string(run), "nothing", "", run % 2 == 0));
        ++run;
        std::string reply;
        ASSERT_TRUE(PeerReceive(s.peer, 4, &reply));
        ASSERT_TRUE(PeerSend(s.peer, Word(0) + NameRecord(name)));
        ASSERT_TRUE(PeerReceive(s.peer, 1, &reply));
        EXPECT_EQ(reply, Byte(0));
        Play(s.peer, {});
        FinishSide(s, {});
        EXPECT_EQ(Last(s.cli.lines, 3), (std::vector<std::string>{"処理を中断します。", "切断しました", ""}));
        EXPECT_TRUE(Listing(s.dir).empty());
        // Terminal control characters never reach the output.
        EXPECT_EQ(ReadFile(s.cli.process.outPath).find('\x1b'), std::string::npos);
        EXPECT_EQ(ReadFile(s.cli.process.outPath).find('\t'), std::string::npos);
    }
    EXPECT_FALSE(FileExists(ScratchFolder("hostile-probe") + "../x"));
    // A record of 260 non-zero bytes.
    Side s;
    ASSERT_TRUE(StartSide(s, "name-no-zero", "nothing", "", true));
    std::string reply;
    ASSERT_TRUE(PeerReceive(s.peer, 4, &reply));
    ASSERT_TRUE(PeerSend(s.peer, Word(0) + std::string(260, 'A')));
    ASSERT_TRUE(PeerReceive(s.peer, 1, &reply));
    EXPECT_EQ(reply, Byte(0));
    Play(s.peer, {});
    FinishSide(s, {});
    EXPECT_EQ(Last(s.cli.lines, 3)[0], "処理を中断します。");
    EXPECT_TRUE(Listing(s.dir).empty());
}

TEST(Hostile, RandomBytesAfterAValidHandshake) {
    // Whatever the bytes say, the program ends, with exit status 1 unless
    // they happen to make a whole transfer, and its file follows the rules
    // of its role.
    const std::set<std::string> failures{"相手との接続が切れました", "FileType が正しくありません。",
                                         "error: ファイルサイズが異なります", "ブロックサイズが正しくありません。",
                                         "修復に失敗したようです。"};
    const std::string original = RandomBytes(3 * kBlock + 100, 8), copy = RandomBytes(2 * kBlock, 9);
    for (uint32_t seed = 1; seed <= 4; ++seed) {
        const std::string noise = RandomBytes(300000, 1000 + seed);
        {
            SCOPED_TRACE("original, seed " + std::to_string(seed));
            Side s;
            ASSERT_TRUE(StartSide(s, "random-original-" + std::to_string(seed), "original", original, seed % 2 == 0));
            Play(s.peer, {Receive(4), Send(Word(1) + noise)});
            FinishSide(s, kOriginalFiles);
            ASSERT_GE(s.cli.lines.size(), 3u);
            EXPECT_TRUE(failures.count(s.cli.lines[s.cli.lines.size() - 3])) << s.cli.lines[s.cli.lines.size() - 3];
            EXPECT_TRUE(LocalFile(s) == original);
        }
        {
            SCOPED_TRACE("copy, seed " + std::to_string(seed));
            Side s;
            ASSERT_TRUE(StartSide(s, "random-copy-" + std::to_string(seed), "copy", copy, seed % 2 == 1));
            // A flag and a valid block size first, so that the noise reaches
            // the checksums, the repair and the tail.
            Play(s.peer, {Receive(4), Send(Word(0)), Receive(4), Send(Byte(1) + Word(5 * kBlock) + Word(kBlock) + noise)});
            FinishSide(s, kCopyFiles);
            ASSERT_GE(s.cli.lines.size(), 3u);
            EXPECT_TRUE(failures.count(s.cli.lines[s.cli.lines.size() - 3])) << s.cli.lines[s.cli.lines.size() - 3];
            // Blocks and tail come from the peer; the size never passes the
            // one announced.
            std::string now = LocalFile(s);
            EXPECT_LE(now.size(), 5 * kBlock);
            EXPECT_GE(now.size(), copy.size());
        }
        {
            SCOPED_TRACE("nothing, seed " + std::to_string(seed));
            Side s;
            ASSERT_TRUE(StartSide(s, "random-nothing-" + std::to_string(seed), "nothing", "", seed % 2 == 0));
            Play(s.peer, {Receive(4), Send(Word(0) + NameRecord("r.bin")), Receive(1), Send(noise)});
            // The first four bytes are the size, the rest the data.
            uint32_t size = WordAt(noise, 0);
            std::string data = noise.substr(4);
            FinishCli(s.cli, kQuickMs);
            if (size <= data.size()) {
                EXPECT_EQ(s.cli.exitCode, 0);
                EXPECT_TRUE(ReadFile(s.dir + "r.bin") == data.substr(0, size));
            } else {
                EXPECT_EQ(s.cli.exitCode, 1);
                EXPECT_EQ(Last(s.cli.lines, 3), kLost);
                EXPECT_TRUE(ReadFile(s.dir + "r.bin") == data.substr(0, data.size() / kPiece * kPiece));
            }
            EXPECT_EQ(Listing(s.dir), (std::set<std::string>{"r.bin"}));
        }
    }
}

#ifndef _WIN32
TEST(Hostile, StopWhileThePeerStallsEndsAtOnce) {
    // The peer goes silent in the middle of the checksums: the first Ctrl-C
    // ends the transfer as Stop does.
    const std::string copy = RandomBytes(3 * kBlock, 5);
    Side s;
    ASSERT_TRUE(StartSide(s, "stall", "copy", copy, true));
    std::string got;
    ASSERT_TRUE(PeerReceive(s.peer, 4, &got));
    ASSERT_TRUE(PeerSend(s.peer, Word(0)));
    ASSERT_TRUE(PeerReceive(s.peer, 4, &got));
    ASSERT_TRUE(PeerSend(s.peer, Byte(0) + Word(kBlock) + "\x01\x02"));
    ASSERT_TRUE(WaitForLine(s.cli, "CRCデータ受信中・・・", kQuickMs));
    SleepMs(100);
    kill(static_cast<pid_t>(s.cli.process.handle), SIGINT);
    FinishSide(s, kCopyFiles);
    EXPECT_EQ(Last(s.cli.lines, 3), (std::vector<std::string>{"CRCデータ受信中・・・", "切断しました", ""}));
    EXPECT_TRUE(LocalFile(s) == copy);
    PeerClose(s.peer);
}

// A client socket bound to from (a loopback address) and connected to port.
bool ConnectFrom(ScriptedPeer& peer, const char* from, int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    peer.sock.sock = fd;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = inet_addr(from);
    sockaddr_in remote{};
    remote.sin_family = AF_INET;
    remote.sin_port = htons(static_cast<uint16_t>(port));
    remote.sin_addr.s_addr = inet_addr("127.0.0.1");
    return bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0 &&
           connect(fd, reinterpret_cast<sockaddr*>(&remote), sizeof remote) == 0;
}

TEST(Hostile, AllowKeepsEveryOtherAddressOut) {
    const std::string original = RandomBytes(3 * kBlock, 6);
    for (const char* allowed : {"127.0.0.1", "127.0.0.2"}) {
        const char* other = std::string(allowed) == "127.0.0.1" ? "127.0.0.2" : "127.0.0.1";
        SCOPED_TRACE(std::string("allow ") + allowed);
        std::string root = ScratchFolder(std::string("hostile-allow-") + allowed);
        WriteFile(root + "orig.bin", original);
        int port = NextPort();
        CliPeer cli;
        ASSERT_TRUE(SpawnProcess(cli.process,
                                 CliCommand({"original", root + "orig.bin", "--listen", "--port", std::to_string(port),
                                             "--allow", allowed, "--log-dir", root}),
                                 root + "cli.out", root + "cli.err"));
        ASSERT_TRUE(WaitForLine(cli, "接続待ち・・・", 20000));
        // Others are closed at once, before a byte is sent, however often
        // they try; the side goes on waiting.
        for (int attempt = 0; attempt < 3; ++attempt) {
            ScriptedPeer intruder;
            ASSERT_TRUE(ConnectFrom(intruder, other, port));
            std::string got;
            EXPECT_TRUE(PeerReceiveUntilClosed(intruder, &got, kQuickMs));
            EXPECT_EQ(got, "");
            PeerClose(intruder);
        }
        EXPECT_EQ(CliLines(cli), (std::vector<std::string>{"接続待ち・・・"}));
        EXPECT_EQ(WaitProcess(cli.process, 0), -1);  // still running
        ScriptedPeer peer;
        ASSERT_TRUE(ConnectFrom(peer, allowed, port));
        Play(peer, CopyPart(original, original));
        FinishCli(cli, kQuickMs);
        EXPECT_EQ(cli.exitCode, 0);
        EXPECT_EQ(cli.lines[1], "接続完了");
        EXPECT_TRUE(HasLine(cli.lines, "CRCは全て一致しています。"));
    }
    // --allow belongs to a listening side and takes a numeric address.
    std::string root = ScratchFolder("hostile-allow-usage");
    for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
             {"original", root + "x", "--connect", "127.0.0.1", "--allow", "127.0.0.1"},
             {"original", root + "x", "--listen", "--allow", "localhost"},
             {"original", root + "x", "--listen", "--allow"}}) {
        CliPeer cli;
        StartCli(cli, root, "usage", args);
        FinishCli(cli);
        EXPECT_EQ(cli.exitCode, 2);
    }
}
#endif
