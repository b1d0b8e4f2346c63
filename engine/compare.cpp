// Checksum exchange and comparison (worker thread).
#include "engine/compare.h"

#include <bit>
#include <cstring>
#include <memory>
#include <string>

#include "engine/blocks.h"
#include "engine/frontend.h"
#include "engine/node_pool.h"
#include "engine/transfer_state.h"
#include "log/complog.h"
#include "net/connection.h"
#include "platform/file.h"

namespace {
NodePool<RemoteCrc> remoteCrcPool;

// Right-aligns the lowercase hexadecimal digits of value in a field of
// width, filled with fill.
char* PutHex(char* out, uint32_t value, int width, char fill) {
    int n = (std::bit_width(value) + 3) / 4;
    if (n == 0) n = 1;
    for (int i = n; i < width; ++i) *out++ = fill;
    char* end = out + n;
    for (char* p = end; p != out; value >>= 4) *--p = "0123456789abcdef"[value & 15];
    return end;
}

// Right-aligns the decimal digits of value in a field of width, space-filled.
// Digits are written two at a time from the right.
char* PutDecimal(char* out, uint32_t value, int width) {
    static constexpr char kPairs[] =
        "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
        "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
        "8081828384858687888990919293949596979899";
    int n = 1;
    for (uint32_t limit = 10; n < 10 && value >= limit; limit *= 10) ++n;
    for (int i = n; i < width; ++i) *out++ = ' ';
    char* end = out + n;
    char* p = end;
    while (value >= 100) {
        const uint32_t pair = value % 100;
        value /= 100;
        p -= 2;
        memcpy(p, kPairs + 2 * pair, 2);
    }
    if (value >= 10) {
        p -= 2;
        memcpy(p, kPairs + 2 * value, 2);
    } else {
        *--p = static_cast<char>('0' + value);
    }
    return end;
}

uint32_t CountBlocks(const Block* b) {
    uint32_t n = 0;
    for (; b; b = b->next) ++n;
    return n;
}
}  // namespace

size_t FormatCompareLine(char* out, int hexDigits, int decDigits, const Block& block, uint16_t remoteCrc) {
    // Field widths come from the local size, which has at most 8 hex and 10
    // decimal digits; anything wider would only pad the line.
    if (hexDigits > 8) hexDigits = 8;
    if (decDigits > 10) decDigits = 10;
    const uint32_t first = block.offset;
    const uint32_t last = block.offset + block.length - 1;
    char* p = out;
    p = PutHex(p, first, hexDigits, ' ');
    *p++ = '(';
    p = PutDecimal(p, first, decDigits);
    memcpy(p, ") - ", 4);
    p += 4;
    p = PutHex(p, last, hexDigits, ' ');
    *p++ = '(';
    p = PutDecimal(p, last, decDigits);
    memcpy(p, ") : ", 4);
    p += 4;
    p = PutHex(p, block.crc, 4, '0');
    memcpy(p, " <-> ", 5);
    p += 5;
    p = PutHex(p, remoteCrc, 4, '0');
    *p = '\0';
    return static_cast<size_t>(p - out);
}

void* RemoteCrc::operator new(size_t) { return remoteCrcPool.Allocate(); }

void RemoteCrc::operator delete(void* node) noexcept { remoteCrcPool.Free(node); }

void FreeRemoteCrcList(RemoteCrc* head) {
    if (!head) return;
    PoolLock<NodePool<RemoteCrc>> lock(remoteCrcPool);
    while (head) {
        RemoteCrc* next = head->next;
        remoteCrcPool.FreeLocked(head);
        head = next;
    }
}

void ExchangeCrcs() {
    if (transferState.fileType == kOriginal) {
        SendCrcs();
        ReceiveCrcs();
    } else {
        ReceiveCrcs();
        SendCrcs();
    }
}

// The list is one byte stream with no framing, so it goes out in one send:
// the bytes on the wire are those of one 2-byte send per block.
void SendCrcs() {
    AddStatusLine("CRCデータ送信中・・・");
    uint32_t count = CountBlocks(transferState.blocks);
    std::unique_ptr<uint8_t[]> bytes(new uint8_t[static_cast<size_t>(count) * 2 + 1]);
    uint8_t* p = bytes.get();
    for (const Block* b = transferState.blocks; b; b = b->next) {
        *p++ = static_cast<uint8_t>(b->crc & 0xFF);
        *p++ = static_cast<uint8_t>(b->crc >> 8);
    }
    SendAll(transferState.dataSocket, bytes.get(), static_cast<size_t>(count) * 2);
}

void ReceiveCrcs() {
    AddStatusLine("CRCデータ受信中・・・");
    FreeRemoteCrcList(transferState.remoteCrcs);
    transferState.remoteCrcs = nullptr;
    // The local list bounds what is read: nothing received sets the count.
    uint32_t count = CountBlocks(transferState.blocks);
    std::unique_ptr<uint8_t[]> bytes(new uint8_t[static_cast<size_t>(count) * 2 + 1]);
    ReceiveAll(transferState.dataSocket, bytes.get(), static_cast<size_t>(count) * 2);
    RemoteCrc* tail = nullptr;
    PoolLock<NodePool<RemoteCrc>> lock(remoteCrcPool);
    for (uint32_t i = 0; i < count; ++i) {
        RemoteCrc* node = ::new (remoteCrcPool.AllocateLocked())
            RemoteCrc{static_cast<uint16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8)), nullptr};
        if (tail) tail->next = node; else transferState.remoteCrcs = node;
        tail = node;
    }
}

uint32_t CompareCrcs() {
    LogWriter log;
    if (!OpenLog(log)) ShowSystemError();
    WriteLogHeader(log);
    FreeBlockList(transferState.previousBlocks);
    transferState.previousBlocks = transferState.blocks;
    transferState.blocks = nullptr;
    BlockListBuilder mismatched;
    uint32_t mismatches = 0;
    char line[kCompareLineSize];
    const RemoteCrc* r = transferState.remoteCrcs;
    for (const Block* b = transferState.previousBlocks; b; b = b->next) {
        // ReceiveCrcs made one node per block; a missing one cannot occur.
        uint16_t remote = r ? r->crc : 0;
        size_t length = FormatCompareLine(line, transferState.hexDigits, transferState.decDigits, *b, remote);
        if (r && b->crc == r->crc) {
            AppendLogOk(log, line, length);
        } else {
            mismatched.Append(b->offset, b->length);
            // The log keeps up with the status list.
            AppendLogNg(log, line, length);
            FlushLogIfDue(log);
            if (mismatches == 0) {
                AddStatusLine("CRC不一致");
                AddStatusLine("Address : CRC(Local) <-> CRC(Remote)");
                AddStatusLine("------------------------------------");
            }
            AddStatusLine(line);
            ++mismatches;
        }
        if (r) r = r->next;
    }
    transferState.blocks = mismatched.head;
    CloseLog(log);
    return mismatches;
}
