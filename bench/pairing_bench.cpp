// Times the pairing with a code itself: both sides of it in this process,
// over a loopback connection, many times; prints the mean time of one
// pairing (both sides at once, as two peers would) and the cipher that the
// records of this build on this processor use.
#include <atomic>
#include <cstdio>
#include <thread>

#include "platform/net.h"
#include "platform/thread.h"
#include "wire/link.h"
#include "wire/pairing.h"
#include "wire/records.h"

int main() {
    constexpr int kRounds = 500;
    const char code[] = "bench-code-1234";
    const uint32_t clientWord = OfferWord(1, 2, kOptionPaired), serverWord = OfferWord(0, 2, kOptionPaired);
    std::atomic<uint8_t> stop{0};
    SocketHandle listener;
    uint16_t port = 0;
    SocketsStartup();
    for (uint16_t p = 47900; p < 48000 && port == 0; ++p)
        if (SocketOpenTcp(listener) && SocketBindAny(listener, p) && SocketListen(listener, 1)) port = p;
    if (port == 0) return 1;
    SocketHandle client, server;
    std::thread accept([&] { SocketAccept(listener, server, nullptr); });
    if (!SocketOpenTcp(client) || SocketConnect(client, ParseIpv4("127.0.0.1"), port) != PeerWait::Connected) return 1;
    accept.join();
    Link clientLink{&client, &stop, &kProtocol2, nullptr}, serverLink{&server, &stop, &kProtocol2, nullptr};
    RecordCipher cipher = RecordCipher::kChaCha20Poly1305;
    const uint64_t started = MonotonicMilliseconds();
    for (int i = 0; i < kRounds; ++i) {
        std::thread other([&] { PairWithCode(serverLink, code, sizeof code - 1, clientWord, serverWord, false); });
        RecordChannelPtr channel = PairWithCode(clientLink, code, sizeof code - 1, clientWord, serverWord, true);
        other.join();
        cipher = ChannelCipher(*channel);
    }
    const double ms = static_cast<double>(MonotonicMilliseconds() - started) / kRounds;
    printf("pairing: %.3f ms\n", ms);
    printf("cipher: %s\n", RecordCipherName(cipher));
    return 0;
}
