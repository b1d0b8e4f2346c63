// IPv4 TCP sockets for the connection of one transfer, each owned by a
// SocketHandle that closes it. A connected socket (SocketAccept,
// SocketConnect) sends short messages at once (TCP_NODELAY), notices a peer
// whose host has vanished (keepalive probes, and a limit on data that the
// peer never acknowledges), and no send or receive call on it waits longer
// than kSocketWaitSliceMs, so that the caller can look at its stop flag and
// its own time limits while the peer is silent. Used by the worker thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

struct SocketHandle {
    intptr_t sock = -1;  // descriptor or SOCKET; -1 when closed

    SocketHandle() = default;
    SocketHandle(const SocketHandle&) = delete;
    SocketHandle& operator=(const SocketHandle&) = delete;
    SocketHandle(SocketHandle&& other) noexcept : sock(other.sock) { other.sock = -1; }
    SocketHandle& operator=(SocketHandle&& other) noexcept;
    ~SocketHandle();

    bool IsOpen() const { return sock != -1; }
};

// The longest that one SocketSend or SocketReceive call on a connected
// socket waits for the peer before it returns Transient with nothing moved.
constexpr int kSocketWaitSliceMs = 200;
// A connected peer that answers nothing at all (its host gone, a cable
// pulled: no FIN, no reset) is given up after about this long, whether this
// side waits to receive (keepalive probes from 10 s of silence on, every
// 5 s) or has sent data that is never acknowledged. A live peer's system
// answers the probes, so a peer that is merely slow is never cut off.
constexpr int kDeadPeerSeconds = 40;
// The keepalive probes behind it: the first after this much silence, then
// one every kKeepaliveIntervalSeconds until kDeadPeerSeconds have passed.
constexpr int kKeepaliveIdleSeconds = 10;
constexpr int kKeepaliveIntervalSeconds = 5;

// How a failed send or receive is to be taken.
enum class NetResult {
    Moved,           // some bytes moved (the count is returned separately)
    Closed,          // the peer closed the connection (receive returned 0)
    Transient,       // interrupted, waited a slice, no buffer space: try again
    ConnectionLost,  // reset, aborted, broken pipe, dead peer, network down, ...
};

// Starts the socket library for one connection attempt (Winsock 1.1 on
// Windows, nothing elsewhere). The result is not needed by callers.
void SocketsStartup();
bool SocketOpenTcp(SocketHandle& sock);
void SocketClose(SocketHandle& sock);
// Binds to every local interface (INADDR_ANY) at port. On POSIX the port
// may still hold connections of an earlier transfer in TIME_WAIT.
bool SocketBindAny(SocketHandle& sock, uint16_t port);
bool SocketListen(SocketHandle& sock, int backlog);

// How a wait for the peer ended.
enum class PeerWait {
    Connected,
    Failed,   // the system's error is saved
    Stopped,  // woken by InterruptSocketWaits while *stop held 1
    TimedOut, // SocketAcceptWithin: no peer came in time
};
// Accepts one connection; *peerAddress receives the peer's IPv4 address in
// network byte order. With stop given, the wait can be ended by
// InterruptSocketWaits (POSIX; on Windows it blocks until a peer comes).
PeerWait SocketAccept(SocketHandle& listener, SocketHandle& accepted, uint32_t* peerAddress,
                      const std::atomic<uint8_t>* stop = nullptr);
// Accepts a connection that is waiting or arrives within waitMs, never
// waiting longer (a peer that gave up in between leaves nothing to accept):
// for a thread that looks at its own flag between calls.
PeerWait SocketAcceptWithin(SocketHandle& listener, SocketHandle& accepted, uint32_t* peerAddress, int waitMs);
// address in network byte order, as ParseIpv4 gives it; stop as above.
PeerWait SocketConnect(SocketHandle& sock, uint32_t address, uint16_t port,
                       const std::atomic<uint8_t>* stop = nullptr);
// Whether the calling thread's last SocketConnect failed because nothing
// listened at the port (the peer's host answered with a refusal): a peer
// that is not up yet, as opposed to one that cannot be reached.
bool ConnectRefused();
// Makes a SocketAccept or SocketConnect that waits with a stop flag look at
// it now, or the next one as soon as it starts, if none waits yet. Safe to
// call from a signal handler; the caller sets the flag first.
void InterruptSocketWaits();
// One send or recv call. *moved receives the bytes moved on Moved.
NetResult SocketSend(SocketHandle& sock, const void* data, int count, int* moved);
NetResult SocketReceive(SocketHandle& sock, void* buffer, int count, int* moved);
// One recv call that never waits: Transient when nothing has arrived.
NetResult SocketReceiveNow(SocketHandle& sock, void* buffer, int count, int* moved);
// inet_addr: the numeric IPv4 address of text in network byte order, or
// 0xFFFFFFFF when text is not one. No name is looked up.
uint32_t ParseIpv4(const char* text);
// Dotted-decimal text of an address in network byte order.
void FormatIpv4(uint32_t address, char* text, int size);
// The IPv4 address of host (a dotted-decimal address or a host name looked
// up once), in network byte order. On failure the thread's last error
// (SystemErrorText) says why. Used by the command-line peer before a
// transfer starts.
bool ResolveHostIpv4(const char* host, uint32_t* address);
// This machine's IPv4 addresses other than loopback ones (127.0.0.0/8), in
// network byte order, for telling the user where a peer can reach it.
// Empty when there are none or they cannot be found.
std::vector<uint32_t> LocalIpv4Addresses();
