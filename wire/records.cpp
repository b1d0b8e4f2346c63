// The encrypted records of a paired connection (worker thread).
#include "wire/records.h"

#include <sodium.h>

#include <cstring>

#include "platform/memory.h"
#include "wire/ended.h"
#include "wire/protocol.h"

const char kBadRecordText[] = "暗号化されたデータが正しくありません (改ざんされたか、壊れています)";

// The expanded keys of AES-256-GCM must lie on a 16-byte boundary, which
// new does not promise everywhere (32-bit MinGW gives 8): they are placed
// by hand in room for both.
constexpr size_t kStateAlignment = 16;
using AesState = crypto_aead_aes256gcm_state;

struct RecordChannel {
    RecordCipher cipher;
    unsigned char stateRoom[2 * sizeof(AesState) + kStateAlignment];
    AesState* sendState;                       // AES-256-GCM: the expanded keys, in stateRoom
    AesState* receiveState;
    uint8_t sendKey[kRecordKeySize];           // ChaCha20-Poly1305
    uint8_t receiveKey[kRecordKeySize];
    uint64_t sendCounter = 0;                  // the number of the next record
    uint64_t receiveCounter = 0;
    DataBuffer out{kRecordHeaderSize + kMaxRecordPlain + kRecordTagSize};  // a record being sent
    DataBuffer in{kRecordHeaderSize + kMaxRecordPlain + kRecordTagSize};   // a record being received
    size_t inHave = 0;                         // its bytes that are in
    size_t plainAt = 0, plainEnd = 0;          // its opened bytes not yet delivered, in in
};

void RecordChannelDeleter::operator()(RecordChannel* channel) const {
    sodium_memzero(channel->stateRoom, sizeof channel->stateRoom);
    sodium_memzero(channel->sendKey, sizeof channel->sendKey);
    sodium_memzero(channel->receiveKey, sizeof channel->receiveKey);
    delete channel;
}

const char* RecordCipherName(RecordCipher cipher) {
    return cipher == RecordCipher::kAes256Gcm ? "AES-256-GCM" : "ChaCha20-Poly1305";
}

bool HaveAesGcm() { return sodium_init() >= 0 && crypto_aead_aes256gcm_is_available() == 1; }

RecordChannelPtr MakeRecordChannel(RecordCipher cipher, const uint8_t* sendKey, const uint8_t* receiveKey) {
    RecordChannelPtr channel(new RecordChannel);
    channel->cipher = cipher;
    const uintptr_t room = reinterpret_cast<uintptr_t>(channel->stateRoom);
    unsigned char* aligned = channel->stateRoom + (kStateAlignment - room % kStateAlignment) % kStateAlignment;
    channel->sendState = reinterpret_cast<AesState*>(aligned);
    channel->receiveState = reinterpret_cast<AesState*>(aligned + sizeof(AesState));
    memcpy(channel->sendKey, sendKey, kRecordKeySize);
    memcpy(channel->receiveKey, receiveKey, kRecordKeySize);
    if (cipher == RecordCipher::kAes256Gcm) {
        crypto_aead_aes256gcm_beforenm(channel->sendState, sendKey);
        crypto_aead_aes256gcm_beforenm(channel->receiveState, receiveKey);
    }
    return channel;
}

RecordCipher ChannelCipher(const RecordChannel& channel) { return channel.cipher; }

namespace {
constexpr size_t kNonceSize = 12;

void MakeNonce(uint64_t counter, uint8_t* nonce) {
    memset(nonce, 0, 4);
    PutLittleEndian(nonce + 4, counter, 8);
}

// Seals n bytes of data into a record in out: header, ciphertext, tag (the
// plaintext is read where it lies, with no copy first).
void Seal(RecordChannel& channel, const uint8_t* data, size_t n) {
    uint8_t* record = channel.out.get();
    PutLittleEndian(record, n, kRecordHeaderSize);
    uint8_t nonce[kNonceSize];
    MakeNonce(channel.sendCounter++, nonce);
    uint8_t* text = record + kRecordHeaderSize;
    if (channel.cipher == RecordCipher::kAes256Gcm)
        crypto_aead_aes256gcm_encrypt_detached_afternm(text, text + n, nullptr, data, n, record, kRecordHeaderSize,
                                                       nullptr, nonce, channel.sendState);
    else
        crypto_aead_chacha20poly1305_ietf_encrypt_detached(text, text + n, nullptr, data, n, record, kRecordHeaderSize,
                                                           nullptr, nonce, channel.sendKey);
}

// The length of the record whose header is in; a length out of bounds ends
// the transfer.
size_t RecordLength(const RecordChannel& channel) {
    const uint64_t length = GetLittleEndian(channel.in.get(), kRecordHeaderSize);
    if (length == 0 || length > kMaxRecordPlain) EndLink(kBadRecordText);
    return static_cast<size_t>(length);
}

// Opens n bytes of ciphertext at text, in place, with their tag and the
// header in in; a record that does not open ends the transfer.
void OpenAt(RecordChannel& channel, uint8_t* text, size_t n, const uint8_t* tag) {
    uint8_t nonce[kNonceSize];
    MakeNonce(channel.receiveCounter, nonce);
    const uint8_t* header = channel.in.get();
    const int failed =
        channel.cipher == RecordCipher::kAes256Gcm
            ? crypto_aead_aes256gcm_decrypt_detached_afternm(text, nullptr, text, n, tag, header, kRecordHeaderSize,
                                                             nonce, channel.receiveState)
            : crypto_aead_chacha20poly1305_ietf_decrypt_detached(text, nullptr, text, n, tag, header,
                                                                 kRecordHeaderSize, nonce, channel.receiveKey);
    if (failed != 0) EndLink(kBadRecordText);
    ++channel.receiveCounter;
}

// Opens the whole record in in, in place: its bytes become the ones to
// deliver.
void Open(RecordChannel& channel) {
    const size_t n = RecordLength(channel);
    uint8_t* text = channel.in.get() + kRecordHeaderSize;
    OpenAt(channel, text, n, text + n);
    channel.plainAt = kRecordHeaderSize;
    channel.plainEnd = kRecordHeaderSize + n;
    channel.inHave = 0;
}

// The raw bytes that the record being received still lacks: its header
// first, then its ciphertext and tag.
size_t Missing(const RecordChannel& channel) {
    if (channel.inHave < kRecordHeaderSize) return kRecordHeaderSize - channel.inHave;
    return kRecordHeaderSize + RecordLength(channel) + kRecordTagSize - channel.inHave;
}

// Hands out opened bytes, up to room; returns how many.
size_t Deliver(RecordChannel& channel, uint8_t* to, size_t room) {
    size_t n = channel.plainEnd - channel.plainAt;
    if (n > room) n = room;
    memcpy(to, channel.in.get() + channel.plainAt, n);
    channel.plainAt += n;
    return n;
}
}  // namespace

TransportResult SendSealed(RecordChannel& channel, SocketHandle& sock, const std::atomic<uint8_t>& stop,
                           const void* data, size_t count, uint64_t silenceLimitMs) {
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    while (count > 0) {
        const size_t n = count < kMaxRecordPlain ? count : kMaxRecordPlain;
        Seal(channel, bytes, n);
        const TransportResult result =
            SendExact(sock, channel.out.get(), kRecordHeaderSize + n + kRecordTagSize, stop, silenceLimitMs);
        if (result != TransportResult::Done) return result;
        bytes += n;
        count -= n;
    }
    return TransportResult::Done;
}

TransportResult ReceiveOpened(RecordChannel& channel, SocketHandle& sock, const std::atomic<uint8_t>& stop,
                              void* buffer, size_t least, size_t most, size_t* received, uint64_t silenceLimitMs) {
    uint8_t* to = static_cast<uint8_t*>(buffer);
    size_t got = Deliver(channel, to, most);
    while (got < least) {
        // Records are opened one at a time, whole: their bytes are
        // delivered only once they are known to be the peer's. A record
        // that fits where its bytes go is received there and opened in
        // place (its tag beside its header): no copy. A failure leaves
        // nothing to resume; the transfer ends.
        if (channel.plainAt == channel.plainEnd && channel.inHave == 0) {
            size_t moved = 0;
            TransportResult result =
                ReceiveExact(sock, channel.in.get(), kRecordHeaderSize, stop, &moved, silenceLimitMs);
            channel.inHave = moved;
            if (result == TransportResult::Done && RecordLength(channel) <= most - got) {
                const size_t n = RecordLength(channel);
                uint8_t* tag = channel.in.get() + kRecordHeaderSize;
                result = ReceiveExact(sock, to + got, n, stop, &moved, silenceLimitMs);
                if (result == TransportResult::Done)
                    result = ReceiveExact(sock, tag, kRecordTagSize, stop, &moved, silenceLimitMs);
                if (result == TransportResult::Done) {
                    OpenAt(channel, to + got, n, tag);
                    channel.inHave = 0;
                    got += n;
                    continue;
                }
            }
            if (result != TransportResult::Done) {
                *received = got;
                return result;
            }
        }
        while (channel.plainAt == channel.plainEnd) {
            size_t moved = 0;
            const size_t missing = Missing(channel);
            const TransportResult result =
                ReceiveExact(sock, channel.in.get() + channel.inHave, missing, stop, &moved, silenceLimitMs);
            channel.inHave += moved;
            if (result != TransportResult::Done) {
                *received = got;
                return result;
            }
            if (channel.inHave > kRecordHeaderSize && Missing(channel) == 0) Open(channel);
        }
        got += Deliver(channel, to + got, most - got);
    }
    *received = got;
    return TransportResult::Done;
}

size_t ReceiveOpenedNow(RecordChannel& channel, SocketHandle& sock, void* buffer, size_t count) {
    uint8_t* to = static_cast<uint8_t*>(buffer);
    size_t got = Deliver(channel, to, count);
    while (got < count) {
        int n = 0;
        const size_t missing = Missing(channel);
        if (SocketReceiveNow(sock, channel.in.get() + channel.inHave, static_cast<int>(missing), &n) !=
                NetResult::Moved ||
            n == 0)
            break;
        channel.inHave += static_cast<size_t>(n);
        if (channel.inHave > kRecordHeaderSize && Missing(channel) == 0) {
            Open(channel);
            got += Deliver(channel, to + got, count - got);
        }
    }
    return got;
}
