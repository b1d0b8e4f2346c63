// IPv4 TCP sockets for the connection of one transfer: blocking sockets with
// the system's default options, each owned by a SocketHandle that closes it.
// Used by the worker thread.
#pragma once

#include <cstdint>

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

// How a failed send or receive is to be taken.
enum class NetResult {
    Moved,           // some bytes moved (the count is returned separately)
    Closed,          // the peer closed the connection (receive returned 0)
    Transient,       // interrupted, would block, no buffer space: try again
    ConnectionLost,  // reset, aborted, broken pipe, timed out, network down, ...
};

// Starts the socket library for one connection attempt (Winsock 1.1 on
// Windows, nothing elsewhere). The result is not needed by callers.
void SocketsStartup();
bool SocketOpenTcp(SocketHandle& sock);
void SocketClose(SocketHandle& sock);
// Binds to every local interface (INADDR_ANY) at port.
bool SocketBindAny(SocketHandle& sock, uint16_t port);
bool SocketListen(SocketHandle& sock, int backlog);
// Accepts one connection; *peerAddress receives the peer's IPv4 address in
// network byte order.
bool SocketAccept(SocketHandle& listener, SocketHandle& accepted, uint32_t* peerAddress);
// address in network byte order, as ParseIpv4 gives it.
bool SocketConnect(SocketHandle& sock, uint32_t address, uint16_t port);
// One send or recv call. *moved receives the bytes moved on Moved.
NetResult SocketSend(SocketHandle& sock, const void* data, int count, int* moved);
NetResult SocketReceive(SocketHandle& sock, void* buffer, int count, int* moved);
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
