// The two protocols as tables: what differs between them, message by
// message (the width of a size word and of a checksum, the block checksum,
// whether a digest ends the transfer), and the wire form of the values
// that the messages carry (little-endian integers, checksum lists, the
// file-type word that offers protocol 2). The sequence of the messages is
// the engine's; wire/messages.h sends and receives them. Pure data and
// functions, any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "wire/strong_hash.h"

constexpr size_t kNameRecordSize = 260;
constexpr size_t kDigestSize = 16;

// One block's checksum while the block's bytes go in, in file order.
struct BlockSum {
    uint64_t at;       // file offset of the next byte
    uint16_t crc;      // protocol 1: the CRC-16 so far
    U128 sum;          // protocol 2: the terms of the chunks finished so far
    uint32_t staged;   // protocol 2: bytes of a chunk that began in an earlier piece
    uint8_t stage[kChunkSize];
};

// What differs between the protocols. Everything else (the sequence, the
// refinement, the status lines) is shared.
struct Protocol {
    int32_t version;
    const char* statusLine;  // shown once the handshake chose it; null for protocol 1
    size_t sizeBytes;        // a size word: the sender's file size
    size_t crcBytes;         // one entry of a checksum list
    uint64_t maxFileSize;    // the largest file that its size words carry
    uint64_t measureMask;    // the run measure is computed modulo this plus one
    bool provesResult;       // a whole-file digest ends every transfer
    // The checksum of one block: BeginSum at the block's offset, its bytes
    // in order, then EndSum, which writes the entry (crcBytes, little-endian)
    // and returns the block's share of the whole-file digest (zero for
    // protocol 1).
    void (*BeginSum)(BlockSum& sum, uint64_t offset);
    void (*AddToSum)(BlockSum& sum, const uint8_t* data, size_t n);
    U128 (*EndSum)(BlockSum& sum, uint8_t* entry);
    // The same for a block whose n bytes are all at hand: one call.
    U128 (*SumBlock)(const uint8_t* data, size_t n, uint64_t offset, uint8_t* entry);
};

extern const Protocol kProtocol1;
extern const Protocol kProtocol2;
// The highest version that this program speaks.
constexpr int32_t kHighestProtocol = 2;
// The table of a version from 1 to kHighestProtocol.
const Protocol& ProtocolOf(int32_t version);

// A checksum list as it crosses the wire: count entries of width bytes each,
// in list order; arrived: the bytes of a list from the peer that are in.
struct ChecksumList {
    std::unique_ptr<uint8_t[]> bytes;
    size_t count = 0;
    size_t width = 0;
    size_t arrived = 0;

    const uint8_t* Entry(size_t i) const { return bytes.get() + i * width; }
    uint8_t* Entry(size_t i) { return bytes.get() + i * width; }
    // Entry i as a number (for the log); the common width is spelled out
    // so that its load is one instruction.
    uint64_t Value(size_t i) const;
};
// The whole-file digest of protocol 2 as it is sent (kDigestSize bytes):
// XXH3-128 of the sum of a file's chunk terms, the compared length and the
// whole length, and, for files read whole again at the end (readWhole), one
// more byte, so that such a digest never equals one of a peer that proved
// its file the usual way.
void WholeFileDigest(U128 sum, uint64_t compared, uint64_t whole, bool readWhole, uint8_t* digest);

// Makes list hold count entries of width bytes (contents undefined).
void ResizeChecksumList(ChecksumList& list, size_t count, size_t width);
void FreeChecksumList(ChecksumList& list);

// Little-endian packing of an unsigned value in n bytes (n at most 8).
// Inline: the checksum pass and the comparison use them once per block.
inline void PutLittleEndian(uint8_t* out, uint64_t value, size_t n) {
    for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}
inline uint64_t GetLittleEndian(const uint8_t* in, size_t n) {
    uint64_t value = 0;
    for (size_t i = 0; i < n; ++i) value |= static_cast<uint64_t>(in[i]) << (8 * i);
    return value;
}
inline uint64_t ChecksumList::Value(size_t i) const {
    return width == 8 ? GetLittleEndian(Entry(i), 8) : GetLittleEndian(Entry(i), width);
}

// The file-type word. A side that offers protocol 2 or later sends, instead
// of its plain FileType, "BM", a version byte and 'O' (Original) or 'C'
// (Copy): a word that a peer speaking only protocol 1 takes for the
// FileType opposite its own. The version byte holds the highest version
// offered in its low four bits and options in its high four (a Nothing
// side's name reply carries both in the same form). Builds that know no
// options read the whole byte as the version, which only ever settles on
// the lower of the two.
constexpr uint8_t kVersionMask = 0x0F;
// Both sides read their whole file again at the end and prove what is on
// disk then; set when either side asks.
constexpr uint8_t kOptionVerifyAll = 0x20;
// The side holds a code and pairs with it (wire/pairing.h) right after the
// words; a Nothing side that holds one offers too, as 'N'.
constexpr uint8_t kOptionPaired = 0x40;
// In an Original's offer: it can continue a partial file that a Nothing
// side kept from an earlier, cut transfer. In a Nothing side's name reply:
// it holds such a file and continues it, and both sides then run the
// sequence of an Original facing a Copy (docs/PROTOCOL.md, "Resuming").
constexpr uint8_t kOptionResume = 0x10;
// In a Copy's offer: its file is a block device, whose length can change
// neither way. A longer device is compared over the Original's length and
// the rest left as it is; a shorter one is refused before anything moves.
constexpr uint8_t kOptionDevice = 0x80;
// In a Nothing side's name reply (the same bit as kOptionDevice, which only
// a Copy's word carries): it took the UTF-8 form of the name from the name
// record (wire/messages.h) rather than the code page 932 one.
constexpr uint8_t kOptionUtf8Name = 0x80;
uint32_t OfferWord(int32_t fileType, int32_t version, uint8_t options = 0);
// What a received file-type word says: the FileType, the highest version
// offered (1 for a plain word) and the options. False when it names no
// FileType ('N' names a Nothing side only with kOptionPaired).
bool ReadFileTypeWord(uint32_t word, int32_t* fileType, int32_t* version, uint8_t* options = nullptr);
// The word with which a listening Blockmend side that is busy with another
// transfer answers a further peer, before it closes: "BM", version 2, 'B'.
// A peer of protocol 1 takes it for a FileType that it does not know, and
// then sees the connection close.
uint32_t BusyWord();
bool IsBusyWord(uint32_t word);
