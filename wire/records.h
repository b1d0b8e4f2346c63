// The encrypted records of a paired connection: once two peers have paired
// with a code (wire/pairing.h), every byte in both directions travels in
// AEAD records, each length-prefixed and sealed with the key of its
// direction and a counter nonce, so that a record that was changed,
// replayed, reordered or left out fails to open. The link's moves
// (wire/link.h) go through here when the link has a channel. Worker thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include <atomic>

#include "net/transport.h"
#include "platform/net.h"

// The AEAD of a channel: AES-256-GCM where both peers' processors have the
// AES instructions, else ChaCha20-Poly1305 (IETF).
enum class RecordCipher { kAes256Gcm, kChaCha20Poly1305 };
const char* RecordCipherName(RecordCipher cipher);
// Whether this processor runs AES-256-GCM (libsodium tells at run time).
bool HaveAesGcm();

// A record: the plaintext's length (4 bytes, little-endian, 1 to
// kMaxRecordPlain), the ciphertext, and the 16-byte tag. The length is the
// associated data; the nonce is 4 zero bytes and the record's number in
// its direction (8 bytes, little-endian, from 0).
constexpr size_t kRecordHeaderSize = 4;
constexpr size_t kRecordTagSize = 16;
constexpr size_t kMaxRecordPlain = 256u << 10;
constexpr size_t kRecordKeySize = 32;

extern const char kBadRecordText[];  // a record that does not open

struct RecordChannel;
struct RecordChannelDeleter {
    void operator()(RecordChannel* channel) const;
};
using RecordChannelPtr = std::unique_ptr<RecordChannel, RecordChannelDeleter>;

// A channel with the keys of both directions (wiped when it is freed).
RecordChannelPtr MakeRecordChannel(RecordCipher cipher, const uint8_t* sendKey, const uint8_t* receiveKey);
RecordCipher ChannelCipher(const RecordChannel& channel);

// The moves of wire/link.h over a channel, with the same outcomes: count
// bytes sealed into records and sent; at least least and at most most
// bytes of opened records received (*received: the bytes delivered, also
// when the result is not Done); what has arrived and opens now, with no
// wait. A record that does not open ends the transfer with kBadRecordText
// (nothing of it is delivered).
TransportResult SendSealed(RecordChannel& channel, SocketHandle& sock, const std::atomic<uint8_t>& stop,
                           const void* data, size_t count, uint64_t silenceLimitMs);
TransportResult ReceiveOpened(RecordChannel& channel, SocketHandle& sock, const std::atomic<uint8_t>& stop,
                              void* buffer, size_t least, size_t most, size_t* received, uint64_t silenceLimitMs);
size_t ReceiveOpenedNow(RecordChannel& channel, SocketHandle& sock, void* buffer, size_t count);
