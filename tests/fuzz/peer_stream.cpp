// The engine against a stream of arbitrary bytes: this side connects as a
// Client to a listener that stays open for every run, the peer's bytes go in
// from the calling thread while a second thread reads whatever the engine
// sends, and the run ends when the engine has ended its transfer. Files live
// in a folder of their own that is emptied before each run.
#include "tests/fuzz/peer_stream.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <set>
#include <thread>

#include "engine/fileinfo.h"
#include "engine/lifecycle.h"
#include "engine/transfer_state.h"
#include "wire/block_size.h"
#include "tests/support/engine_fixture.h"
#include "tests/support/fixtures.h"
#include "tests/support/peer.h"
#include "tests/support/recorder.h"
#include "tests/support/wire_script.h"

namespace fs = std::filesystem;

namespace {
const char kFuzzCode[] = "fuzzing-code";

struct Harness {
    ScriptedPeer peer;   // listener kept for every run; sock per run
    int port = 0;
    std::string root;    // holds nothing but work/
    std::string folder;  // this side's folder, ending in a separator
};

Harness& TheHarness() {
    static Harness* h = [] {
        auto* made = new Harness;
        made->root = ScratchFolder("peer-stream");
        made->folder = made->root + "work/";
        for (int tries = 0; tries < 50 && made->port == 0; ++tries) {
            int port = NextPort();
            if (PeerListen(made->peer, port)) made->port = port;
            else SocketClose(made->peer.listener);
        }
        return made;
    }();
    return *h;
}

// The local file: one of a few sizes around the block and piece sizes.
std::string LocalBytes(uint8_t selector) {
    static const size_t kSizes[] = {0, 1, 4095, 4096, 10000, 70000, 140000};
    return RandomBytes(kSizes[selector % 7], selector / 7u);
}

std::string Concat(const Script& script) {
    std::string bytes;
    for (const Step& step : script) bytes += step.send;
    return bytes;
}

// The address this side connects to. Every run ends with the peer's side
// in TIME_WAIT; on Linux, where all of 127/8 reaches the listener, a new
// address per run keeps a later connection from meeting one of those (a
// SYN that meets one can stall the connect for seconds).
std::string NextLoopbackAddress() {
#ifdef __linux__
    static uint32_t run = 0;
    uint32_t n = run++ % (200u * 65536u);
    return "127." + std::to_string(1 + n / 65536) + "." + std::to_string(n / 256 % 256) + "." +
           std::to_string(n % 256 == 0 || n % 256 == 255 ? 1 : n % 256);
#else
    return "127.0.0.1";
#endif
}

void EmptyFolder(const std::string& folder) {
    std::error_code ec;
    fs::remove_all(folder, ec);
    fs::create_directories(folder, ec);
}
}  // namespace

std::string RunPeerStream(const uint8_t* data, size_t size) {
    if (size < 3) return "";
    Harness& h = TheHarness();
    if (h.port == 0) return "no port to listen on";
    const int role = data[0] % 3;
    const std::string local = LocalBytes(data[1]);
    const std::string stream(reinterpret_cast<const char*>(data) + 3, size - 3);

    EmptyFolder(h.folder);
    ResetEngine();
    recorder.programFolder = EnginePath(h.folder);
    recorder.remoteIp = NextLoopbackAddress();
    transferState.netRole = kClient;
    transferState.port = h.port;
    transferState.fileType = role;
    const std::string path = h.folder + "local.bin";
    if (role == kNothing) {
        strcpy(transferState.localPath, EnginePath(h.folder).c_str());
        transferState.selectionKind = kFolderSelected;
    } else {
        WriteFile(path, local);
        strcpy(transferState.localPath, EnginePath(path).c_str());
        strcpy(transferState.fileTitle, "local.bin");
        transferState.selectionKind = kFileSelected;
        if (ReadLocalFileInfo() != FileInfoResult::Ok) return "cannot read the local file";
        SetBlockFigures(role == kOriginal ? data[2] % 4 : SuggestBlockSizeIndex(transferState.localSize));
    }
    // This side always offers protocol 2 unless bit 7 says otherwise; the
    // stream's own FileType word (plain or an offer) settles the protocol.
    transferState.protocolLimit = (data[2] & 0x80) != 0 ? 1 : kHighestProtocol;
    // Bit 6: this side holds a code and pairs with it.
    snprintf(transferState.pairingCode, sizeof transferState.pairingCode, "%s", (data[2] & 0x40) != 0 ? kFuzzCode : "");

    if (!StartTransfer()) return "no worker thread";
    if (!PeerAccept(h.peer, 10000)) {
        // A connect that stalls on loopback is the test machine's trouble,
        // not the stream's: closing the listener refuses the connect, the
        // transfer ends, and the next run listens afresh.
        SocketClose(h.peer.listener);
        for (int waited = 0; TransferRunning() && waited < 60000; waited += 10) SleepMs(10);
        if (TransferRunning()) return "the engine did not connect and did not end";
        WaitForTransferEnd();
        return PeerListen(h.peer, h.port) ? "" : "cannot listen again";
    }
    bool closed = false;
    std::thread reader([&h, &closed] {
        std::string ignored;
        closed = PeerReceiveUntilClosed(h.peer, &ignored, 10000);
    });
    PeerSend(h.peer, stream);
    ShutdownSend(h.peer);
    reader.join();
    SocketClose(h.peer.sock);
    for (int waited = 0; TransferRunning() && waited < 10000; waited += 1) SleepMs(1);
    std::vector<std::string> lines = RecordedLines();
    if (!closed || TransferRunning()) {
        // A hang: say where the transfer stood. The worker is left running;
        // the caller stops here.
        std::string where = closed ? "the transfer did not end after the peer closed"
                                   : "the engine kept the connection open with the stream ended";
        for (size_t i = lines.size() > 8 ? lines.size() - 8 : 0; i < lines.size(); ++i) where += "\n  " + lines[i];
        return where;
    }
    WaitForTransferEnd();

    // What holds after any transfer, whatever the peer sent.
    if (lines.size() < 2 || lines[lines.size() - 2] != "切断しました" || !lines.back().empty())
        return "the transfer did not end through its clean-up";
    if (transferState.blocks || transferState.previousBlocks || transferState.localCrcs.bytes ||
        transferState.remoteCrcs.bytes)
        return "block lists left behind";
    if (transferState.dataSocket.IsOpen()) return "socket left open";
    if (role == kOriginal && ReadFile(path) != local) return "the Original's file changed";
    if (role == kCopy && ReadFile(path).size() < local.size()) return "the Copy's file got shorter";
    std::set<std::string> names;
    for (auto& e : fs::directory_iterator(h.root)) names.insert(e.path().filename().string());
    if (names != std::set<std::string>{"work"}) return "a file was made outside the folder";
    return "";
}

std::vector<std::string> SeedInputs() {
    std::vector<std::string> seeds;
    for (int protocol : {1, 2}) {
        for (uint8_t selector : {11, 26, 33}) {  // 10000, 140000 and 70000 bytes
            const std::string local = LocalBytes(selector);
            std::string damaged = local;
            for (size_t at = 100; at < damaged.size(); at += 9000) damaged[at] ^= 0x5A;
            // Original: the peer is a Copy, damaged and shorter.
            std::string copy = damaged.substr(0, damaged.size() - damaged.size() / 3);
            seeds.push_back(std::string{static_cast<char>(kOriginal), static_cast<char>(selector), 0} +
                            Concat(CopyPart(local, copy, protocol)));
            // Copy: the peer is an Original, longer and undamaged.
            std::string original = local;
            for (size_t at = 100; at < original.size(); at += 9000) original[at] ^= 0x5A;
            original += RandomBytes(5000, selector);
            seeds.push_back(std::string{static_cast<char>(kCopy), static_cast<char>(selector), 0} +
                            Concat(OriginalPart(original, local, protocol)));
            // Nothing: the whole file.
            seeds.push_back(std::string{static_cast<char>(kNothing), 0, 0} +
                            Concat(WholeFilePart(local, "f.bin", protocol)));
        }
    }
    return seeds;
}

std::vector<std::string> PairingSeedInputs() {
    std::vector<std::string> seeds;
    // With a code: the peer's offer that asks to pair in each FileType, its
    // pairing message (an element that is not one, then the base point) and
    // a confirmation that cannot be right.
    static const uint8_t kBasePoint[32] = {0xe2, 0xf2, 0xae, 0x0a, 0x6a, 0xbc, 0x4e, 0x71, 0xa8, 0x84, 0xa9,
                                           0x61, 0xc5, 0x00, 0x51, 0x5f, 0x58, 0xe3, 0x0b, 0x6a, 0xa5, 0x82,
                                           0xdd, 0x8d, 0xb6, 0xa6, 0x59, 0x45, 0xe0, 0x8d, 0x2d, 0x76};
    for (int own : {kOriginal, kCopy, kNothing}) {
        const char peerKind = own == kOriginal ? 'C' : 'O';
        for (bool validPoint : {false, true}) {
            std::string stream = std::string("BM\x42") + peerKind;
            stream += validPoint ? std::string(reinterpret_cast<const char*>(kBasePoint), 32) : std::string(32, '\x5a');
            stream += '\x01';
            stream += std::string(32, '\x33');
            seeds.push_back(std::string{static_cast<char>(own), 11, 0x40} + stream);
        }
    }
    return seeds;
}
