// Pairing with a code (worker thread; MakeNewCode any thread).
#include "wire/pairing.h"

#include "platform/text.h"

#include <sodium.h>

#include <cstdio>
#include <cstring>

#include "wire/messages.h"

namespace {
constexpr char kGeneratorLabel[] = "Blockmend pairing v1 generator";
constexpr char kSessionLabel[] = "Blockmend pairing v1 session";
constexpr char kConfirmClientLabel[] = "Blockmend pairing v1 confirm client";
constexpr char kConfirmServerLabel[] = "Blockmend pairing v1 confirm server";
constexpr char kClientToServerLabel[] = "Blockmend pairing v1 client to server";
constexpr char kServerToClientLabel[] = "Blockmend pairing v1 server to client";
constexpr size_t kKeySize = 32;
constexpr size_t kSessionKeySize = 64;
// Both words, then the Client's and the Server's pairing messages.
constexpr size_t kTranscriptSize = 4 + 4 + 2 * kPairingMessageSize;

// BLAKE2b of the label, keyed with key, into out (outLength bytes).
void KeyedHash(uint8_t* out, size_t outLength, const uint8_t* key, size_t keyLength, const char* label,
               const uint8_t* data = nullptr, size_t dataLength = 0) {
    crypto_generichash_state state;
    crypto_generichash_init(&state, key, keyLength, outLength);
    crypto_generichash_update(&state, reinterpret_cast<const uint8_t*>(label), strlen(label));
    if (data) crypto_generichash_update(&state, data, dataLength);
    crypto_generichash_final(&state, out, outLength);
}

// The generator of this code and these words: SHA-512 of the label, the
// code's length (1 byte), the code and both words, mapped to ristretto255.
void Generator(uint8_t* generator, const char* code, size_t length, const uint8_t* clientWord,
               const uint8_t* serverWord) {
    crypto_hash_sha512_state state;
    crypto_hash_sha512_init(&state);
    crypto_hash_sha512_update(&state, reinterpret_cast<const uint8_t*>(kGeneratorLabel), strlen(kGeneratorLabel));
    const uint8_t codeLength = static_cast<uint8_t>(length);
    crypto_hash_sha512_update(&state, &codeLength, 1);
    crypto_hash_sha512_update(&state, reinterpret_cast<const uint8_t*>(code), length);
    crypto_hash_sha512_update(&state, clientWord, 4);
    crypto_hash_sha512_update(&state, serverWord, 4);
    uint8_t hash[crypto_hash_sha512_BYTES];
    crypto_hash_sha512_final(&state, hash);
    crypto_core_ristretto255_from_hash(generator, hash);
    sodium_memzero(hash, sizeof hash);
}

// Secrets of one pairing, wiped however it ends.
struct Secrets {
    uint8_t generator[crypto_core_ristretto255_BYTES];
    uint8_t scalar[crypto_core_ristretto255_SCALARBYTES];
    uint8_t shared[crypto_scalarmult_ristretto255_BYTES];
    uint8_t session[kSessionKeySize];
    uint8_t confirmOwn[kKeySize], confirmPeer[kKeySize];
    uint8_t clientToServer[kKeySize], serverToClient[kKeySize];
    ~Secrets() { sodium_memzero(this, sizeof *this); }
};
}  // namespace

RecordChannelPtr PairWithCode(Link& link, const char* code, size_t length, uint32_t clientWordValue,
                              uint32_t serverWordValue, bool isClient) {
    if (sodium_init() < 0 || length > kMaxCodeBytes) EndLink(kPairingFailedText);
    uint8_t clientWord[4], serverWord[4];
    PutLittleEndian(clientWord, clientWordValue, 4);
    PutLittleEndian(serverWord, serverWordValue, 4);
    Secrets s;
    Generator(s.generator, code, length, clientWord, serverWord);
    crypto_core_ristretto255_scalar_random(s.scalar);
    uint8_t own[kPairingMessageSize], peer[kPairingMessageSize];
    if (crypto_scalarmult_ristretto255(own, s.scalar, s.generator) != 0) EndLink(kPairingFailedText);
    own[crypto_core_ristretto255_BYTES] = HaveAesGcm() ? kPairingCanAesGcm : 0;
    // Both send before they receive: 33 bytes wait in any buffer.
    SendPairingMessage(link, own);
    ReceivePairingMessage(link, peer);
    if (crypto_scalarmult_ristretto255(s.shared, s.scalar, peer) != 0) EndLink(kPairingFailedText);

    uint8_t transcript[kTranscriptSize];
    memcpy(transcript, clientWord, 4);
    memcpy(transcript + 4, serverWord, 4);
    memcpy(transcript + 8, isClient ? own : peer, kPairingMessageSize);
    memcpy(transcript + 8 + kPairingMessageSize, isClient ? peer : own, kPairingMessageSize);
    crypto_generichash_state state;
    crypto_generichash_init(&state, nullptr, 0, kSessionKeySize);
    crypto_generichash_update(&state, reinterpret_cast<const uint8_t*>(kSessionLabel), strlen(kSessionLabel));
    crypto_generichash_update(&state, s.shared, sizeof s.shared);
    crypto_generichash_update(&state, transcript, sizeof transcript);
    crypto_generichash_final(&state, s.session, sizeof s.session);

    // Each side proves that it holds the session key, and so the code.
    KeyedHash(s.confirmOwn, kKeySize, s.session, sizeof s.session, isClient ? kConfirmClientLabel : kConfirmServerLabel);
    KeyedHash(s.confirmPeer, kKeySize, s.session, sizeof s.session, isClient ? kConfirmServerLabel : kConfirmClientLabel);
    uint8_t ownTag[kPairingConfirmationSize], peerTag[kPairingConfirmationSize], expected[kPairingConfirmationSize];
    crypto_generichash(ownTag, sizeof ownTag, transcript, sizeof transcript, s.confirmOwn, kKeySize);
    crypto_generichash(expected, sizeof expected, transcript, sizeof transcript, s.confirmPeer, kKeySize);
    SendPairingConfirmation(link, ownTag);
    ReceivePairingConfirmation(link, peerTag);
    if (sodium_memcmp(expected, peerTag, sizeof expected) != 0) EndLink(kPairingFailedText);

    KeyedHash(s.clientToServer, kKeySize, s.session, sizeof s.session, kClientToServerLabel);
    KeyedHash(s.serverToClient, kKeySize, s.session, sizeof s.session, kServerToClientLabel);
    const bool aes = (own[crypto_core_ristretto255_BYTES] & peer[crypto_core_ristretto255_BYTES] & kPairingCanAesGcm) != 0;
    return MakeRecordChannel(aes ? RecordCipher::kAes256Gcm : RecordCipher::kChaCha20Poly1305,
                             isClient ? s.clientToServer : s.serverToClient,
                             isClient ? s.serverToClient : s.clientToServer);
}

bool MakeNewCode(char* out) {
    out[0] = '\0';
    if (sodium_init() < 0) return false;
    uint32_t groups[4];
    for (uint32_t& g : groups) g = randombytes_uniform(10000);
    snprintf(out, 20, "%04u-%04u-%04u-%04u", static_cast<unsigned>(groups[0]), static_cast<unsigned>(groups[1]),
             static_cast<unsigned>(groups[2]), static_cast<unsigned>(groups[3]));
    return true;
}

CodeCheck CodeBytes(const std::string& typed, std::string* bytes) {
    if (!IsUtf8(typed)) return CodeCheck::kNotText;
    std::string kept;
    size_t characters = 0;
    for (char c : typed) {
        if (c == ' ' || c == '-') continue;
        kept += c;
        if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++characters;
    }
    if (characters < kMinCodeCharacters) return CodeCheck::kTooShort;
    if (kept.size() > kMaxCodeBytes) return CodeCheck::kTooLong;
    *bytes = std::move(kept);
    return CodeCheck::kOk;
}
