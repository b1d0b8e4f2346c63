// Connection set-up and exact-length transfer (worker thread).
#include "net/connection.h"

#include <climits>
#include <cstdint>

#include "engine/frontend.h"
#include "engine/progress.h"
#include "engine/transfer_state.h"

namespace {
// Calls are capped so that a count always fits the socket calls' int.
constexpr size_t kMaxCall = 1u << 30;

[[noreturn]] void ConnectionLost() {
    // A progress value held back for pacing is shown before the line that
    // says why the phase stopped.
    FlushProgress();
    AddStatusLine("相手との接続が切れました");
    EndTransfer();
}

template <typename Call>
void MoveAll(SocketHandle& sock, size_t count, Call call) {
    size_t moved = 0;
    while (moved < count) {
        size_t want = count - moved;
        if (want > kMaxCall) want = kMaxCall;
        int n = 0;
        switch (call(sock, moved, static_cast<int>(want), &n)) {
        case NetResult::Moved: moved += static_cast<size_t>(n); break;
        case NetResult::Transient: break;
        case NetResult::Closed:
        case NetResult::ConnectionLost: ConnectionLost();
        }
        if (moved == count) return;
        if (transferState.stopRequested.load() == 1) EndTransfer();
    }
}
}  // namespace

void SendAll(SocketHandle& sock, const void* data, size_t count) {
    const char* bytes = static_cast<const char*>(data);
    MoveAll(sock, count, [bytes](SocketHandle& s, size_t at, int n, int* moved) {
        return SocketSend(s, bytes + at, n, moved);
    });
}

void ReceiveAll(SocketHandle& sock, void* buffer, size_t count) {
    char* bytes = static_cast<char*>(buffer);
    MoveAll(sock, count, [bytes](SocketHandle& s, size_t at, int n, int* moved) {
        return SocketReceive(s, bytes + at, n, moved);
    });
}

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
