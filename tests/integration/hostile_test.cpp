// blockmend-cli against a hostile peer: a scripted peer that plays the other
// side byte by byte and breaks the protocol wherever the program reads from
// the wire (words that name no FileType, every message cut short, sizes and
// block sizes that make no sense, unsafe names, random bytes), stalls, and
// the --allow filter of a listening side. Every case checks the status lines,
// the exit status, the local file and the folder around it; the program runs
// under a memory limit where the system has prlimit. The test thread plays
// the peer; the program is a child process.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <set>

#include "platform/thread.h"
#include "tests/support/fixtures.h"
#include "tests/support/peer.h"
#include "tests/support/wire_script.h"

#ifdef _WIN32
#include <winsock2.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {
constexpr int kQuickMs = 5000;  // a side that must end "at once"

const std::vector<std::string> kLost{"相手との接続が切れました", "切断しました", ""};
const std::vector<std::string> kBadType{"FileType が正しくありません。", "切断しました", ""};
const std::vector<std::string> kBadBlockSize{"ブロックサイズが正しくありません。", "切断しました", ""};
const std::vector<std::string> kSizeError{"error: ファイルサイズが異なります", "切断しました", ""};
const std::vector<std::string> kBadSize{"ファイルサイズが正しくありません。", "切断しました", ""};

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
    CliPeer cli;
    ScriptedPeer peer;
};

// Nothing that a peer sends may make the program ask for more than 64 MiB
// of address space; its own buffers take a few MiB. AddressSanitizer needs
// terabytes of address space, so there its allocator's own cap stands in.
#if defined(__SANITIZE_ADDRESS__) && !defined(_WIN32)
const bool kAllocationCapForChildren = [] {
    const char* options = getenv("ASAN_OPTIONS");
    std::string all = options ? std::string(options) + ":" : std::string();
    // A nothrow allocation beyond the cap returns null, as it would without
    // the sanitizer, instead of ending the process.
    setenv("ASAN_OPTIONS", (all + "max_allocation_size_mb=64:allocator_may_return_null=1").c_str(), 1);
    return true;
}();
#endif

std::vector<std::string> CliCommand(const std::vector<std::string>& args) {
    std::vector<std::string> all;
#if !defined(_WIN32) && !defined(__SANITIZE_ADDRESS__)
    if (FileExists("/usr/bin/prlimit")) all = {"/usr/bin/prlimit", "--as=" + std::to_string(64u << 20)};
#endif
    all.push_back(CliPath());
    all.insert(all.end(), args.begin(), args.end());
    return all;
}

// Starts the program as mode with local (the file's bytes, unused for
// nothing; with sparseSize, a file of zeros of that size instead) and
// connects the peer to it; the program listens when listen, and
// beforePeer runs once it does, before the peer connects.
bool StartSide(Side& s, const std::string& name, const std::string& mode, const std::string& local, bool listen,
               const std::vector<std::string>& extra = {}, uint64_t sparseSize = 0,
               const std::function<void()>& beforePeer = nullptr) {
    s.root = ScratchFolder("hostile-" + name);
    s.dir = s.root + "side/";
    s.mode = mode;
    fs::create_directories(s.dir);
    std::string path = s.dir;
    int port = NextPort();
    std::vector<std::string> args{mode, path};
    if (mode != "nothing") {
        args[1] = path += mode == "original" ? "orig.bin" : "copy.bin";
        if (sparseSize == 0) WriteFile(path, local);
        else if (!MakeSparseFile(path, sparseSize, {})) return false;
        args.insert(args.end(), {"--log-dir", s.dir});
    }
    if (listen) args.insert(args.end(), {"--listen", "--port", std::to_string(port)});
    else args.insert(args.end(), {"--connect", "127.0.0.1", "--port", std::to_string(port)});
    args.insert(args.end(), extra.begin(), extra.end());
    if (listen) {
        if (!SpawnProcess(s.cli.process, CliCommand(args), s.root + "cli.out", s.root + "cli.err")) return false;
        if (!WaitForLine(s.cli, "接続待ち・・・", 20000)) return false;
        if (beforePeer) beforePeer();
        return PeerConnect(s.peer, port, 10000);
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
    // A sanitizer error (a warning that a capped allocation failed is the cap at work).
    EXPECT_EQ(s.cli.errors.find("ERROR: AddressSanitizer"), std::string::npos) << s.cli.errors;
    EXPECT_EQ(s.cli.errors.find("runtime error"), std::string::npos) << s.cli.errors;
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
    // The honest scripts the cases below break: each gives a whole transfer,
    // in either protocol.
    for (int protocol : {1, 2}) {
        const std::string p = std::to_string(protocol);
        SCOPED_TRACE("protocol " + p);
        {
            Side s;
            ASSERT_TRUE(StartSide(s, "honest-copy-" + p, "copy", CopyBytes(), true));
            Play(s.peer, OriginalPart(OriginalBytes(), CopyBytes(), protocol));
            FinishCli(s.cli, kQuickMs);
            EXPECT_EQ(s.cli.exitCode, 0);
            EXPECT_TRUE(LocalFile(s) == OriginalBytes());
        }
        {
            Side s;
            ASSERT_TRUE(StartSide(s, "honest-original-" + p, "original", OriginalBytes(), false));
            Play(s.peer, CopyPart(OriginalBytes(), CopyBytes(), protocol));
            FinishCli(s.cli, kQuickMs);
            EXPECT_EQ(s.cli.exitCode, 0);
            EXPECT_TRUE(HasLine(s.cli.lines, "修復が完了しました"));
        }
        {
            Side s;
            ASSERT_TRUE(StartSide(s, "honest-nothing-" + p, "nothing", "", true));
            Play(s.peer, WholeFilePart(OriginalBytes(), "r.bin", protocol));
            FinishCli(s.cli, kQuickMs);
            EXPECT_EQ(s.cli.exitCode, 0);
            EXPECT_TRUE(ReadFile(s.dir + "r.bin") == OriginalBytes());
        }
    }
}

TEST(Hostile, APeerOfProtocol1SeesProtocol1InEveryPairing) {
    // Each FileType and role against a peer that speaks only protocol 1:
    // what the program shows, sends, writes and logs is what it does with
    // --protocol 1, except its FileType word. That offers protocol 2 from a
    // connecting Original or Copy; a listening side has read the peer's
    // plain word first and offers only to a Nothing side, whose word can
    // carry no offer (its answer comes in the name reply). Both warn that
    // protocol 1 proves nothing. With --protocol 2 the side refuses such a
    // peer instead, before any file data moves or any file is made.
    const std::string original = OriginalBytes(), copy = CopyBytes();
    const char* kModes[] = {"original", "copy", "nothing"};
    enum { kOriginal, kCopy, kNothing };
    int run = 0;
    for (int own = 0; own < 3; ++own) {
        for (int peerType = 0; peerType < 3; ++peerType) {
            for (bool listen : {true, false}) {
                SCOPED_TRACE(std::string(kModes[own]) + (listen ? " listening" : " connecting") + " to " +
                             kModes[peerType]);
                const bool valid = (own == kOriginal) != (peerType == kOriginal);
                Script script{Send(Word(static_cast<uint32_t>(peerType))), Receive(4)};
                if (valid && own == kOriginal) script = peerType == kCopy ? CopyPart(original, copy) : NothingPart(original);
                if (valid && own == kCopy) script = OriginalPart(original, copy);
                if (valid && own == kNothing) script = WholeFilePart(original, "r.bin");
                struct Outcome {
                    std::vector<std::string> lines;
                    int exitCode = -1;
                    std::string sent, file, log;
                    std::string errors;
                } outcome[3];
                // 0: the default, 1: --protocol 1, 2: --protocol 2.
                for (int limit = 0; limit < 3; ++limit) {
                    Side s;
                    const std::string local = own == kOriginal ? original : own == kCopy ? copy : "";
                    std::vector<std::string> extra;
                    if (limit > 0) extra = {"--protocol", std::to_string(limit)};
                    ASSERT_TRUE(StartSide(s, "literal-" + std::to_string(run++), kModes[own], local, listen, extra));
                    Outcome& o = outcome[limit];
                    Play(s.peer, script, SIZE_MAX, 5000, &o.sent);
                    FinishCli(s.cli, kQuickMs);
                    o.lines = s.cli.lines;
                    o.exitCode = s.cli.exitCode;
                    o.errors = s.cli.errors;
                    o.file = own == kNothing ? (FileExists(s.dir + "r.bin") ? ReadFile(s.dir + "r.bin") : "-")
                                             : LocalFile(s);
                    const std::string log = s.dir + (own == kOriginal ? "log_server.dat" : "log_client.dat");
                    o.log = FileExists(log) ? ReadFile(log) : "-";
                }
                for (int limit = 0; limit < 2; ++limit)
                    EXPECT_EQ(outcome[limit].errors.find("protocol 1") != std::string::npos, valid) << outcome[limit].errors;
                const Outcome& strict = outcome[2];
                EXPECT_EQ(strict.exitCode, 1);
                EXPECT_EQ(strict.errors.find("protocol 1"), std::string::npos) << strict.errors;
                if (valid) {
                    EXPECT_EQ(Last(strict.lines, 3),
                              (std::vector<std::string>{"相手はプロトコル2に対応していません", "切断しました", ""}));
                    // Its word, and an Original's name record for a Nothing side: no file data.
                    EXPECT_LE(strict.sent.size(), own == kOriginal && peerType == kNothing ? 264u : 4u);
                    EXPECT_TRUE(strict.file == (own == kNothing ? "-" : own == kOriginal ? original : copy));
                } else {
                    EXPECT_EQ(Last(strict.lines, 3), kBadType);
                }
                EXPECT_EQ(outcome[0].lines, outcome[1].lines);
                EXPECT_EQ(outcome[0].exitCode, outcome[1].exitCode);
                EXPECT_EQ(outcome[0].exitCode, valid ? 0 : 1);
                EXPECT_TRUE(outcome[0].file == outcome[1].file);
                EXPECT_EQ(outcome[0].log, outcome[1].log);
                ASSERT_GE(outcome[0].sent.size(), 4u);
                EXPECT_EQ(outcome[0].sent.size(), outcome[1].sent.size());
                EXPECT_TRUE(outcome[0].sent.substr(4) == outcome[1].sent.substr(4));
                EXPECT_EQ(outcome[1].sent.substr(0, 4), Word(static_cast<uint32_t>(own)));
                const bool offers = own != kNothing && (!listen || (own == kOriginal && peerType == kNothing));
                // An Original's offer also says that it can continue a
                // partial file.
                EXPECT_EQ(outcome[0].sent.substr(0, 4),
                          offers ? OfferWord2(own, own == kOriginal ? 0x10 : 0) : Word(static_cast<uint32_t>(own)));
                if (valid) {
                    EXPECT_TRUE(HasLine(outcome[0].lines, "切断しました"));
                    EXPECT_FALSE(HasLine(outcome[0].lines, "プロトコル2 (XXH3) で転送します"));
                } else {
                    EXPECT_EQ(Last(outcome[0].lines, 3), kBadType);
                }
            }
        }
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
            Play(s.peer, {Send(Word(word)), Receive(4)});
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

// Plays the script of each protocol against a side of mode holding local,
// cut at every cut point; check(side, script, cut) looks at what is left.
// Returns the number of runs.
template <typename Check>
int CutEveryMessage(const std::string& name, const std::string& mode, const std::string& local,
                    Script (*script)(int protocol), bool wholeScriptToo, Check check) {
    int run = 0;
    for (int protocol : {1, 2}) {
        const Script played = script(protocol);
        for (size_t cut : CutPoints(played)) {
            if (!wholeScriptToo && cut == ScriptBytes(played)) continue;
            SCOPED_TRACE("protocol " + std::to_string(protocol) + ", cut after " + std::to_string(cut) + " bytes");
            Side s;
            if (!StartSide(s, name + std::to_string(run), mode, local, run % 2 == 0)) {
                ADD_FAILURE() << "cannot start the side";
                return run;
            }
            ++run;
            Play(s.peer, played, cut);
            check(s, played, cut);
            EXPECT_EQ(Last(s.cli.lines, 3), kLost);
        }
    }
    return run;
}

TEST(Hostile, EveryMessageToACopyCutShort) {
    const int runs = CutEveryMessage(
        "cut-copy-", "copy", CopyBytes(), [](int p) { return OriginalPart(OriginalBytes(), CopyBytes(), p); }, false,
        [](Side& s, const Script& script, size_t cut) {
            FinishSide(s, kCopyFiles);
            EXPECT_TRUE(LocalFile(s) == FileAfterCut(CopyBytes(), script, cut));
        });
    EXPECT_GE(runs, 50);
}

TEST(Hostile, EveryMessageToAnOriginalCutShort) {
    const std::string original = OriginalBytes();
    CutEveryMessage("cut-original-", "original", original,
                    [](int p) { return CopyPart(OriginalBytes(), CopyBytes(), p); }, true,
                    [&original](Side& s, const Script&, size_t) {
                        FinishSide(s, kOriginalFiles);
                        EXPECT_TRUE(LocalFile(s) == original);
                    });
    // A Nothing peer that never answers the name.
    for (size_t cut : {0, 2, 4}) {
        Side s;
        ASSERT_TRUE(StartSide(s, "cut-original-name-" + std::to_string(cut), "original", original, cut == 2));
        Play(s.peer, {Send(Word(2)), Receive(4), Receive(260)}, cut);
        FinishSide(s, kOriginalFiles);
        EXPECT_EQ(Last(s.cli.lines, 3), kLost);
    }
}

TEST(Hostile, EveryMessageToANothingSideCutShort) {
    CutEveryMessage("cut-nothing-", "nothing", "", [](int p) { return WholeFilePart(OriginalBytes(), "r.bin", p); },
                    true, [](Side& s, const Script& script, size_t cut) {
                        // The partial file is made, empty, once the name is
                        // accepted; then it gets every tail piece that
                        // arrived whole. The name itself is never made.
                        FinishSide(s, {"r.bin.blockmend-part"});
                        bool named = cut >= 4 + 260;
                        EXPECT_EQ(FileExists(s.dir + "r.bin.blockmend-part"), named);
                        if (named) {
                            EXPECT_TRUE(ReadFile(s.dir + "r.bin.blockmend-part") == FileAfterCut("", script, cut));
                        }
                    });
}

TEST(Hostile, AWholeFileCutShortIsKeptApartAndContinued) {
    // A Nothing side whose Original stops in the middle of the file, or just
    // before the digest that proves it: nothing appears under the file's
    // name (an older file of that name, to be overwritten, stays as it was),
    // the partial file keeps every piece that arrived whole, and the next
    // transfer of that name sends only what the partial file lacks, or what
    // differs when the Original changed meanwhile.
    const std::string original = OriginalBytes();
    std::string changed = original.substr(0, original.size() - 1000);  // shorter, one block new
    changed[kBlock + 5] ^= 0x40;
    const Script whole = WholeFilePart(original, "r.bin", 2);
    const size_t head = 4 + 260 + 8;  // the word, the name record, the size
    struct Case {
        const char* what;
        size_t cut;
        bool older;  // an older r.bin is there, and --overwrite given
        const std::string& rerun;  // the Original of the next transfer
    };
    const Case cases[] = {
        {"in the first piece", head + 1000, false, original},
        {"past the first piece, over an older file", head + kPiece + 10, true, original},
        {"before the digest, over an older file", ScriptBytes(whole) - 16, true, original},
        {"before the digest, and the Original changed", ScriptBytes(whole) - 16, false, changed},
    };
    int run = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Side s;
        ASSERT_TRUE(StartSide(s, "resume-" + std::to_string(run), "nothing", "", run % 2 == 0,
                              c.older ? std::vector<std::string>{"--overwrite"} : std::vector<std::string>{}));
        ++run;
        if (c.older) WriteFile(s.dir + "r.bin", "older");
        Play(s.peer, whole, c.cut);
        FinishSide(s, {"r.bin", "r.bin.blockmend-part"});
        EXPECT_EQ(Last(s.cli.lines, 3), kLost);
        EXPECT_EQ(FileExists(s.dir + "r.bin") ? ReadFile(s.dir + "r.bin") : "none", c.older ? "older" : "none");
        const std::string kept = FileAfterCut("", whole, c.cut);
        ASSERT_TRUE(ReadFile(s.dir + "r.bin.blockmend-part") == kept);

        WriteFile(s.root + "r.bin", c.rerun);
        const std::string port = std::to_string(NextPort());
        CliPeer o, n;
        RunPair(o, {"original", s.root + "r.bin", "--listen", "--port", port, "--log-dir", s.root}, n,
                {"nothing", s.dir, "--connect", "127.0.0.1", "--port", port, "--overwrite", "--log-dir", s.root},
                s.root);
        EXPECT_EQ(n.exitCode, 0) << n.errors;
        // An empty partial file is simply started afresh.
        const bool longer = c.rerun.size() > kept.size();
        const std::string rest = std::to_string(longer ? c.rerun.size() - kept.size() : 0);
        const std::string sent = kept.empty() ? "データを送信中・・・" : "サイズ相違部分のデータを送信中・・・";
        EXPECT_EQ(HasLine(n.lines, "前回の続きから受信します (受信済み: " + std::to_string(kept.size()) + " バイト)"),
                  !kept.empty());
        EXPECT_EQ(HasLine(o.lines, "相手は前回の続きから受信します"), !kept.empty());
        EXPECT_EQ(HasLine(o.lines, sent + rest + " / " + rest + " (100%)"), longer);
        EXPECT_EQ(HasLine(o.lines, "修復が完了しました"), &c.rerun == &changed);
        EXPECT_TRUE(ReadFile(s.dir + "r.bin") == c.rerun);
        EXPECT_FALSE(FileExists(s.dir + "r.bin.blockmend-part"));
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
        Play(s.peer, {Send(Word(0)), Receive(4), Receive(4), Send(c.bytes), Receive(CrcList(copy, 10000).size())});
        FinishSide(s, kCopyFiles);
        EXPECT_EQ(Last(s.cli.lines, 3), c.ending);
        EXPECT_TRUE(LocalFile(s) == copy);
    }
    // The Original side reads a size and no flag: a Copy that claims to be
    // longer, up to 4 GiB - 1, is refused.
    for (uint32_t size : {10001u, 0xFFFFFFFFu}) {
        Side s;
        ASSERT_TRUE(StartSide(s, "sizes-original-" + std::to_string(size), "original", copy, size == 10001u));
        Play(s.peer, {Send(Word(1) + Word(size)), Receive(4), Receive(9)});
        FinishSide(s, kOriginalFiles);
        EXPECT_EQ(Last(s.cli.lines, 3), kSizeError);
        EXPECT_TRUE(HasLine(s.cli.lines, "RemoteFileSize: " + std::to_string(size)));
    }
    // A Nothing side told 4 GiB - 1 bytes that never come keeps what came.
    Side s;
    ASSERT_TRUE(StartSide(s, "sizes-nothing", "nothing", "", true));
    Play(s.peer, {Send(Word(0) + NameRecord("r.bin")), Receive(4), Receive(1), Send(Word(0xFFFFFFFFu) + "abc")});
    FinishSide(s, {"r.bin.blockmend-part"});
    EXPECT_EQ(Last(s.cli.lines, 3), kLost);
    EXPECT_TRUE(HasLine(s.cli.lines, "RemoteFileSize: 4294967295"));
    EXPECT_EQ(ReadFile(s.dir + "r.bin.blockmend-part"), "");
}

TEST(Hostile, Protocol2SizesBeyondTheFileAndBlockSizesOutOfRange) {
    // The 64-bit words of protocol 2 up to their largest values: nothing is
    // made or kept for a size that the peer only announces.
    const std::string copy = RandomBytes(10000, 3);
    const std::string sameList = CrcList(copy, 10000, 2);
    struct Case {
        const char* what;
        std::string bytes;  // after the FileType word and the Copy's size
        std::vector<std::string> ending;
    };
    const Case cases[] = {
        {"block size 4097", Byte(0) + Word(4097), kBadBlockSize},
        {"block size 2^31", Byte(0) + Word(1u << 31), kBadBlockSize},
        {"flag 1 with the same size", Byte(1) + SizeWord(10000, 2) + Word(kBlock), kSizeError},
        {"flag 1 with 2^63 - 1 and a tail that never comes",
         Byte(1) + SizeWord(0x7FFFFFFFFFFFFFFFull, 2) + Word(kBlock) + sameList + "abc", kLost},
        {"flag 1 with 2^63", Byte(1) + SizeWord(1ull << 63, 2) + Word(kBlock) + sameList + "abc", kBadSize},
        {"flag 1 with 2^64 - 1", Byte(1) + SizeWord(~0ull, 2) + Word(kBlock) + sameList + "abc", kBadSize},
    };
    int run = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Side s;
        ASSERT_TRUE(StartSide(s, "sizes2-" + std::to_string(run), "copy", copy, run % 2 == 0));
        ++run;
        Play(s.peer, {Send(OfferWord2(0)), Receive(4), Receive(8), Send(c.bytes), Receive(sameList.size())});
        FinishSide(s, kCopyFiles);
        EXPECT_EQ(Last(s.cli.lines, 3), c.ending);
        EXPECT_TRUE(LocalFile(s) == copy);
    }
    // An Original told of a Copy of more than any file can hold (refused
    // where it is read, before any answer), and a Nothing side told of a
    // file of 2^63 - 1 bytes that never comes.
    {
        Side s;
        ASSERT_TRUE(StartSide(s, "sizes2-original", "original", copy, true));
        std::string answer;
        Play(s.peer, {Send(OfferWord2(1) + SizeWord(~0ull, 2)), Receive(4), Receive(13)}, SIZE_MAX, 5000, &answer);
        FinishSide(s, kOriginalFiles);
        EXPECT_EQ(Last(s.cli.lines, 3), kBadSize);
        EXPECT_EQ(answer.size(), 4u);  // its word, and no answer to the size
    }
    Side s;
    ASSERT_TRUE(StartSide(s, "sizes2-nothing", "nothing", "", false));
    Play(s.peer, {Send(OfferWord2(0)), Receive(4), Send(NameRecord("r.bin")), Receive(1),
                  Send(SizeWord(0x7FFFFFFFFFFFFFFFull, 2) + "abc")});
    FinishSide(s, {"r.bin.blockmend-part"});
    EXPECT_EQ(Last(s.cli.lines, 3), kLost);
    EXPECT_TRUE(HasLine(s.cli.lines, "RemoteFileSize: 9223372036854775807"));
    EXPECT_EQ(ReadFile(s.dir + "r.bin.blockmend-part"), "");
}

TEST(Hostile, TheWholeFileDigestHasTheLastWord) {
    // The whole-file digest of protocol 2 is the last word: whatever the
    // blocks said, a digest that does not match ends both sides with the
    // failure line and exit status 1.
    const std::string original = OriginalBytes(), copy = CopyBytes();
    const std::vector<std::string> kFailed{"修復に失敗したようです。", "切断しました", ""};
    {
        SCOPED_TRACE("an Original that sends a wrong digest");
        Script script = OriginalPart(original, copy, 2);
        script[script.size() - 2].send[5] ^= 1;
        Side s;
        ASSERT_TRUE(StartSide(s, "digest-to-copy", "copy", copy, true));
        Play(s.peer, script);
        FinishSide(s, kCopyFiles);
        EXPECT_EQ(Last(s.cli.lines, 3), kFailed);
        EXPECT_TRUE(HasLine(s.cli.lines, "修復が完了しました"));
    }
    {
        SCOPED_TRACE("a Copy that sends a wrong digest");
        Script script = CopyPart(original, copy, 2);
        script.back().send[0] ^= 1;
        Side s;
        ASSERT_TRUE(StartSide(s, "digest-to-original", "original", original, false));
        Play(s.peer, script);
        FinishSide(s, kOriginalFiles);
        EXPECT_EQ(Last(s.cli.lines, 3), kFailed);
    }
    for (bool inDamagedBlock : {false, true}) {
        // Another program writes the copy after its checksum pass: in a
        // block that matched, which the transfer leaves as it is, or in a
        // damaged one, which the repair then rewrites. The end reads the
        // whole file again and says which.
        SCOPED_TRACE(inDamagedBlock ? "copy changed in a damaged block" : "copy changed in a block that matched");
        const Script script = OriginalPart(original, copy, 2);
        Side s;
        ASSERT_TRUE(StartSide(s, std::string("digest-changed-") + (inDamagedBlock ? "1" : "0"), "copy", copy, true));
        const size_t at = inDamagedBlock ? kBlock + 11 : 2 * kBlock + 5;
        const std::string originalList = CrcList(original, copy.size(), 2);
        std::string got;
        bool played = true;
        for (size_t i = 0; i < script.size() && played; ++i) {
            const Step& step = script[i];
            if (step.receive > 0) {
                played = PeerReceive(s.peer, step.receive, &got);
                continue;
            }
            if (step.send == originalList) {
                // The Copy's pass is over and it waits for this list, with
                // its file closed.
                ASSERT_TRUE(WaitForLine(s.cli, "CRCデータ受信中・・・", kQuickMs));
                std::string now = LocalFile(s);
                now[at] ^= 0x01;
                WriteFile(s.dir + "copy.bin", now);
            }
            played = PeerSend(s.peer, step.send);
        }
        EXPECT_TRUE(played);
        PeerClose(s.peer);
        if (inDamagedBlock) {
            FinishCli(s.cli, kQuickMs);
            EXPECT_EQ(s.cli.exitCode, 0);
            EXPECT_TRUE(LocalFile(s) == original);
        } else {
            FinishSide(s, kCopyFiles);
            EXPECT_EQ(Last(s.cli.lines, 3), kFailed);
            EXPECT_FALSE(LocalFile(s) == original);
        }
    }
}

// The Original's block size sets how many blocks the Copy's first pass
// holds. A pass that cannot fit in memory (here: under the cap of 64 MiB,
// or beyond a 32-bit address space) is refused before it starts, with the
// smallest block size at which it would fit; at that size the pass starts.
TEST(Hostile, APassThatCannotFitNamesABlockSizeThatFits) {
#ifdef _WIN32
    const uint64_t size = 1ull << 43;  // 2^31 blocks of 4096 bytes
#else
    const uint64_t size = 1ull << 32;  // 2^20 blocks, some 100 MiB at their peak
#endif
    uint32_t named = 0;
    for (uint32_t blockSize : {kBlock, 0u}) {
        const uint32_t asked = blockSize != 0 ? blockSize : named;
        SCOPED_TRACE("block size " + std::to_string(asked));
        Side s;
        ASSERT_TRUE(StartSide(s, "memory-" + std::to_string(asked), "copy", "", true, {}, size));
        const Script script{Send(OfferWord2(0)), Receive(4), Receive(8), Send(Byte(0) + Word(asked))};
        if (blockSize == 0) {
            for (const Step& step : script) {
                std::string got;
                if (step.receive > 0) ASSERT_TRUE(PeerReceive(s.peer, step.receive, &got));
                else ASSERT_TRUE(PeerSend(s.peer, step.send));
            }
            // The pass begins; it is not waited for.
            EXPECT_TRUE(WaitForLine(s.cli, "Devide Size = " + std::to_string(asked), kQuickMs));
            KillProcess(s.cli.process);
            PeerClose(s.peer);
            break;
        }
        Play(s.peer, script);
        FinishSide(s, kCopyFiles);
        ASSERT_GE(s.cli.lines.size(), 3u);
        const std::string line = s.cli.lines[s.cli.lines.size() - 3];
        const std::string prefix = "メモリが足りません。ブロックサイズを ";
        ASSERT_EQ(line.rfind(prefix, 0), 0u) << ToUtf8(line);
        named = static_cast<uint32_t>(strtoul(line.c_str() + prefix.size(), nullptr, 10));
        EXPECT_GT(named, kBlock);
        EXPECT_EQ(named & (named - 1), 0u);
        EXPECT_EQ(s.cli.errors.find("bad_alloc"), std::string::npos);
    }
}

TEST(Hostile, BlockSizeWordsOutsideTheThirteenSizes) {
    const std::string copy = RandomBytes(10000, 4);
    int run = 0;
    for (uint32_t size : {0u, 1u, 4095u, 4097u, (1u << 24) + 1, 1u << 31}) {
        SCOPED_TRACE(size);
        Side s;
        ASSERT_TRUE(StartSide(s, "block-size-" + std::to_string(run), "copy", copy, run % 2 == 0));
        ++run;
        Play(s.peer, {Send(Word(0)), Receive(4), Receive(4), Send(Byte(0) + Word(size)), Receive(4)});
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
        ASSERT_TRUE(PeerSend(s.peer, Word(0) + NameRecord(name)));
        ASSERT_TRUE(PeerReceive(s.peer, 4, &reply));
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
    ASSERT_TRUE(PeerSend(s.peer, Word(0) + std::string(260, 'A')));
    ASSERT_TRUE(PeerReceive(s.peer, 4, &reply));
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
            Play(s.peer, {Send(Word(1) + noise), Receive(4)});
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
            Play(s.peer, {Send(Word(0)), Receive(4), Receive(4), Send(Byte(1) + Word(5 * kBlock) + Word(kBlock) + noise)});
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
            Play(s.peer, {Send(Word(0) + NameRecord("r.bin")), Receive(4), Receive(1), Send(noise)});
            // The first four bytes are the size, the rest the data.
            uint32_t size = WordAt(noise, 0);
            std::string data = noise.substr(4);
            FinishCli(s.cli, kQuickMs);
            const bool whole = size <= data.size();
            const std::string kept = whole ? "r.bin" : "r.bin.blockmend-part";
            if (whole) {
                EXPECT_EQ(s.cli.exitCode, 0);
                EXPECT_TRUE(ReadFile(s.dir + kept) == data.substr(0, size));
            } else {
                EXPECT_EQ(s.cli.exitCode, 1);
                EXPECT_EQ(Last(s.cli.lines, 3), kLost);
                EXPECT_TRUE(ReadFile(s.dir + kept) == data.substr(0, data.size() / kPiece * kPiece));
            }
            EXPECT_EQ(Listing(s.dir), (std::set<std::string>{kept}));
        }
    }
}

// A connection that never sends its first message (a port scan, a stray
// client, a listener that accepts and says nothing) is given up after 30 s,
// on either role; a peer that has spoken and then goes quiet for longer
// (a slow disk's checksum pass) is waited for. All three run at once.
TEST(Hostile, OnlyAPeerThatNeverSpeaksIsGivenUp) {
    const std::vector<std::string> kSilent{"相手から30秒間応答がありませんでした", "切断しました", ""};
    Side listening, connecting, slow;
    ASSERT_TRUE(StartSide(listening, "silent-listen", "original", OriginalBytes(), true));
    ASSERT_TRUE(StartSide(connecting, "silent-connect", "copy", CopyBytes(), false));
    ASSERT_TRUE(StartSide(slow, "slow", "copy", CopyBytes(), true));
    const Script script = OriginalPart(OriginalBytes(), CopyBytes());
    ASSERT_GE(script.size(), 3u);
    ASSERT_TRUE(script[1].receive > 0 && script[2].receive > 0);  // its word, then the Copy's word and size
    ASSERT_TRUE(PeerSend(slow.peer, script[0].send));
    std::string got;
    ASSERT_TRUE(PeerReceive(slow.peer, script[1].receive + script[2].receive, &got));
    const uint64_t started = MonotonicMilliseconds();
    for (Side* s : {&listening, &connecting}) {
        FinishCli(s->cli, 40000);
        EXPECT_EQ(s->cli.exitCode, 1);
        EXPECT_EQ(Last(s->cli.lines, 3), kSilent);
    }
    EXPECT_GE(MonotonicMilliseconds() - started, 25000u);
    SleepMs(6000);  // the slow peer's silence outlasts the limit
    Play(slow.peer, Script(script.begin() + 3, script.end()));
    FinishCli(slow.cli, kQuickMs);
    EXPECT_EQ(slow.cli.exitCode, 0);
    EXPECT_TRUE(LocalFile(slow) == OriginalBytes());
    PeerClose(listening.peer);
    PeerClose(connecting.peer);
}

#ifndef _WIN32
// A write through a shared memory map to a page that is already dirty
// changes no time stamp, so only reading the file again at the end can see
// it. The write comes after the repair, while the peer holds back its
// verification; without --verify-all the changed copy passes (the row that shows
// that the write really goes unseen by the stamp, unless the kernel wrote the
// page back meanwhile), with it the transfer fails, whichever side asked.
TEST(Hostile, OnlyVerifyAllSeesAWriteThatChangesNoStamp) {
    const std::string original = RandomBytes(4 * kBlock, 31);
    std::string copy = original;
    copy[kBlock + 7] ^= 0x5A;
    const size_t spot = 3 * kBlock + 100;  // in a block that the repair does not touch
    struct Case {
        const char* name;
        bool cliAsks, peerAsks;
    } cases[] = {{"neither asks", false, false}, {"the copy asks", true, false}, {"the original asks", false, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Side s;
        std::vector<std::string> extra;
        if (c.cliAsks) extra.push_back("--verify-all");
        const bool whole = c.cliAsks || c.peerAsks;
        Script script = OriginalPart(original, copy, 2);
        if (c.peerAsks) script[0].send = std::string("BM\x22O");
        script[script.size() - 2].send = Digest(original, original.size(), whole);
        // The page is dirtied (which sets the file's times) before the peer
        // comes and the copy stamps its file.
        int fd = -1;
        char* map = static_cast<char*>(MAP_FAILED);
        ASSERT_TRUE(StartSide(s, std::string("verify-") + c.name, "copy", copy, true, extra, 0, [&] {
            fd = open((s.dir + "copy.bin").c_str(), O_RDWR);
            if (fd < 0) return;
            map = static_cast<char*>(mmap(nullptr, copy.size(), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
            if (map != MAP_FAILED) map[spot] = copy[spot];
        }));
        ASSERT_GE(fd, 0);
        ASSERT_NE(map, MAP_FAILED);
        // Everything up to the damaged blocks, then the write, then the rest.
        size_t next = 0;
        for (bool sentBlocks = false; !sentBlocks; ++next) {
            std::string got;
            const Step& step = script[next];
            if (step.receive > 0) ASSERT_TRUE(PeerReceive(s.peer, step.receive, &got));
            else ASSERT_TRUE(PeerSend(s.peer, step.send));
            sentBlocks = step.kind == Step::kBlocks;
        }
        SleepMs(200);  // the copy has written them and waits for the verification
        // The kernel may write the dirty page back at any moment (a busy
        // machine flushes early); the next write to it then sets the times
        // again, and the stamp does see it.
        struct stat before{}, after{};
        fstat(fd, &before);
        map[spot] = static_cast<char>(~copy[spot]);
        fstat(fd, &after);
        const bool stamped = before.st_ctim.tv_nsec != after.st_ctim.tv_nsec ||
                             before.st_ctim.tv_sec != after.st_ctim.tv_sec;
        Play(s.peer, Script(script.begin() + static_cast<long>(next), script.end()));
        FinishCli(s.cli, kQuickMs);
        munmap(map, copy.size());
        close(fd);
        EXPECT_EQ(s.cli.exitCode, whole || stamped ? 1 : 0);
        EXPECT_EQ(HasLine(s.cli.lines, "修復に失敗したようです。"), whole || stamped);
        EXPECT_EQ(AnyLineStartsWith(s.cli.lines, "ファイル全体を確認中・・・"), whole);
    }
}
#endif

#ifndef _WIN32
TEST(Hostile, StopWhileThePeerStallsEndsAtOnce) {
    // The peer goes silent in the middle of the checksums: the first Ctrl-C
    // ends the transfer as Stop does.
    const std::string copy = RandomBytes(3 * kBlock, 5);
    Side s;
    ASSERT_TRUE(StartSide(s, "stall", "copy", copy, true));
    std::string got;
    ASSERT_TRUE(PeerSend(s.peer, Word(0)));
    ASSERT_TRUE(PeerReceive(s.peer, 4, &got));
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

// One SIGTERM (as a service manager sends) or the first Ctrl-C ends a side
// that waits for its peer, listening or connecting, at once and as Stop
// does. The connecting side tries a listener whose queue is full, which
// leaves its connect waiting.
TEST(Hostile, StopSignalEndsAWaitForThePeer) {
    const int holePort = NextPort();
    int hole = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(static_cast<uint16_t>(holePort));
    at.sin_addr.s_addr = inet_addr("127.0.0.1");
    ASSERT_EQ(bind(hole, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
    ASSERT_EQ(listen(hole, 0), 0);
    std::vector<int> fillers;
    for (int i = 0; i < 2; ++i) {
        fillers.push_back(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        connect(fillers.back(), reinterpret_cast<sockaddr*>(&at), sizeof at);
    }
    SleepMs(100);
    for (int sig : {SIGTERM, SIGINT}) {
        for (bool listening : {true, false}) {
            SCOPED_TRACE(std::string(sig == SIGTERM ? "SIGTERM, " : "SIGINT, ") + (listening ? "listening" : "connecting"));
            std::string root = ScratchFolder("hostile-signal");
            WriteFile(root + "a.bin", RandomBytes(5000, 8));
            std::vector<std::string> args{"original", root + "a.bin", "--log-dir", root};
            if (listening) args.insert(args.end(), {"--listen", "--port", std::to_string(NextPort())});
            else args.insert(args.end(), {"--connect", "127.0.0.1", "--port", std::to_string(holePort)});
            const char* waiting = listening ? "接続待ち・・・" : "接続中・・・";
            CliPeer cli;
            ASSERT_TRUE(SpawnProcess(cli.process, CliCommand(args), root + "cli.out", root + "cli.err"));
            ASSERT_TRUE(WaitForLine(cli, waiting, 20000));
            SleepMs(100);
            kill(static_cast<pid_t>(cli.process.handle), sig);
            FinishCli(cli, kQuickMs);
            EXPECT_EQ(cli.exitCode, 1);
            EXPECT_EQ(cli.lines, (std::vector<std::string>{waiting, "切断しました", ""}));
        }
    }
    for (int fd : fillers) close(fd);
    close(hole);
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
        const std::vector<std::string> lines = CliLines(cli);
        ASSERT_EQ(lines.size(), 2u);  // the hint, and the wait
        EXPECT_EQ(lines[1], "接続待ち・・・");
        EXPECT_EQ(WaitProcess(cli.process, 0), -1);  // still running
        ScriptedPeer peer;
        ASSERT_TRUE(ConnectFrom(peer, allowed, port));
        Play(peer, CopyPart(original, original));
        FinishCli(cli, kQuickMs);
        EXPECT_EQ(cli.exitCode, 0);
        EXPECT_EQ(cli.lines[1], "接続完了");
        EXPECT_TRUE(HasLine(cli.lines, "CRCは全て一致しています。"));
    }
    // --allow belongs to a listening side and takes an address or a name.
    std::string root = ScratchFolder("hostile-allow-usage");
    for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
             {"original", root + "x", "--connect", "127.0.0.1", "--allow", "127.0.0.1"},
             {"original", root + "x", "--listen", "--allow", ""},
             {"original", root + "x", "--listen", "--allow"}}) {
        CliPeer cli;
        StartCli(cli, root, "usage", args);
        FinishCli(cli);
        EXPECT_EQ(cli.exitCode, 2);
    }
}
#endif
