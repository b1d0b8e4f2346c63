// The exact-length moves of a transfer and what their outcomes mean for it
// (worker thread). On a paired link the bytes go through its records.
#include "wire/link.h"

#include "wire/records.h"

const char kLostText[] = "相手との接続が切れました";
const char kSilentPeerText[] = "相手から30秒間応答がありませんでした";
const char kStalledPeerText[] = "相手とのデータの送受信が60秒間止まりました";

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

TransportResult Send(Link& link, const void* data, size_t count, uint64_t silenceLimitMs) {
    const TransportResult result =
        link.records ? SendSealed(*link.records, *link.socket, *link.stop, data, count, silenceLimitMs)
                     : SendExact(*link.socket, data, count, *link.stop, silenceLimitMs);
    if (result == TransportResult::Done) link.bytesSent += count;
    return result;
}

TransportResult Receive(Link& link, void* buffer, size_t least, size_t most, size_t* received,
                        uint64_t silenceLimitMs) {
    *received = 0;
    TransportResult result;
    if (link.records)
        result = ReceiveOpened(*link.records, *link.socket, *link.stop, buffer, least, most, received, silenceLimitMs);
    else if (least == most)
        result = ReceiveExact(*link.socket, buffer, least, *link.stop, received, silenceLimitMs);
    else
        result = ReceiveSome(*link.socket, buffer, least, most, *link.stop, received, silenceLimitMs);
    link.bytesReceived += *received;
    return result;
}
}  // namespace

void SendAll(Link& link, const void* data, size_t count) { Settle(Send(link, data, count, 0)); }

void ReceiveAll(Link& link, void* buffer, size_t count) {
    size_t received = 0;
    Settle(Receive(link, buffer, count, count, &received, 0));
}

void ReceiveDueMessage(Link& link, void* buffer, size_t count) {
    size_t received = 0;
    Settle(Receive(link, buffer, count, count, &received, kFirstMessageLimitMs), kSilentPeerText);
}

void SendStream(Link& link, const void* data, size_t count) { Settle(Send(link, data, count, kStreamSilenceLimitMs)); }

TransportResult TryReceiveStream(Link& link, void* buffer, size_t count, size_t* received) {
    return Receive(link, buffer, count, count, received, kStreamSilenceLimitMs);
}

TransportResult TryReceiveSomeOfStream(Link& link, void* buffer, size_t least, size_t most, size_t* received) {
    return Receive(link, buffer, least, most, received, kStreamSilenceLimitMs);
}

void SettleReceive(TransportResult result) { Settle(result); }

size_t ReceiveArrived(Link& link, void* buffer, size_t count) {
    if (link.records) {
        const size_t opened = ReceiveOpenedNow(*link.records, *link.socket, buffer, count);
        link.bytesReceived += opened;
        return opened;
    }
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
    link.bytesReceived += arrived;
    return arrived;
}
