// Connection set-up (worker thread).
#include "engine/connect.h"

#include <atomic>
#include <cstdint>
#include <thread>

#include "engine/frontend.h"
#include "engine/transfer_state.h"
#include "platform/net.h"
#include "platform/thread.h"
#include "wire/messages.h"

namespace {
uint16_t Port() { return static_cast<uint16_t>(transferState.port & 0xFFFF); }

// Starts the socket library and opens sock, or ends the transfer.
void OpenSocket(SocketHandle& sock) {
    SocketsStartup();
    if (SocketOpenTcp(sock)) return;
    AddStatusLine("ソケット(Sock)を作成できませんでした");
    FinishWorker();
}

// The thread that answers further peers, and the flag that ends it. A raw
// pointer: a process that ends in the middle of a transfer (the window
// closed) must not run a destructor that finds it still running.
std::thread* busyThread = nullptr;
std::atomic<bool> busyEnding{false};
// How long an answered peer is given to close first: a close of ours with
// its word still unread would be a reset, which can overtake the answer.
constexpr uint64_t kBusyLingerMs = 2000;

void AnswerBusy(SocketHandle& peer) {
    const std::atomic<uint8_t> never{0};
    Link link{&peer, &never, &kProtocol1};
    try {
        SendFileTypeWord(link, BusyWord());
    } catch (const LinkEnded&) {
        return;
    }
    char sink[64];
    for (const uint64_t until = MonotonicMilliseconds() + kBusyLingerMs; MonotonicMilliseconds() < until;) {
        int n = 0;
        const NetResult result = SocketReceive(peer, sink, sizeof sink, &n);
        if (result == NetResult::Closed || result == NetResult::ConnectionLost) return;
    }
}

void AnswerBusyPeers() {
    for (;;) {
        const bool ending = busyEnding.load();
        SocketHandle peer;
        uint32_t address = 0;
        switch (SocketAcceptWithin(transferState.listenSocket, peer, &address, ending ? 0 : 100)) {
        case PeerWait::Connected:
            // A peer that the side would not take gets no answer either.
            if (transferState.allowedPeer == 0 || address == transferState.allowedPeer) AnswerBusy(peer);
            continue;
        case PeerWait::Failed: SleepMilliseconds(100); break;
        case PeerWait::TimedOut:
        case PeerWait::Stopped: break;
        }
        // Once the transfer ends, the queue is answered until it is empty.
        if (ending) return;
    }
}

void StartBusyAnswers() {
    busyEnding.store(false);
    busyThread = new std::thread(AnswerBusyPeers);
}
}  // namespace

void StopBusyAnswers() {
    if (!busyThread) return;
    busyEnding.store(true);
    busyThread->join();
    delete busyThread;
    busyThread = nullptr;
}

void OpenConnection() {
    if (transferState.netRole == kServer) AcceptConnection(); else ConnectToServer();
}

void AcceptConnection() {
    // A serving listener accepted the connection before this transfer began.
    if (transferState.connectionGiven) {
        AddStatusLine("接続完了");
        return;
    }
    OpenSocket(transferState.listenSocket);
    if (!SocketBindAny(transferState.listenSocket, Port())) {
        AddStatusLine("bindに失敗しました");
        SocketClose(transferState.listenSocket);
        FinishWorker();
    }
    if (!SocketListen(transferState.listenSocket, 1)) {
        AddStatusLine("listenに失敗しました");
        SocketClose(transferState.listenSocket);
        FinishWorker();
    }
    AddStatusLine("接続待ち・・・");
    for (;;) {
        uint32_t peer = 0;
        switch (SocketAccept(transferState.listenSocket, transferState.dataSocket, &peer,
                             &transferState.stopRequested)) {
        case PeerWait::Connected: break;
        case PeerWait::Stopped: EndTransfer();
        case PeerWait::Failed:
        case PeerWait::TimedOut:
            AddStatusLine("ソケット(NewSock)を作成できませんでした");
            SocketClose(transferState.listenSocket);
            FinishWorker();
        }
        if (transferState.allowedPeer == 0 || peer == transferState.allowedPeer) break;
        // Not the peer this side waits for: drop it and keep listening.
        SocketClose(transferState.dataSocket);
    }
    StartBusyAnswers();
    AddStatusLine("接続完了");
}

void ConnectToServer() {
    OpenSocket(transferState.dataSocket);
    char remote[20] = {};
    ReadRemoteIp(remote, sizeof remote);
    uint32_t address = ParseIpv4(remote);
    AddStatusLine("接続中・・・");
    const uint64_t giveUpAt = MonotonicMilliseconds() + transferState.connectWaitMs;
    for (bool connected = false; !connected;) {
        switch (SocketConnect(transferState.dataSocket, address, Port(), &transferState.stopRequested)) {
        case PeerWait::Connected: connected = true; break;
        case PeerWait::Stopped: EndTransfer();
        case PeerWait::Failed:
            if (ConnectRefused() && MonotonicMilliseconds() < giveUpAt) {
                // The listener is not up yet: a fresh socket a moment later.
                SocketClose(transferState.dataSocket);
                for (int slice = 0; slice < 5 && transferState.stopRequested.load() == 0; ++slice)
                    SleepMilliseconds(50);
                if (transferState.stopRequested.load() == 1) EndTransfer();
                OpenSocket(transferState.dataSocket);
                break;
            }
            [[fallthrough]];
        case PeerWait::TimedOut:
            AddStatusLine("接続できませんでした");
            EndTransfer();
        }
    }
    AddStatusLine("接続完了");
}
