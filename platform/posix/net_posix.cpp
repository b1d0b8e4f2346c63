// IPv4 TCP sockets on POSIX. Sends never raise SIGPIPE: a closed peer shows
// up as a lost connection instead.
#include "platform/net.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/error.h"

SocketHandle& SocketHandle::operator=(SocketHandle&& other) noexcept {
    if (this != &other) {
        SocketClose(*this);
        sock = other.sock;
        other.sock = -1;
    }
    return *this;
}

SocketHandle::~SocketHandle() { SocketClose(*this); }

void SocketsStartup() {}

bool SocketOpenTcp(SocketHandle& sock) {
    SocketClose(sock);
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) {
        SaveLastError();
        return false;
    }
    sock.sock = s;
    return true;
}

void SocketClose(SocketHandle& sock) {
    if (sock.sock != -1) {
        close(static_cast<int>(sock.sock));
        sock.sock = -1;
    }
}

namespace {
sockaddr_in MakeAddress(uint32_t address, uint16_t port) {
    sockaddr_in addr;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = address;
    return addr;
}

NetResult Classify(int err) {
    switch (err) {
    case EINTR:
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
    case ENOBUFS:
    case ENOMEM:
        return NetResult::Transient;
    default:
        return NetResult::ConnectionLost;
    }
}
}  // namespace

bool SocketBindAny(SocketHandle& sock, uint16_t port) {
    sockaddr_in addr = MakeAddress(htonl(INADDR_ANY), port);
    if (bind(static_cast<int>(sock.sock), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        SaveLastError();
        return false;
    }
    return true;
}

bool SocketListen(SocketHandle& sock, int backlog) {
    if (listen(static_cast<int>(sock.sock), backlog) < 0) {
        SaveLastError();
        return false;
    }
    return true;
}

bool SocketAccept(SocketHandle& listener, SocketHandle& accepted, uint32_t* peerAddress) {
    SocketClose(accepted);
    sockaddr_in addr;
    socklen_t len = sizeof addr;
    int s;
    do {
        s = accept4(static_cast<int>(listener.sock), reinterpret_cast<sockaddr*>(&addr), &len, SOCK_CLOEXEC);
    } while (s < 0 && errno == EINTR);
    if (s < 0) {
        SaveLastError();
        return false;
    }
    accepted.sock = s;
    if (peerAddress) *peerAddress = addr.sin_addr.s_addr;
    return true;
}

bool SocketConnect(SocketHandle& sock, uint32_t address, uint16_t port) {
    sockaddr_in addr = MakeAddress(address, port);
    if (connect(static_cast<int>(sock.sock), reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0) {
        SaveLastError();
        return false;
    }
    return true;
}

NetResult SocketSend(SocketHandle& sock, const void* data, int count, int* moved) {
    ssize_t n = send(static_cast<int>(sock.sock), data, static_cast<size_t>(count), MSG_NOSIGNAL);
    if (n < 0) {
        SaveLastError();
        *moved = 0;
        return Classify(errno);
    }
    *moved = static_cast<int>(n);
    return NetResult::Moved;
}

NetResult SocketReceive(SocketHandle& sock, void* buffer, int count, int* moved) {
    ssize_t n = recv(static_cast<int>(sock.sock), buffer, static_cast<size_t>(count), 0);
    *moved = 0;
    if (n < 0) {
        SaveLastError();
        return Classify(errno);
    }
    if (n == 0) return count == 0 ? NetResult::Moved : NetResult::Closed;
    *moved = static_cast<int>(n);
    return NetResult::Moved;
}

uint32_t ParseIpv4(const char* text) { return inet_addr(text); }

void FormatIpv4(uint32_t address, char* text, int size) {
    in_addr a;
    a.s_addr = address;
    snprintf(text, static_cast<size_t>(size), "%s", inet_ntoa(a));
}

bool ResolveHostIpv4(const char* host, uint32_t* address) {
    in_addr numeric;
    if (inet_pton(AF_INET, host, &numeric) == 1) {
        *address = numeric.s_addr;
        return true;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    int rc = getaddrinfo(host, nullptr, &hints, &found);
    if (rc != 0 || found == nullptr) {
        if (rc == EAI_SYSTEM) SaveLastError();
        else SaveErrorText(rc != 0 ? gai_strerror(rc) : "no IPv4 address");
        return false;
    }
    *address = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
    freeaddrinfo(found);
    return true;
}
