// Connection set-up (worker thread).
#include "engine/connect.h"

#include <cstdint>

#include "engine/frontend.h"
#include "engine/transfer_state.h"
#include "platform/net.h"
#include "platform/thread.h"

namespace {
uint16_t Port() { return static_cast<uint16_t>(transferState.port & 0xFFFF); }

// Starts the socket library and opens sock, or ends the transfer.
void OpenSocket(SocketHandle& sock) {
    SocketsStartup();
    if (SocketOpenTcp(sock)) return;
    AddStatusLine("ソケット(Sock)を作成できませんでした");
    FinishWorker();
}
}  // namespace

void OpenConnection() {
    if (transferState.netRole == kServer) AcceptConnection(); else ConnectToServer();
}

void AcceptConnection() {
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
            AddStatusLine("ソケット(NewSock)を作成できませんでした");
            SocketClose(transferState.listenSocket);
            FinishWorker();
        }
        if (transferState.allowedPeer == 0 || peer == transferState.allowedPeer) break;
        // Not the peer this side waits for: drop it and keep listening.
        SocketClose(transferState.dataSocket);
    }
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
            AddStatusLine("接続できませんでした");
            EndTransfer();
        }
    }
    AddStatusLine("接続完了");
}
