// The exact-length moves of a transfer and what their outcomes mean for it
// (worker thread).
#include "wire/link.h"

const char kLostText[] = "相手との接続が切れました";
const char kSilentPeerText[] = "相手から30秒間応答がありませんでした";
const char kStalledPeerText[] = "相手とのデータの送受信が60秒間止まりました";

void EndLink(const char* line) { throw LinkEnded{line}; }

namespace {
// timedOutText: what a wait that ran into its silence limit shows.
void Settle(TransportResult result, const char* timedOutText = kStalledPeerText) {
    switch (result) {
    case TransportResult::Done: return;
    case TransportResult::Stopped: EndLink(nullptr);
    case TransportResult::Lost: EndLink(kLostText);
    case TransportResult::TimedOut: EndLink(timedOutText);
    }
}
}  // namespace

void SendAll(Link& link, const void* data, size_t count) {
    Settle(SendExact(*link.socket, data, count, *link.stop));
}

void ReceiveAll(Link& link, void* buffer, size_t count) {
    Settle(ReceiveExact(*link.socket, buffer, count, *link.stop));
}

void ReceiveFirstMessage(Link& link, void* buffer, size_t count) {
    Settle(ReceiveExact(*link.socket, buffer, count, *link.stop, nullptr, kFirstMessageLimitMs), kSilentPeerText);
}

void SendStream(Link& link, const void* data, size_t count) {
    Settle(SendExact(*link.socket, data, count, *link.stop, kStreamSilenceLimitMs));
}

TransportResult TryReceiveStream(Link& link, void* buffer, size_t count, size_t* received) {
    return ReceiveExact(*link.socket, buffer, count, *link.stop, received, kStreamSilenceLimitMs);
}

TransportResult TryReceiveSomeOfStream(Link& link, void* buffer, size_t least, size_t most, size_t* received) {
    return ReceiveSome(*link.socket, buffer, least, most, *link.stop, received, kStreamSilenceLimitMs);
}

void SettleReceive(TransportResult result) { Settle(result); }

size_t ReceiveArrived(Link& link, void* buffer, size_t count) {
    size_t arrived = 0;
    char* bytes = static_cast<char*>(buffer);
    while (arrived < count) {
        size_t want = count - arrived;
        if (want > (1u << 30)) want = 1u << 30;
        int n = 0;
        if (SocketReceiveNow(*link.socket, bytes + arrived, static_cast<int>(want), &n) != NetResult::Moved || n == 0)
            break;
        arrived += static_cast<size_t>(n);
    }
    return arrived;
}
