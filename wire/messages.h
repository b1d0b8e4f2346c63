// Every message of a transfer (docs/PROTOCOL.md), one Send and Receive pair
// each, over the link that the caller gives: the only code that lays bytes
// out on the wire or reads them back. Each value read is checked against
// its bounds where it is read; one that breaks them ends the transfer with
// its status line (LinkEnded). The sequence is the engine's. Worker thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "wire/link.h"
#include "wire/protocol.h"

extern const char kBadBlockSizeText[];  // a block-size word outside the ladder
extern const char kBadSizeText[];       // a size word beyond what the protocol carries
extern const char kPairingFailedText[]; // the pairing with a code failed

// The file-type word (4 bytes), the first message of either side: a plain
// FileType or an offer (OfferWord). A peer that sends none for
// kFirstMessageLimitMs is given up. A busy listener's answer (BusyWord)
// is read like any other word.
void SendFileTypeWord(Link& link, uint32_t word);
uint32_t ReceiveFileTypeWord(Link& link);

// The name record (Original to Nothing), kNameRecordSize bytes: the file's
// name in code page 932 (empty when it has no such form) and a zero byte;
// then, from a Blockmend Original whose name that form does not carry
// exactly, the name's UTF-8 form and a zero byte where both fit (a peer of
// protocol 1 takes what follows the first zero byte for padding); then
// zeros. A Nothing side that runs protocol 2 takes
// the UTF-8 form when there is one (and says so, kOptionUtf8Name).
void SendNameRecord(Link& link, const std::string& cp932, const std::string& utf8);
struct ReceivedName {
    std::string cp932;      // up to the first zero byte
    std::string utf8;       // between the first and the second zero byte; empty when none
    bool complete = false;  // the record has its first zero byte
};
ReceivedName ReceiveNameRecord(Link& link);
// A name received from the peer may only name a file directly inside the
// chosen folder: not empty, "." or "..", no separator, drive colon or
// control character (C0, DEL, and in UTF-8 C1), and no device name of
// Windows (CON, PRN, AUX, NUL, COM1-9, LPT1-9, with or without an
// extension). Walked as code page 932 characters, whose second bytes may be
// 0x5C, or as UTF-8 (utf8), which must be well-formed.
bool IsBareFileName(const std::string& name, bool utf8 = false);

// The name reply (Nothing to Original), one byte: 0 refused, else success;
// with protocol 2 offered, the version and options (as in an offer word's
// version byte), else 1.
struct NameReply {
    bool accepted;    // the Nothing side has its file and the transfer goes on
    int32_t version;  // the version it took: 1, or up to what was offered
    uint8_t options;  // its options (kOption...), with version 2 or later
};
void SendNameReply(Link& link, const NameReply& reply);
// offered: whether this side's word offered protocol 2; an answer to no
// offer is version 1 whatever its value.
NameReply ReceiveNameReply(Link& link, bool offered);

// A size word of the link's protocol (4 or 8 bytes): the Copy's size, or
// the whole file's size for a Nothing side. A size beyond what the
// protocol carries (2^63 and more in protocol 2) ends the transfer with
// kBadSizeText.
void SendSize(Link& link, uint64_t size);
uint64_t ReceiveSize(Link& link);

// The Original's answer to the Copy's size, in one send: the size flag,
// its own size word when the sizes differ, and the first block size unless
// the Copy is longer.
struct SizeAnswer {
    bool sizesDiffer;
    uint64_t originalSize;  // sent when sizesDiffer
    bool withBlockSize;
    uint32_t blockSize;     // sent when withBlockSize
};
void SendSizeAnswer(Link& link, const SizeAnswer& answer);
// Its parts as the Copy reads them: the flag (any non-zero byte means the
// sizes differ), the size (ReceiveSize), and the block-size word, which
// must be on the ladder (IsValidBlockSize), else kBadBlockSizeText ends
// the transfer.
bool ReceiveSizeFlag(Link& link);
uint32_t ReceiveBlockSize(Link& link);

// A checksum list: list.count entries of list.width bytes, as they stand.
// The receiver sizes the list from its own block list, so the peer never
// sets how much is read. ReceiveChecksumList reads what has not arrived
// yet; TakeInArrivedList takes what has arrived now, with no wait (the Copy
// does so during its own pass, so that the Original's list never waits on a
// closed window for as long as the pass lasts, which the connection would
// take for a dead peer).
void SendChecksumList(Link& link, const ChecksumList& list);
void ReceiveChecksumList(Link& link, ChecksumList& list);
void TakeInArrivedList(Link& link, ChecksumList& list);

// The bytes of damaged blocks and of the tail: a stream with no framing,
// given up after kStreamSilenceLimitMs without a byte. The receive is in
// two steps (see TryReceiveStream in wire/link.h).
void SendBlockData(Link& link, const uint8_t* data, size_t count);
TransportResult TryReceiveBlockData(Link& link, uint8_t* buffer, size_t count, size_t* received);
void SendTailData(Link& link, const uint8_t* data, size_t count);
TransportResult TryReceiveTailData(Link& link, uint8_t* buffer, size_t least, size_t most, size_t* received);

// The pairing messages of peers that pair with a code (wire/pairing.h),
// each side's in both directions: its ristretto255 element (32 bytes) and
// its capabilities (1 byte: kPairingCanAesGcm); then its confirmation
// (32 bytes). Both are due at once (ReceiveDueMessage). An element that is not a valid ristretto255 encoding ends the
// transfer with kPairingFailedText.
constexpr size_t kPairingMessageSize = 33;
constexpr size_t kPairingConfirmationSize = 32;
constexpr uint8_t kPairingCanAesGcm = 1;
void SendPairingMessage(Link& link, const uint8_t* message);
void ReceivePairingMessage(Link& link, uint8_t* message);
void SendPairingConfirmation(Link& link, const uint8_t* confirmation);
void ReceivePairingConfirmation(Link& link, uint8_t* confirmation);

// The whole-file digest of protocol 2: kDigestSize bytes.
void SendDigest(Link& link, const uint8_t* digest);
void ReceiveDigest(Link& link, uint8_t* digest);
