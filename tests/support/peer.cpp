// The scripted test peer, over the platform's sockets with select() for the
// time limits.
#include "tests/support/peer.h"

#ifdef _WIN32
#include <winsock2.h>
#else
#include <sys/select.h>
#include <sys/socket.h>
#endif

#include "tests/support/process.h"

namespace {
bool WaitReadable(SocketHandle& sock, int timeoutMs) {
    fd_set set;
    FD_ZERO(&set);
#ifdef _WIN32
    FD_SET(static_cast<SOCKET>(sock.sock), &set);
#else
    FD_SET(static_cast<int>(sock.sock), &set);
#endif
    timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    return select(static_cast<int>(sock.sock) + 1, &set, nullptr, nullptr, &tv) > 0;
}
}  // namespace

bool PeerListen(ScriptedPeer& peer, int port) {
    return SocketOpenTcp(peer.listener) && SocketBindAny(peer.listener, static_cast<uint16_t>(port)) &&
           SocketListen(peer.listener, 1);
}

bool PeerAccept(ScriptedPeer& peer, int timeoutMs) {
    if (!WaitReadable(peer.listener, timeoutMs)) return false;
    return SocketAccept(peer.listener, peer.sock, nullptr) == PeerWait::Connected;
}

bool PeerConnect(ScriptedPeer& peer, int port, int timeoutMs) {
    for (int waited = 0; waited <= timeoutMs; waited += 20) {
        if (SocketOpenTcp(peer.sock) && SocketConnect(peer.sock, ParseIpv4("127.0.0.1"), static_cast<uint16_t>(port)) ==
                                            PeerWait::Connected)
            return true;
        SocketClose(peer.sock);
        SleepMs(20);
    }
    return false;
}

bool PeerSend(ScriptedPeer& peer, const std::string& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        int n = 0;
        NetResult r = SocketSend(peer.sock, bytes.data() + sent, static_cast<int>(bytes.size() - sent), &n);
        if (r == NetResult::Moved) sent += static_cast<size_t>(n);
        else if (r != NetResult::Transient) return false;
    }
    return true;
}

bool PeerReceive(ScriptedPeer& peer, size_t count, std::string* bytes, int timeoutMs) {
    bytes->clear();
    char buffer[65536];
    while (bytes->size() < count) {
        if (!WaitReadable(peer.sock, timeoutMs)) return false;
        size_t want = count - bytes->size();
        if (want > sizeof buffer) want = sizeof buffer;
        int n = 0;
        NetResult r = SocketReceive(peer.sock, buffer, static_cast<int>(want), &n);
        if (r == NetResult::Moved) bytes->append(buffer, static_cast<size_t>(n));
        else if (r != NetResult::Transient) return false;
    }
    return true;
}

bool PeerReceiveUntilClosed(ScriptedPeer& peer, std::string* bytes, int timeoutMs) {
    bytes->clear();
    char buffer[65536];
    for (;;) {
        if (!WaitReadable(peer.sock, timeoutMs)) return false;
        int n = 0;
        NetResult r = SocketReceive(peer.sock, buffer, sizeof buffer, &n);
        if (r == NetResult::Moved) bytes->append(buffer, static_cast<size_t>(n));
        else if (r != NetResult::Transient) return true;
    }
}

void PeerClose(ScriptedPeer& peer) {
    SocketClose(peer.sock);
    SocketClose(peer.listener);
}

std::string Word(uint32_t v) {
    return std::string{static_cast<char>(v & 0xFF), static_cast<char>((v >> 8) & 0xFF),
                       static_cast<char>((v >> 16) & 0xFF), static_cast<char>(v >> 24)};
}

std::string Byte(uint8_t value) { return std::string(1, static_cast<char>(value)); }

uint32_t WordAt(const std::string& b, size_t at) {
    return static_cast<uint8_t>(b[at]) | static_cast<uint32_t>(static_cast<uint8_t>(b[at + 1])) << 8 |
           static_cast<uint32_t>(static_cast<uint8_t>(b[at + 2])) << 16 |
           static_cast<uint32_t>(static_cast<uint8_t>(b[at + 3])) << 24;
}

void ShutdownSend(ScriptedPeer& peer) {
#ifdef _WIN32
    shutdown(static_cast<SOCKET>(peer.sock.sock), SD_SEND);
#else
    shutdown(static_cast<int>(peer.sock.sock), SHUT_WR);
#endif
}
