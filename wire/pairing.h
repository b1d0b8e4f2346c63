// Pairing with a code: two peers that were given the same code prove it to
// each other without revealing it, and agree on the keys of the records
// that carry the rest of the transfer (wire/records.h). A balanced PAKE in
// the manner of CPace over ristretto255 (libsodium): a recorded exchange
// gives no offline guess at the code, and a peer that tries codes gets one
// guess per connection. The keys are bound to the two file-type words that
// came before, so a relay that changed them (to hide an offer, say) makes
// the pairing fail. docs/PROTOCOL.md has the exact construction. Worker
// thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "wire/link.h"
#include "wire/records.h"

// A code is any text of at least this many characters, at most
// kMaxCodeBytes bytes long, as UTF-8; spaces and dashes do not count, so
// "4821-0937-5512-6630", "4821 0937 5512 6630" and "4821093755126630" are
// one code.
constexpr size_t kMinCodeCharacters = 6;
constexpr size_t kMaxCodeBytes = 255;
enum class CodeCheck { kOk, kTooShort, kTooLong, kNotText };
// The bytes with which a code pairs: typed (UTF-8; the window converts what
// was typed first) without its spaces and dashes, into *bytes when kOk.
CodeCheck CodeBytes(const std::string& typed, std::string* bytes);

// Pairs over link, the Client (isClient) or the Server, with code (length
// bytes); the words are the Client's and the Server's file-type words as
// they crossed the wire. Returns the channel of the
// records; a peer that holds another code, or a changed exchange, ends the
// transfer with kPairingFailedText.
RecordChannelPtr PairWithCode(Link& link, const char* code, size_t length, uint32_t clientWord,
                              uint32_t serverWord, bool isClient);

// A new code that is easy to read aloud and type: four groups of four
// digits (53 bits), "1234-5678-9012-3456", into out (at least 20 bytes).
// False, with out empty, when the random generator cannot start.
bool MakeNewCode(char* out);
