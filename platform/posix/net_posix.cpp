// IPv4 TCP sockets on POSIX. Sends never raise SIGPIPE: a closed peer shows
// up as a lost connection instead. A wait for the peer that has a stop flag
// polls its socket beside a wake pipe, so that a stop signal ends it even
// when the signal came just before the wait began.
#include "platform/net.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <ifaddrs.h>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <linux/if.h>
#include <poll.h>
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

// The wake pipe: InterruptSocketWaits writes a byte into it, a waiting
// SocketAccept or SocketConnect reads it and looks at its stop flag. Both
// ends are non-blocking; a byte that no wait took is drained by the next.
std::atomic<int> wakeRead{-1};
std::atomic<int> wakeWrite{-1};
std::once_flag wakeMade;

void MakeWakePipe() {
    std::call_once(wakeMade, [] {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return;
        wakeRead.store(fds[0]);
        wakeWrite.store(fds[1]);
    });
}

enum class Ready { Yes, Stopped, Failed };

// Waits until fd reports one of events, or until it is woken while *stop
// holds 1. The flag is read only once the pipe exists: a stop signalled
// before that has set the flag already, one signalled after it leaves a
// byte that wakes the poll.
Ready WaitReady(int fd, short events, const std::atomic<uint8_t>* stop) {
    MakeWakePipe();
    for (;;) {
        if (stop->load() == 1) return Ready::Stopped;
        pollfd fds[2] = {{fd, events, 0}, {wakeRead.load(), POLLIN, 0}};
        int n = poll(fds, 2, -1);
        if (n < 0) {
            if (errno == EINTR) continue;
            SaveLastError();
            return Ready::Failed;
        }
        if (fds[1].revents != 0) {
            char bytes[16];
            while (read(fds[1].fd, bytes, sizeof bytes) > 0) {
            }
        }
        if (fds[0].revents != 0 && stop->load() != 1) return Ready::Yes;
    }
}

// Settings of a connected socket. Short messages go out at once instead of
// waiting until the peer acknowledges what went before, which the peer may
// delay by 40 ms when it has nothing to send (the checksum list after the
// last damaged blocks); the bytes are the same, only their segments differ.
// Keepalive probes and the limit on unacknowledged data (TCP_USER_TIMEOUT,
// which also bounds unanswered keepalive and zero-window probes) notice a
// vanished peer within kDeadPeerSeconds; a live peer's kernel answers them.
// The send and receive timeouts bound each call to one slice, so that the
// worker looks at Stop and at its own limits while the peer is silent.
void PrepareConnected(int fd) {
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    int idle = kKeepaliveIdleSeconds, interval = kKeepaliveIntervalSeconds, probes = (kDeadPeerSeconds - idle) / interval;
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
    unsigned int unacknowledgedMs = kDeadPeerSeconds * 1000u;
    setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &unacknowledgedMs, sizeof unacknowledgedMs);
    timeval slice{0, kSocketWaitSliceMs * 1000};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &slice, sizeof slice);
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &slice, sizeof slice);
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
    // Without it Linux refuses the port for a minute after a transfer whose
    // connection this side closed first (TIME_WAIT). It still refuses a port
    // that another socket listens on.
    int on = 1;
    setsockopt(static_cast<int>(sock.sock), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
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

namespace {
// The connection accept gave: ready for the transfer, with its peer's address.
PeerWait TakeAccepted(SocketHandle& accepted, int s, const sockaddr_in& addr, uint32_t* peerAddress) {
    accepted.sock = s;
    PrepareConnected(s);
    if (peerAddress) *peerAddress = addr.sin_addr.s_addr;
    return PeerWait::Connected;
}
}  // namespace

PeerWait SocketAccept(SocketHandle& listener, SocketHandle& accepted, uint32_t* peerAddress,
                      const std::atomic<uint8_t>* stop) {
    SocketClose(accepted);
    const int fd = static_cast<int>(listener.sock);
    // Waited for with poll, the accept itself must not block: a peer that
    // gave up in between leaves nothing to accept.
    if (stop) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    sockaddr_in addr;
    int s;
    for (;;) {
        if (stop) {
            Ready ready = WaitReady(fd, POLLIN, stop);
            if (ready == Ready::Stopped) return PeerWait::Stopped;
            if (ready == Ready::Failed) return PeerWait::Failed;
        }
        socklen_t len = sizeof addr;
        s = accept4(fd, reinterpret_cast<sockaddr*>(&addr), &len, SOCK_CLOEXEC);
        if (s >= 0) break;
        if (errno == EINTR) continue;
        if (stop && (errno == EAGAIN || errno == EWOULDBLOCK || errno == ECONNABORTED)) continue;
        SaveLastError();
        return PeerWait::Failed;
    }
    return TakeAccepted(accepted, s, addr, peerAddress);
}

namespace {
thread_local bool connectRefused = false;
}  // namespace

bool ConnectRefused() { return connectRefused; }

bool SocketPeerAddress(SocketHandle& sock, uint32_t* address, uint16_t* port) {
    sockaddr_in addr;
    socklen_t len = sizeof addr;
    if (getpeername(static_cast<int>(sock.sock), reinterpret_cast<sockaddr*>(&addr), &len) != 0 || addr.sin_family != AF_INET) return false;
    *address = addr.sin_addr.s_addr;
    *port = ntohs(addr.sin_port);
    return true;
}

PeerWait SocketAcceptWithin(SocketHandle& listener, SocketHandle& accepted, uint32_t* peerAddress, int waitMs) {
    SocketClose(accepted);
    const int fd = static_cast<int>(listener.sock);
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    pollfd ready{fd, POLLIN, 0};
    const int n = poll(&ready, 1, waitMs);
    if (n < 0 && errno != EINTR) {
        SaveLastError();
        return PeerWait::Failed;
    }
    if (n <= 0) return PeerWait::TimedOut;
    sockaddr_in addr;
    socklen_t len = sizeof addr;
    const int s = accept4(fd, reinterpret_cast<sockaddr*>(&addr), &len, SOCK_CLOEXEC);
    if (s < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ECONNABORTED || errno == EINTR) return PeerWait::TimedOut;
        SaveLastError();
        return PeerWait::Failed;
    }
    return TakeAccepted(accepted, s, addr, peerAddress);
}

PeerWait SocketConnect(SocketHandle& sock, uint32_t address, uint16_t port, const std::atomic<uint8_t>* stop) {
    connectRefused = false;
    sockaddr_in addr = MakeAddress(address, port);
    const int fd = static_cast<int>(sock.sock);
    if (!stop) {
        if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0) {
            SaveLastError();
            connectRefused = errno == ECONNREFUSED;
            return PeerWait::Failed;
        }
        PrepareConnected(fd);
        return PeerWait::Connected;
    }
    // Started without blocking and waited for with poll; the socket is
    // blocking again afterwards.
    const int flags = fcntl(fd, F_GETFL);
    fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    PeerWait result = PeerWait::Connected;
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0) {
        if (errno != EINPROGRESS && errno != EINTR) {
            SaveLastError();
            connectRefused = errno == ECONNREFUSED;
            result = PeerWait::Failed;
        } else {
            switch (WaitReady(fd, POLLOUT, stop)) {
            case Ready::Stopped: result = PeerWait::Stopped; break;
            case Ready::Failed: result = PeerWait::Failed; break;
            case Ready::Yes: {
                int err = 0;
                socklen_t len = sizeof err;
                if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
                if (err != 0) {
                    errno = err;
                    SaveLastError();
                    connectRefused = errno == ECONNREFUSED;
                    result = PeerWait::Failed;
                }
                break;
            }
            }
        }
    }
    fcntl(fd, F_SETFL, flags);
    if (result == PeerWait::Connected) PrepareConnected(fd);
    return result;
}

void InterruptSocketWaits() {
    const int fd = wakeWrite.load();
    if (fd < 0) return;
    const int saved = errno;  // a signal handler must leave errno as it found it
    const char byte = 1;
    ssize_t ignored = write(fd, &byte, 1);
    (void)ignored;
    errno = saved;
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

namespace {
NetResult ReceiveWithFlags(SocketHandle& sock, void* buffer, int count, int* moved, int flags) {
    ssize_t n = recv(static_cast<int>(sock.sock), buffer, static_cast<size_t>(count), flags);
    *moved = 0;
    if (n < 0) {
        SaveLastError();
        return Classify(errno);
    }
    if (n == 0) return count == 0 ? NetResult::Moved : NetResult::Closed;
    *moved = static_cast<int>(n);
    return NetResult::Moved;
}
}  // namespace

NetResult SocketReceive(SocketHandle& sock, void* buffer, int count, int* moved) {
    return ReceiveWithFlags(sock, buffer, count, moved, 0);
}

NetResult SocketReceiveNow(SocketHandle& sock, void* buffer, int count, int* moved) {
    return ReceiveWithFlags(sock, buffer, count, moved, MSG_DONTWAIT);
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

std::vector<uint32_t> LocalIpv4Addresses() {
    std::vector<uint32_t> addresses;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return addresses;
    for (const ifaddrs* a = list; a; a = a->ifa_next) {
        if (!a->ifa_addr || a->ifa_addr->sa_family != AF_INET || !(a->ifa_flags & IFF_UP)) continue;
        const uint32_t address = reinterpret_cast<const sockaddr_in*>(a->ifa_addr)->sin_addr.s_addr;
        if ((ntohl(address) >> 24) == 127) continue;
        addresses.push_back(address);
    }
    freeifaddrs(list);
    return addresses;
}
