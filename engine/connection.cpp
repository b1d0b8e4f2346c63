// Connection set-up, and the exact-length transfer of a transfer: what the
// transport's outcomes mean for it (worker thread).
#include "engine/connection.h"

#include <cstdint>

#include "engine/frontend.h"
#include "engine/progress.h"
#include "engine/transfer_state.h"
#include "net/transport.h"

const char kSilentPeerText[] = "相手から30秒間応答がありませんでした";
const char kStalledPeerText[] = "相手とのデータの送受信が60秒間止まりました";

namespace {
[[noreturn]] void ConnectionLost() {
    // A progress value held back for pacing is shown before the line that
    // says why the phase stopped.
    FlushProgress();
    AddStatusLine("相手との接続が切れました");
    EndTransfer();
}

// timedOutText: what a wait that ran into its silence limit shows.
void Settle(TransportResult result, const char* timedOutText = kStalledPeerText) {
    switch (result) {
    case TransportResult::Done: return;
    case TransportResult::Stopped: EndTransfer();
    case TransportResult::Lost: ConnectionLost();
    case TransportResult::TimedOut:
        FlushProgress();
        AddStatusLine(timedOutText);
        EndTransfer();
    }
}
}  // namespace

void SendAll(SocketHandle& sock, const void* data, size_t count) {
    Settle(SendExact(sock, data, count, transferState.stopRequested));
}

void ReceiveAll(SocketHandle& sock, void* buffer, size_t count) {
    Settle(ReceiveExact(sock, buffer, count, transferState.stopRequested));
}

void ReceiveFirstMessage(SocketHandle& sock, void* buffer, size_t count) {
    Settle(ReceiveExact(sock, buffer, count, transferState.stopRequested, nullptr, kFirstMessageLimitMs),
           kSilentPeerText);
}

void SendStream(SocketHandle& sock, const void* data, size_t count) {
    Settle(SendExact(sock, data, count, transferState.stopRequested, kStreamSilenceLimitMs));
}

TransportResult TryReceiveAll(SocketHandle& sock, void* buffer, size_t count, size_t* received) {
    return ReceiveExact(sock, buffer, count, transferState.stopRequested, received, kStreamSilenceLimitMs);
}

TransportResult TryReceiveSome(SocketHandle& sock, void* buffer, size_t least, size_t most, size_t* received) {
    return ReceiveSome(sock, buffer, least, most, transferState.stopRequested, received, kStreamSilenceLimitMs);
}

void SettleReceive(TransportResult result) { Settle(result); }

void OpenConnection() {
    if (transferState.netRole == kServer) AcceptConnection(); else ConnectToServer();
}

void AcceptConnection() {
    const uint16_t port = static_cast<uint16_t>(transferState.port & 0xFFFF);
    SocketsStartup();
    if (!SocketOpenTcp(transferState.listenSocket)) {
        AddStatusLine("ソケット(Sock)を作成できませんでした");
        FinishWorker();
    }
    if (!SocketBindAny(transferState.listenSocket, port)) {
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
    const uint16_t port = static_cast<uint16_t>(transferState.port & 0xFFFF);
    SocketsStartup();
    if (!SocketOpenTcp(transferState.dataSocket)) {
        AddStatusLine("ソケット(Sock)を作成できませんでした");
        FinishWorker();
    }
    char remote[20] = {};
    ReadRemoteIp(remote, sizeof remote);
    uint32_t address = ParseIpv4(remote);
    AddStatusLine("接続中・・・");
    switch (SocketConnect(transferState.dataSocket, address, port, &transferState.stopRequested)) {
    case PeerWait::Connected: break;
    case PeerWait::Stopped: EndTransfer();
    case PeerWait::Failed:
        AddStatusLine("接続できませんでした");
        EndTransfer();
    }
    AddStatusLine("接続完了");
}
