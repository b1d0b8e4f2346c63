// Exact-length send and receive (any thread; one per socket).
#include "net/transport.h"

#include "platform/thread.h"

namespace {
// Calls are capped so that a count always fits the socket calls' int.
constexpr size_t kMaxCall = 1u << 30;

// Moves count bytes, or, with most beyond count, up to most bytes, ending
// with the first call after which count bytes have moved.
// silenceLimitMs, when not 0, ends the wait once no byte has moved for
// that long.
template <typename Call>
TransportResult MoveAll(SocketHandle& sock, size_t count, const std::atomic<uint8_t>& stop, Call call,
                        size_t* movedOut = nullptr, size_t most = 0, uint64_t silenceLimitMs = 0) {
    size_t local = 0;
    size_t& moved = movedOut ? *movedOut : local;
    moved = 0;
    if (most < count) most = count;
    uint64_t lastMoved = silenceLimitMs != 0 ? MonotonicMilliseconds() : 0;
    while (moved < count) {
        size_t want = most - moved;
        if (want > kMaxCall) want = kMaxCall;
        int n = 0;
        switch (call(sock, moved, static_cast<int>(want), &n)) {
        case NetResult::Moved: moved += static_cast<size_t>(n); break;
        case NetResult::Transient: break;
        case NetResult::Closed:
        case NetResult::ConnectionLost: return TransportResult::Lost;
        }
        if (moved >= count) break;
        if (stop.load() == 1) return TransportResult::Stopped;
        if (silenceLimitMs != 0) {
            const uint64_t now = MonotonicMilliseconds();
            if (n > 0) lastMoved = now;
            else if (now - lastMoved >= silenceLimitMs) return TransportResult::TimedOut;
        }
    }
    return TransportResult::Done;
}
}  // namespace

TransportResult SendExact(SocketHandle& sock, const void* data, size_t count, const std::atomic<uint8_t>& stop,
                          uint64_t silenceLimitMs) {
    const char* bytes = static_cast<const char*>(data);
    return MoveAll(
        sock, count, stop,
        [bytes](SocketHandle& s, size_t at, int n, int* moved) { return SocketSend(s, bytes + at, n, moved); },
        nullptr, 0, silenceLimitMs);
}

TransportResult ReceiveExact(SocketHandle& sock, void* buffer, size_t count, const std::atomic<uint8_t>& stop,
                             size_t* received, uint64_t silenceLimitMs) {
    char* bytes = static_cast<char*>(buffer);
    return MoveAll(
        sock, count, stop,
        [bytes](SocketHandle& s, size_t at, int n, int* moved) { return SocketReceive(s, bytes + at, n, moved); },
        received, 0, silenceLimitMs);
}

TransportResult ReceiveSome(SocketHandle& sock, void* buffer, size_t least, size_t most,
                            const std::atomic<uint8_t>& stop, size_t* received, uint64_t silenceLimitMs) {
    char* bytes = static_cast<char*>(buffer);
    return MoveAll(
        sock, least, stop,
        [bytes](SocketHandle& s, size_t at, int n, int* moved) { return SocketReceive(s, bytes + at, n, moved); },
        received, most, silenceLimitMs);
}
