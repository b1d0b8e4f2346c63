// The two protocol tables and the messages (worker thread).
#include "engine/wire.h"

#include <cstring>

#include "engine/connection.h"
#include "engine/crc16.h"
#include "engine/transfer_state.h"
#include "platform/memory.h"

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

uint64_t ReceiveLittleEndian(size_t n) {
    uint8_t bytes[8];
    ReceiveAll(transferState.dataSocket, bytes, n);
    return GetLittleEndian(bytes, n);
}

void SendLittleEndian(uint64_t value, size_t n) {
    uint8_t bytes[8];
    PutLittleEndian(bytes, value, n);
    SendAll(transferState.dataSocket, bytes, n);
}
}  // namespace

const Protocol kProtocol1 = {
    1, nullptr, 4, 2, 0xFFFFFFFFull, 0xFFFFFFFFull, false, BeginCrc16, AddToCrc16, EndCrc16, SumCrc16Block,
};

const Protocol kProtocol2 = {
    2,         "プロトコル2 (XXH3) で転送します", 8, 8, 0x7FFFFFFFFFFFFFFFull, ~0ull, true, BeginStrong, AddToStrong,
    EndStrong, SumStrongBlock,
};

const Protocol& ProtocolOf(int32_t version) { return version >= 2 ? kProtocol2 : kProtocol1; }

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

void TakeInArrivedList(ChecksumList& list) {
    const size_t total = list.count * list.width;
    while (list.arrived < total) {
        size_t want = total - list.arrived;
        if (want > (1u << 30)) want = 1u << 30;
        int n = 0;
        if (SocketReceiveNow(transferState.dataSocket, list.bytes.get() + list.arrived, static_cast<int>(want), &n) !=
                NetResult::Moved ||
            n == 0)
            return;
        list.arrived += static_cast<size_t>(n);
    }
}

void ReceiveChecksumList(ChecksumList& list) {
    const size_t total = list.count * list.width;
    ReceiveAll(transferState.dataSocket, list.bytes.get() + list.arrived, total - list.arrived);
    list.arrived = total;
}

uint32_t OfferWord(int32_t fileType, int32_t version, uint8_t options) {
    const uint8_t kind = fileType == 0 ? 'O' : 'C';
    const uint32_t versionByte = (static_cast<uint32_t>(version) & kVersionMask) | (options & ~kVersionMask);
    return 'B' | 'M' << 8 | versionByte << 16 | static_cast<uint32_t>(kind) << 24;
}

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
    if ((word & 0xFFFF) != ('B' | 'M' << 8) || offered < 2 || (kind != 'O' && kind != 'C')) return false;
    *fileType = kind == 'O' ? 0 : 1;
    *version = offered;
    if (options) *options = versionByte & ~kVersionMask;
    return true;
}

void SendWord(uint32_t word) { SendLittleEndian(word, 4); }

uint32_t ReceiveWord() { return static_cast<uint32_t>(ReceiveLittleEndian(4)); }

uint32_t ReceiveFileTypeWord() {
    uint8_t bytes[4];
    ReceiveFirstMessage(transferState.dataSocket, bytes, sizeof bytes);
    return static_cast<uint32_t>(GetLittleEndian(bytes, 4));
}

void SendNameRecord(const char* name) {
    char record[kNameRecordSize] = {};
    strncpy(record, name, kNameRecordSize - 1);
    SendAll(transferState.dataSocket, record, sizeof record);
}

bool ReceiveNameRecord() {
    char* name = transferState.incomingName;
    ReceiveAll(transferState.dataSocket, name, kNameRecordSize);
    if (memchr(name, '\0', kNameRecordSize) != nullptr) return true;
    name[kNameRecordSize - 1] = '\0';
    return false;
}

void SendFlag(uint8_t flag) { SendAll(transferState.dataSocket, &flag, 1); }

uint8_t ReceiveFlag() { return ReceiveByte() != 0 ? 1 : 0; }

uint8_t ReceiveByte() {
    uint8_t byte = 0;
    ReceiveAll(transferState.dataSocket, &byte, 1);
    return byte;
}

void SendSize(uint64_t size) { SendLittleEndian(size, transferState.protocol->sizeBytes); }

uint64_t ReceiveSize() { return ReceiveLittleEndian(transferState.protocol->sizeBytes); }

void SendDigest(const uint8_t* digest) { SendAll(transferState.dataSocket, digest, kDigestSize); }

void ReceiveDigest(uint8_t* digest) { ReceiveAll(transferState.dataSocket, digest, kDigestSize); }
