// The one TCP connection of a transfer and the exact-length send and receive
// through which every byte of the protocol passes, over the plain transport
// of net/. Worker thread.
#pragma once

#include <cstddef>

#include "net/transport.h"
#include "platform/net.h"

// Server (netRole 1): AcceptConnection; Client: ConnectToServer. Returns with
// dataSocket connected; every failure ends the transfer inside. A Stop that
// InterruptSocketWaits delivers (the command-line peer's stop signal) ends
// the wait for the peer through EndTransfer; the window's Stop does not.
void OpenConnection();
void AcceptConnection();
void ConnectToServer();

// Moves exactly count bytes, straight from or into the caller's buffer, or
// ends the transfer: on Stop seen after a short call, and at once when the
// peer has closed or lost the connection ("相手との接続が切れました").
void SendAll(SocketHandle& sock, const void* data, size_t count);
void ReceiveAll(SocketHandle& sock, void* buffer, size_t count);
// ReceiveAll for the first message that a connection owes this side: a
// peer that sends nothing for kFirstMessageLimitMs (a stray connection, a
// port scan) ends the transfer with kSilentPeerText. Later waits have no
// limit of their own: a slow peer may take hours over a checksum pass, and
// a vanished one is noticed by the connection itself (kDeadPeerSeconds).
constexpr uint64_t kFirstMessageLimitMs = 30000;
extern const char kSilentPeerText[];
void ReceiveFirstMessage(SocketHandle& sock, void* buffer, size_t count);
// The data of the repair and the tail flows without a pause for as long as
// both sides live, so those phases give up, with kStalledPeerText, once no
// byte has moved for kStreamSilenceLimitMs. This catches what the
// connection cannot: a peer whose end stays open although nobody reads or
// writes it any more (a killed Wine process's socket can stay open in its
// server), a peer whose process is stopped.
constexpr uint64_t kStreamSilenceLimitMs = 60000;
extern const char kStalledPeerText[];
// SendAll for the data of the repair and the tail.
void SendStream(SocketHandle& sock, const void* data, size_t count);
// ReceiveAll in two steps, for a caller with work to finish before a failed
// receive ends the transfer: TryReceiveAll returns what happened and how
// many bytes arrived, and SettleReceive then ends the transfer as
// ReceiveAll would have (it returns only for Done). For the repair's data.
TransportResult TryReceiveAll(SocketHandle& sock, void* buffer, size_t count, size_t* received);
void SettleReceive(TransportResult result);
// The same for a stream that the caller takes in pieces: at least least
// bytes, and whatever else has arrived up to most. For the tail's data.
TransportResult TryReceiveSome(SocketHandle& sock, void* buffer, size_t least, size_t most, size_t* received);
