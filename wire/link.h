// The connection of a transfer as the messages use it, and the exact-length
// send and receive through which every byte of the protocol passes, over
// the plain transport of net/: what each outcome of the transport means for
// a transfer. A failure ends the transfer by throwing LinkEnded, with the
// status line that says why; the engine's thread entry shows the line and
// ends the transfer. Worker thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "net/transport.h"
#include "platform/net.h"
#include "wire/ended.h"
#include "wire/protocol.h"

struct RecordChannel;

// One connected peer: its socket, the flag that Stop sets, the protocol
// that the handshake settled on (protocol 1 until then), and, once two
// peers have paired with a code, the channel whose records carry every
// byte (wire/records.h). The two counts add up the bytes of the
// protocol's messages that moved (before the records' encryption), for a
// front end's report.
struct Link {
    SocketHandle* socket = nullptr;
    const std::atomic<uint8_t>* stop = nullptr;
    const Protocol* protocol = &kProtocol1;
    RecordChannel* records = nullptr;
    uint64_t bytesSent = 0;
    uint64_t bytesReceived = 0;
};

extern const char kLostText[];         // the peer closed or lost the connection
extern const char kSilentPeerText[];   // no first message within kFirstMessageLimitMs
extern const char kStalledPeerText[];  // the repair's or the tail's data stopped

// Moves exactly count bytes, straight from or into the caller's buffer, or
// ends the transfer: on Stop seen after a short call, and at once when the
// peer has closed or lost the connection.
void SendAll(Link& link, const void* data, size_t count);
void ReceiveAll(Link& link, void* buffer, size_t count);

// ReceiveAll for a message that the peer owes at once: the first message
// of a connection, and the pairing messages that follow it. A peer that
// sends nothing for kFirstMessageLimitMs (a stray connection, a port scan,
// a peer that sends its word and stalls in the pairing) ends the transfer
// with kSilentPeerText. Other waits have no limit of their own: a slow
// peer may take hours over a checksum pass, a user may think over a
// question, and a vanished peer is noticed by the connection itself
// (kDeadPeerSeconds).
constexpr uint64_t kFirstMessageLimitMs = 30000;
void ReceiveDueMessage(Link& link, void* buffer, size_t count);

// The data of the repair and the tail flows without a pause for as long as
// both sides live, so those phases give up, with kStalledPeerText, once no
// byte has moved for kStreamSilenceLimitMs. This catches what the
// connection cannot: a peer whose end stays open although nobody reads or
// writes it any more (a killed Wine process's socket can stay open in its
// server), a peer whose process is stopped.
constexpr uint64_t kStreamSilenceLimitMs = 60000;
// SendAll for that data.
void SendStream(Link& link, const void* data, size_t count);
// A receive of that data in two steps, for a caller with work to finish
// before a failed receive ends the transfer: the Try function returns what
// happened and how many bytes arrived, and SettleReceive then ends the
// transfer as ReceiveAll would have (it returns only for Done).
TransportResult TryReceiveStream(Link& link, void* buffer, size_t count, size_t* received);
// The same for a stream taken in pieces: at least least bytes, and
// whatever else has arrived up to most.
TransportResult TryReceiveSomeOfStream(Link& link, void* buffer, size_t least, size_t most, size_t* received);
void SettleReceive(TransportResult result);

// What has arrived, up to count bytes, with no wait; 0 when nothing has or
// the connection failed (a failure is left for the next wait to find).
size_t ReceiveArrived(Link& link, void* buffer, size_t count);
