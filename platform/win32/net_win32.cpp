// IPv4 TCP sockets with Windows Sockets. A connected socket is
// non-blocking, and a send or receive that cannot go on waits in select()
// for one slice at most: a blocking call that is under way when the peer
// resets the connection is not always woken under Wine (seen with a killed
// peer in the middle of a long send), while a fresh call on a non-blocking
// socket reports the reset at once.
#include "platform/net.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <mstcpip.h>
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "platform/error.h"

namespace {
SOCKET S(const SocketHandle& sock) { return static_cast<SOCKET>(sock.sock); }

sockaddr_in MakeAddress(uint32_t address, uint16_t port) {
    sockaddr_in addr;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = address;
    return addr;
}

void SaveSocketError() {
    SetLastError(static_cast<DWORD>(WSAGetLastError()));
    SaveLastError();
}

// Options of IPPROTO_TCP that older headers lack.
constexpr int kTcpMaxRetransmitSeconds = 5;  // TCP_MAXRT
constexpr int kTcpKeepaliveProbes = 16;      // TCP_KEEPCNT

// The settings of a connected socket, as on POSIX (see net_posix.cpp):
// short messages at once, keepalive probes from 10 s of silence on every
// 5 s, a limit on retransmissions of data the peer never acknowledges, and
// non-blocking calls. Systems that lack an option (older Windows, Wine)
// keep their own value for it: with Wine's own probe count (9) a silent
// peer is given up after 55 s; Windows sends 10 probes where it cannot be
// told otherwise (60 s).
void PrepareConnected(SOCKET s) {
    BOOL on = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    tcp_keepalive keepalive{1, kKeepaliveIdleSeconds * 1000, kKeepaliveIntervalSeconds * 1000};
    DWORD returned = 0;
    WSAIoctl(s, SIO_KEEPALIVE_VALS, &keepalive, sizeof keepalive, nullptr, 0, &returned, nullptr, nullptr);
    DWORD probes = (kDeadPeerSeconds - kKeepaliveIdleSeconds) / kKeepaliveIntervalSeconds;
    setsockopt(s, IPPROTO_TCP, kTcpKeepaliveProbes, reinterpret_cast<const char*>(&probes), sizeof probes);
    DWORD retransmitSeconds = kDeadPeerSeconds;
    setsockopt(s, IPPROTO_TCP, kTcpMaxRetransmitSeconds, reinterpret_cast<const char*>(&retransmitSeconds),
               sizeof retransmitSeconds);
    u_long nonBlocking = 1;
    ioctlsocket(s, FIONBIO, &nonBlocking);
}

// Waits until the socket can take a send (forSend) or has something to
// receive, or has failed, for one slice at most.
void WaitOneSlice(SOCKET s, bool forSend) {
    fd_set ready, failed;
    FD_ZERO(&ready);
    FD_ZERO(&failed);
    FD_SET(s, &ready);
    FD_SET(s, &failed);
    timeval slice{0, kSocketWaitSliceMs * 1000};
    select(0, forSend ? nullptr : &ready, forSend ? &ready : nullptr, &failed, &slice);
}

NetResult Classify(int err) {
    switch (err) {
    case WSAEINTR:
    case WSAEWOULDBLOCK:
    case WSAENOBUFS:
    case WSAEINPROGRESS:
        return NetResult::Transient;
    default:
        return NetResult::ConnectionLost;
    }
}
}  // namespace

SocketHandle& SocketHandle::operator=(SocketHandle&& other) noexcept {
    if (this != &other) {
        SocketClose(*this);
        sock = other.sock;
        other.sock = -1;
    }
    return *this;
}

SocketHandle::~SocketHandle() { SocketClose(*this); }

void SocketsStartup() {
    WSADATA data;
    WSAStartup(0x0101, &data);
}

bool SocketOpenTcp(SocketHandle& sock) {
    SocketClose(sock);
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    if (s == INVALID_SOCKET) {
        SaveSocketError();
        return false;
    }
    sock.sock = static_cast<intptr_t>(s);
    return true;
}

void SocketClose(SocketHandle& sock) {
    if (sock.sock != -1) {
        closesocket(S(sock));
        sock.sock = -1;
    }
}

bool SocketBindAny(SocketHandle& sock, uint16_t port) {
    sockaddr_in addr = MakeAddress(htonl(INADDR_ANY), port);
    if (bind(S(sock), reinterpret_cast<sockaddr*>(&addr), sizeof addr) == SOCKET_ERROR) {
        SaveSocketError();
        return false;
    }
    return true;
}

bool SocketListen(SocketHandle& sock, int backlog) {
    if (listen(S(sock), backlog) < 0) {
        SaveSocketError();
        return false;
    }
    return true;
}

// The window's Stop leaves a wait for the peer alone: accept and connect
// block until the peer comes or the attempt fails.
namespace {
// Takes the connection that waits on listener. quiet: a peer that gave up
// in between (or none at all) counts as none come yet.
PeerWait TakeConnection(SocketHandle& listener, SocketHandle& accepted, uint32_t* peerAddress, bool quiet) {
    sockaddr_in addr;
    int len = sizeof addr;
    SOCKET s = accept(S(listener), reinterpret_cast<sockaddr*>(&addr), &len);
    if (s == INVALID_SOCKET) {
        const int err = WSAGetLastError();
        if (quiet && (err == WSAEWOULDBLOCK || err == WSAECONNRESET || err == WSAEINTR)) return PeerWait::TimedOut;
        SaveSocketError();
        return PeerWait::Failed;
    }
    accepted.sock = static_cast<intptr_t>(s);
    PrepareConnected(s);
    if (peerAddress) *peerAddress = addr.sin_addr.s_addr;
    return PeerWait::Connected;
}
}  // namespace

PeerWait SocketAccept(SocketHandle& listener, SocketHandle& accepted, uint32_t* peerAddress,
                      const std::atomic<uint8_t>*) {
    SocketClose(accepted);
    return TakeConnection(listener, accepted, peerAddress, false);
}

namespace {
thread_local bool connectRefused = false;
}  // namespace

bool ConnectRefused() { return connectRefused; }

PeerWait SocketAcceptWithin(SocketHandle& listener, SocketHandle& accepted, uint32_t* peerAddress, int waitMs) {
    SocketClose(accepted);
    u_long nonBlocking = 1;
    ioctlsocket(S(listener), FIONBIO, &nonBlocking);
    fd_set ready;
    FD_ZERO(&ready);
    FD_SET(S(listener), &ready);
    timeval wait{waitMs / 1000, (waitMs % 1000) * 1000};
    const int n = select(0, &ready, nullptr, nullptr, &wait);
    if (n == SOCKET_ERROR) {
        SaveSocketError();
        return PeerWait::Failed;
    }
    if (n == 0) return PeerWait::TimedOut;
    return TakeConnection(listener, accepted, peerAddress, true);
}

PeerWait SocketConnect(SocketHandle& sock, uint32_t address, uint16_t port, const std::atomic<uint8_t>*) {
    sockaddr_in addr = MakeAddress(address, port);
    connectRefused = false;
    if (connect(S(sock), reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0) {
        connectRefused = WSAGetLastError() == WSAECONNREFUSED;
        SaveSocketError();
        return PeerWait::Failed;
    }
    PrepareConnected(S(sock));
    return PeerWait::Connected;
}

void InterruptSocketWaits() {}

namespace {
// One call, made again once after a slice's wait when it would block
// (attempts: 2), or made once (attempts: 1).
template <typename Call>
NetResult MoveOnce(SocketHandle& sock, bool forSend, int* moved, Call call, int attempts = 2) {
    *moved = 0;
    for (int attempt = 0;; ++attempt) {
        int n = call();
        if (n != SOCKET_ERROR) {
            if (n == 0 && !forSend) return NetResult::Closed;
            *moved = n;
            return NetResult::Moved;
        }
        int err = WSAGetLastError();
        if (err != WSAEWOULDBLOCK || attempt + 1 == attempts) {
            SaveSocketError();
            return Classify(err);
        }
        WaitOneSlice(S(sock), forSend);
    }
}
}  // namespace

NetResult SocketSend(SocketHandle& sock, const void* data, int count, int* moved) {
    return MoveOnce(sock, true, moved, [&] { return send(S(sock), static_cast<const char*>(data), count, 0); });
}

NetResult SocketReceive(SocketHandle& sock, void* buffer, int count, int* moved) {
    if (count == 0) {
        *moved = 0;
        return NetResult::Moved;
    }
    return MoveOnce(sock, false, moved, [&] { return recv(S(sock), static_cast<char*>(buffer), count, 0); });
}

NetResult SocketReceiveNow(SocketHandle& sock, void* buffer, int count, int* moved) {
    if (count == 0) {
        *moved = 0;
        return NetResult::Moved;
    }
    return MoveOnce(
        sock, false, moved, [&] { return recv(S(sock), static_cast<char*>(buffer), count, 0); }, 1);
}

uint32_t ParseIpv4(const char* text) { return inet_addr(text); }

void FormatIpv4(uint32_t address, char* text, int size) {
    in_addr a;
    a.s_addr = address;
    snprintf(text, static_cast<size_t>(size), "%s", inet_ntoa(a));
}

bool ResolveHostIpv4(const char* host, uint32_t* address) {
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) {
        SaveLastError();
        return false;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    bool ok = getaddrinfo(host, nullptr, &hints, &found) == 0 && found != nullptr;
    if (ok) {
        *address = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
        freeaddrinfo(found);
    } else {
        SaveSocketError();
    }
    WSACleanup();
    return ok;
}

std::vector<uint32_t> LocalIpv4Addresses() {
    // The addresses of this host's own name: the ones Windows registers for
    // its interfaces, with no helper library.
    std::vector<uint32_t> addresses;
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return addresses;
    char host[256] = {};
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (gethostname(host, sizeof host) == 0 && getaddrinfo(host, nullptr, &hints, &found) == 0) {
        for (const addrinfo* a = found; a; a = a->ai_next) {
            const uint32_t address = reinterpret_cast<const sockaddr_in*>(a->ai_addr)->sin_addr.s_addr;
            if ((ntohl(address) >> 24) == 127) continue;
            bool seen = false;
            for (uint32_t known : addresses) seen = seen || known == address;
            if (!seen) addresses.push_back(address);
        }
        freeaddrinfo(found);
    }
    WSACleanup();
    return addresses;
}
