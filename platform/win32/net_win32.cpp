// IPv4 TCP sockets with Windows Sockets.
#include "platform/net.h"

#include <winsock2.h>
#include <ws2tcpip.h>
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

// As on POSIX: short messages go out at once (see net_posix.cpp).
void SetNoDelay(SOCKET s) {
    BOOL on = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
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
PeerWait SocketAccept(SocketHandle& listener, SocketHandle& accepted, uint32_t* peerAddress,
                      const std::atomic<uint8_t>*) {
    SocketClose(accepted);
    sockaddr_in addr;
    int len = sizeof addr;
    SOCKET s = accept(S(listener), reinterpret_cast<sockaddr*>(&addr), &len);
    if (s == INVALID_SOCKET) {
        SaveSocketError();
        return PeerWait::Failed;
    }
    accepted.sock = static_cast<intptr_t>(s);
    SetNoDelay(s);
    if (peerAddress) *peerAddress = addr.sin_addr.s_addr;
    return PeerWait::Connected;
}

PeerWait SocketConnect(SocketHandle& sock, uint32_t address, uint16_t port, const std::atomic<uint8_t>*) {
    sockaddr_in addr = MakeAddress(address, port);
    SetNoDelay(S(sock));
    if (connect(S(sock), reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0) {
        SaveSocketError();
        return PeerWait::Failed;
    }
    return PeerWait::Connected;
}

void InterruptSocketWaits() {}

NetResult SocketSend(SocketHandle& sock, const void* data, int count, int* moved) {
    int n = send(S(sock), static_cast<const char*>(data), count, 0);
    *moved = 0;
    if (n == SOCKET_ERROR) {
        int err = WSAGetLastError();
        SaveSocketError();
        return Classify(err);
    }
    *moved = n;
    return NetResult::Moved;
}

NetResult SocketReceive(SocketHandle& sock, void* buffer, int count, int* moved) {
    int n = recv(S(sock), static_cast<char*>(buffer), count, 0);
    *moved = 0;
    if (n == SOCKET_ERROR) {
        int err = WSAGetLastError();
        SaveSocketError();
        return Classify(err);
    }
    if (n == 0) return count == 0 ? NetResult::Moved : NetResult::Closed;
    *moved = n;
    return NetResult::Moved;
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
