// The server of many peers (--serve): accepts on the main thread, starts a
// process per connection (platform/process.h), keeps at most maxPeers of
// them at once, delays its answers after failed pairings, and on a stop
// signal stops accepting and waits for the running transfers. Main thread.
#include "cli/serve.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "cli/cli_frontend.h"
#include "cli/texts.h"
#include "engine/lifecycle.h"
#include "engine/shared_pass.h"
#include "engine/transfer_state.h"
#include "platform/error.h"
#include "platform/process.h"
#include "platform/thread.h"

namespace {
// Connections waiting beyond the running transfers stay in the system's
// queue until a transfer ends.
constexpr int kListenBacklog = 64;
// After failed pairings in a row, the next connection is answered after
// 1 s, 2 s, 4 s ... at most this long.
constexpr uint64_t kLongestPenaltyMs = 64000;
// How often the main thread looks at the stop flag while it waits.
constexpr int kLookMs = 100;

std::string PeerText(uint32_t address, uint16_t port, char separator) {
    char dotted[20];
    FormatIpv4(address, dotted, sizeof dotted);
    return std::string(dotted) + separator + std::to_string(port);
}

[[noreturn]] void ServerSetupError(const char* line) {
    fprintf(stderr, "Error: %s: %s\n", ShownLine(line).c_str(), ShownLine(SystemErrorText().c_str()).c_str());
    exit(1);
}

// One running transfer process and its peer.
struct Served {
    std::string peer;  // "ADDR:PORT"
};

// What the server keeps between connections.
struct ServerState {
    std::vector<ProcessHandle> processes;
    std::vector<Served> peers;  // in the order of processes
    int failedPairings = 0;     // in a row
    uint64_t answerAtMs = 0;    // no connection is answered before this
};

void NoteEnded(const ServeSettings& settings, ServerState& server, int index, int status) {
    const Served ended = server.peers[static_cast<size_t>(index)];
    server.processes.erase(server.processes.begin() + index);
    server.peers.erase(server.peers.begin() + index);
    // A process that ended without its end line (a crash, a kill) is
    // reported here.
    if (status != 0 && status != 1 && status != kPairingFailedStatus)
        PrintOwnLine(Text(TextId::kPeerProcessEnded, {ended.peer, std::to_string(status)}));
    if (!settings.pairing || status >= 128) return;
    if (status != kPairingFailedStatus) {
        server.failedPairings = 0;
        server.answerAtMs = 0;
        return;
    }
    ++server.failedPairings;
    const int shift = server.failedPairings - 1 < 6 ? server.failedPairings - 1 : 6;
    const uint64_t delay = std::min<uint64_t>(1000ull << shift, kLongestPenaltyMs);
    server.answerAtMs = MonotonicMilliseconds() + delay;
    PrintOwnLine(Text(TextId::kPairingPenalty, {std::to_string(server.failedPairings), std::to_string(delay / 1000)}));
}

// Takes every process that has ended, waiting up to waitMs for one.
void ReapEnded(const ServeSettings& settings, ServerState& server, int waitMs) {
    for (int status = 0;;) {
        const int index = WaitForAnyProcess(server.processes, waitMs, &status);
        if (index < 0) return;
        NoteEnded(settings, server, index, status);
        waitMs = 0;
    }
}

// With a code, one connection pairs at a time: the next is accepted once
// every running transfer has paired (its process reports it) or ended, so
// that guesses at the code cannot run side by side.
bool PairingUnderWay(const ServeSettings& settings, ServerState& server) {
    if (!settings.pairing) return false;
    for (ProcessHandle& process : server.processes)
        if (!ProcessReported(process)) return true;
    return false;
}

bool StopAsked() { return transferState.stopRequested.load() == 1; }
}  // namespace

int ServeOriginal(const ServeSettings& settings, SocketHandle* connection) {
    SocketHandle listener;
    SocketsStartup();
    if (!SocketOpenTcp(listener)) ServerSetupError("ソケット(Sock)を作成できませんでした");
    if (!SocketBindAny(listener, static_cast<uint16_t>(transferState.port & 0xFFFF))) ServerSetupError("bindに失敗しました");
    if (!SocketListen(listener, kListenBacklog)) ServerSetupError("listenに失敗しました");
    // The first pass, once for every peer while the file stays as it is; a
    // Windows transfer process loads it from this file.
    const std::string passFile =
        cliSettings.logFolder + "blockmend-serve-" + std::to_string(transferState.port) + ".pass";
    std::vector<std::string> childArgs = settings.args;
    childArgs.insert(childArgs.begin() + (childArgs.empty() ? 0 : 1), {"--shared-pass", passFile});
    FileStamp saved;
    bool haveSaved = false;
    auto refresh = [&] {
        if (!RefreshSharedFirstPass()) return;
        if (haveSaved && saved == sharedFirstPass.stamp) return;
        haveSaved = SaveSharedFirstPass(passFile.c_str());
        saved = sharedFirstPass.stamp;
    };
    refresh();
    if (!cliSettings.quiet) {
        if (!cliSettings.hint.empty()) PrintOwnLine(cliSettings.hint);
        PrintOwnLine(Text(TextId::kServing, {transferState.fileTitle, std::to_string(transferState.port),
                                             std::to_string(settings.maxPeers)}));
    }
    ServerState server;
    while (!StopAsked()) {
        ReapEnded(settings, server, 0);
        if (static_cast<int>(server.processes.size()) >= settings.maxPeers ||
            MonotonicMilliseconds() < server.answerAtMs || PairingUnderWay(settings, server)) {
            ReapEnded(settings, server, kLookMs);
            continue;
        }
        SocketHandle accepted;
        uint32_t address = 0;
        switch (SocketAcceptWithin(listener, accepted, &address, kLookMs)) {
        case PeerWait::Connected: break;
        case PeerWait::Failed: SleepMilliseconds(kLookMs); continue;
        case PeerWait::TimedOut:
        case PeerWait::Stopped: continue;
        }
        // A peer that this side would not take is dropped at once.
        if (transferState.allowedPeer != 0 && address != transferState.allowedPeer) continue;
        uint16_t port = 0;
        SocketPeerAddress(accepted, &address, &port);
        const std::string peer = PeerText(address, port, ':');
        refresh();
        ProcessHandle process;
        switch (StartTransferProcess(listener, accepted, childArgs, process)) {
        case Spawned::kChild:
            *connection = std::move(accepted);
            return -1;
        case Spawned::kParent:
            server.processes.push_back(std::move(process));
            server.peers.push_back(Served{peer});
            break;
        case Spawned::kFailed:
            PrintOwnLine(Text(TextId::kCannotStartProcess, {peer}));
            break;
        }
    }
    SocketClose(listener);
    if (!cliSettings.quiet) PrintOwnLine(Text(TextId::kServeStopping));
    for (ProcessHandle& process : server.processes) AskProcessToStop(process);
    while (!server.processes.empty()) ReapEnded(settings, server, kLookMs);
    if (haveSaved) FileRemove(passFile.c_str());
    return 0;
}

void ServeConnection(SocketHandle& connection) {
    uint32_t address = 0;
    uint16_t port = 0;
    SocketPeerAddress(connection, &address, &port);
    cliSettings.peer = PeerText(address, port, ':');
    cliSettings.served = true;
    cliSettings.hint.clear();
    const std::string tag = PeerText(address, port, '-');
    snprintf(transferState.logTag, sizeof transferState.logTag, "%s", tag.c_str());
    transferState.dataSocket = std::move(connection);
    transferState.connectionGiven = true;
    transferState.sharedReads = true;
    if (!cliSettings.quiet) PrintOwnLine(Text(TextId::kPeerStarted, {cliSettings.peer}));
}

int ServedExitStatus(bool pairing) {
    if (transferState.transferComplete) return 0;
    return pairing && cliRecord.cipher.empty() ? kPairingFailedStatus : 1;
}
