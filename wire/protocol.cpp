// The two protocol tables, their block checksums and the wire form of the
// values that the messages carry.
#include "wire/protocol.h"

#include <cstring>

#include "platform/memory.h"
#include "wire/crc16.h"

namespace {
void BeginCrc16(BlockSum& sum, uint64_t offset) {
    sum.at = offset;
    sum.crc = 0xFFFF;
}

void AddToCrc16(BlockSum& sum, const uint8_t* data, size_t n) {
    sum.crc = Crc16Update(sum.crc, data, n);
    sum.at += n;
}

U128 EndCrc16(BlockSum& sum, uint8_t* entry) {
    PutLittleEndian(entry, sum.crc, 2);
    return U128{};
}

void BeginStrong(BlockSum& sum, uint64_t offset) {
    sum.at = offset;
    sum.sum = U128{};
    sum.staged = 0;
}

// Chunks start at the block's offset; a piece of the block that ends inside
// a chunk leaves the chunk's first bytes in the stage until the rest comes.
void AddToStrong(BlockSum& sum, const uint8_t* data, size_t n) {
    if (sum.staged > 0) {
        size_t take = kChunkSize - sum.staged;
        if (take > n) take = n;
        memcpy(sum.stage + sum.staged, data, take);
        sum.staged += static_cast<uint32_t>(take);
        data += take;
        n -= take;
        if (sum.staged < kChunkSize) return;
        sum.sum = Add128(sum.sum, ChunkTermSum(sum.stage, kChunkSize, sum.at));
        sum.at += kChunkSize;
        sum.staged = 0;
    }
    size_t whole = n / kChunkSize * kChunkSize;
    if (whole > 0) {
        sum.sum = Add128(sum.sum, ChunkTermSum(data, whole, sum.at));
        sum.at += whole;
    }
    if (n > whole) {
        memcpy(sum.stage, data + whole, n - whole);
        sum.staged = static_cast<uint32_t>(n - whole);
    }
}

U128 EndStrong(BlockSum& sum, uint8_t* entry) {
    if (sum.staged > 0) {
        sum.sum = Add128(sum.sum, ChunkTermSum(sum.stage, sum.staged, sum.at));
        sum.at += sum.staged;
        sum.staged = 0;
    }
    PutLittleEndian(entry, sum.sum.lo, 8);
    return sum.sum;
}

U128 SumCrc16Block(const uint8_t* data, size_t n, uint64_t, uint8_t* entry) {
    PutLittleEndian(entry, Crc16Update(0xFFFF, data, n), 2);
    return U128{};
}

U128 SumStrongBlock(const uint8_t* data, size_t n, uint64_t offset, uint8_t* entry) {
    U128 sum = ChunkTermSum(data, n, offset);
    PutLittleEndian(entry, sum.lo, 8);
    return sum;
}
}  // namespace

const Protocol kProtocol1 = {
    .version = 1,
    .statusLine = nullptr,
    .sizeBytes = 4,
    .crcBytes = 2,
    .maxFileSize = 0xFFFFFFFFull,
    .measureMask = 0xFFFFFFFFull,
    .provesResult = false,
    .BeginSum = BeginCrc16,
    .AddToSum = AddToCrc16,
    .EndSum = EndCrc16,
    .SumBlock = SumCrc16Block,
};

const Protocol kProtocol2 = {
    .version = 2,
    .statusLine = "プロトコル2 (XXH3) で転送します",
    .sizeBytes = 8,
    .crcBytes = 8,
    .maxFileSize = 0x7FFFFFFFFFFFFFFFull,
    .measureMask = ~0ull,
    .provesResult = true,
    .BeginSum = BeginStrong,
    .AddToSum = AddToStrong,
    .EndSum = EndStrong,
    .SumBlock = SumStrongBlock,
};

const Protocol& ProtocolOf(int32_t version) { return version >= 2 ? kProtocol2 : kProtocol1; }

void WholeFileDigest(U128 sum, uint64_t compared, uint64_t whole, bool readWhole, uint8_t* digest) {
    uint8_t input[33];
    PutLittleEndian(input, sum.lo, 8);
    PutLittleEndian(input + 8, sum.hi, 8);
    PutLittleEndian(input + 16, compared, 8);
    PutLittleEndian(input + 24, whole, 8);
    input[32] = 1;
    const U128 hash = Hash128(input, readWhole ? 33 : 32);
    PutLittleEndian(digest, hash.lo, 8);
    PutLittleEndian(digest + 8, hash.hi, 8);
}

void ResizeChecksumList(ChecksumList& list, size_t count, size_t width) {
    // The old list goes first. One spare byte: a list of no entries still
    // has a buffer.
    list.bytes.reset();
    list.bytes.reset(new uint8_t[count * width + 1]);
    PrefaultMemory(list.bytes.get(), count * width);
    list.count = count;
    list.width = width;
    list.arrived = 0;
}

void FreeChecksumList(ChecksumList& list) {
    list.bytes.reset();
    list.count = 0;
    list.arrived = 0;
}


uint32_t OfferWord(int32_t fileType, int32_t version, uint8_t options) {
    const uint8_t kind = fileType == 0 ? 'O' : fileType == 1 ? 'C' : 'N';
    const uint32_t versionByte = (static_cast<uint32_t>(version) & kVersionMask) | (options & ~kVersionMask);
    return 'B' | 'M' << 8 | versionByte << 16 | static_cast<uint32_t>(kind) << 24;
}

uint32_t BusyWord() { return 'B' | 'M' << 8 | 2u << 16 | static_cast<uint32_t>('B') << 24; }

bool IsBusyWord(uint32_t word) { return word == BusyWord(); }

bool ReadFileTypeWord(uint32_t word, int32_t* fileType, int32_t* version, uint8_t* options) {
    if (options) *options = 0;
    if (word <= 2) {
        *fileType = static_cast<int32_t>(word);
        *version = 1;
        return true;
    }
    const uint8_t kind = static_cast<uint8_t>(word >> 24);
    const uint8_t versionByte = static_cast<uint8_t>(word >> 16);
    const int32_t offered = versionByte & kVersionMask;
    const uint8_t offeredOptions = versionByte & ~kVersionMask;
    const bool nothing = kind == 'N' && (offeredOptions & kOptionPaired) != 0;
    if ((word & 0xFFFF) != ('B' | 'M' << 8) || offered < 2 || (kind != 'O' && kind != 'C' && !nothing)) return false;
    *fileType = kind == 'O' ? 0 : kind == 'C' ? 1 : 2;
    *version = offered;
    if (options) *options = offeredOptions;
    return true;
}
