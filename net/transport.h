// Exact-length transfer over one connected TCP socket: plain transport, with
// no knowledge of a transfer. The caller passes the flag that asks it to
// give up and decides what each outcome means. Any one thread per socket.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform/net.h"

enum class TransportResult {
    Done,     // every byte moved
    Stopped,  // stop was set when a call left the message short
    Lost,     // the peer closed the connection, or it broke
    TimedOut, // nothing moved for the caller's silence limit
};

// Move exactly count bytes, straight from or into the caller's buffer. A
// short or transient call is made again at once; stop is looked at only
// after a call that left the message short (a call waits one slice at most,
// kSocketWaitSliceMs), so a message that the first call moves whole is
// never interrupted.
// silenceLimitMs, when not 0, gives up with TimedOut once no byte has moved
// for that long.
TransportResult SendExact(SocketHandle& sock, const void* data, size_t count, const std::atomic<uint8_t>& stop,
                          uint64_t silenceLimitMs = 0);
// received, when given, is set to the bytes that did arrive, also when the
// message is left short.
TransportResult ReceiveExact(SocketHandle& sock, void* buffer, size_t count, const std::atomic<uint8_t>& stop,
                             size_t* received = nullptr, uint64_t silenceLimitMs = 0);
// Receives what has arrived, at least least and at most most bytes, with
// *received set as above. Stop is looked at as in ReceiveExact, while fewer
// than least bytes have arrived.
TransportResult ReceiveSome(SocketHandle& sock, void* buffer, size_t least, size_t most,
                            const std::atomic<uint8_t>& stop, size_t* received, uint64_t silenceLimitMs = 0);
