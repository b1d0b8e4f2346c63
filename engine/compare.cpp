// Checksum exchange and comparison (worker thread).
#include "engine/compare.h"

#include <bit>
#include <cstring>
#include <memory>
#include <string>

#include "engine/blocks.h"
#include "engine/frontend.h"
#include "engine/transfer_state.h"
#include "log/complog.h"
#include "platform/file.h"
#include "platform/text.h"
#include "wire/messages.h"

namespace {
// The two lowercase hexadecimal digits of every byte value.
struct HexPairs {
    char digits[512];
    constexpr HexPairs() : digits() {
        for (int i = 0; i < 256; ++i) {
            digits[2 * i] = "0123456789abcdef"[i >> 4];
            digits[2 * i + 1] = "0123456789abcdef"[i & 15];
        }
    }
};
constexpr HexPairs kHexPairs;

// Right-aligns the lowercase hexadecimal digits of value in a field of
// width, filled with fill. Digits are written two at a time from the right:
// the log has a line per block.
char* PutHex(char* out, uint64_t value, int width, char fill) {
    int n = (std::bit_width(value) + 3) / 4;
    if (n == 0) n = 1;
    for (int i = n; i < width; ++i) *out++ = fill;
    char* end = out + n;
    char* p = end;
    for (; p - out >= 2; value >>= 8) {
        p -= 2;
        memcpy(p, kHexPairs.digits + 2 * (value & 0xFF), 2);
    }
    if (p != out) *--p = kHexPairs.digits[2 * (value & 15) + 1];
    return end;
}

// Right-aligns the decimal digits of value in a field of width, space-filled.
// Digits are written two at a time from the right.
char* PutDecimal(char* out, uint64_t value, int width) {
    static constexpr char kPairs[] =
        "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
        "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
        "8081828384858687888990919293949596979899";
    int n = 1;
    for (uint64_t limit = 10; n < 20 && value >= limit; limit *= 10) ++n;
    for (int i = n; i < width; ++i) *out++ = ' ';
    char* end = out + n;
    char* p = end;
    while (value >= 100) {
        const uint64_t pair = value % 100;
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

uint64_t CountBlocks(const Block* b) {
    uint64_t n = 0;
    for (; b; b = b->next) ++n;
    return n;
}
}  // namespace

size_t FormatCompareLine(char* out, int hexDigits, int decDigits, const Block& block, uint64_t localCrc,
                         uint64_t remoteCrc, int crcDigits) {
    // Field widths come from the local size, which has at most 16 hex and 20
    // decimal digits; anything wider would only pad the line.
    if (hexDigits > 16) hexDigits = 16;
    if (decDigits > 20) decDigits = 20;
    const uint64_t first = block.offset;
    const uint64_t last = block.offset + block.length - 1;
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
    p = PutHex(p, localCrc, crcDigits, '0');
    memcpy(p, " <-> ", 5);
    p += 5;
    p = PutHex(p, remoteCrc, crcDigits, '0');
    *p = '\0';
    return static_cast<size_t>(p - out);
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

void SendCrcs() {
    AddStatusLine("CRCデータ送信中・・・");
    SendChecksumList(transferState.link, transferState.localCrcs);
}

void ReceiveCrcs() {
    AddStatusLine("CRCデータ受信中・・・");
    // The local list bounds what is read: nothing received sets the count.
    // The pass may have taken in a part already.
    ChecksumList& list = transferState.remoteCrcs;
    const size_t count = CountBlocks(transferState.blocks), width = transferState.link.protocol->crcBytes;
    if (!list.bytes || list.count != count || list.width != width) ResizeChecksumList(list, count, width);
    ReceiveChecksumList(transferState.link, list);
}

void PrepareComparisonLog() {
    char folder[kPathSize];
    GetProgramFolder(folder);
    const char* name = transferState.fileType == kOriginal ? "log_server.dat" : "log_client.dat";
    // A folder too long for the log's name leaves the log without a path:
    // every open fails, and the comparison reports that.
    if (strlen(folder) + strlen(name) >= static_cast<size_t>(kPathSize)) {
        transferState.logPath[0] = '\0';
        return;
    }
    strcpy(transferState.logPath, folder);
    strcat(transferState.logPath, name);
    // The log is code page 932 text, as the window writes it; a name with
    // no such form goes in as this system spells it.
    std::string title;
    if (!PathToCp932(transferState.fileTitle, &title)) title = transferState.fileTitle;
    PrepareLog(transferState.logPath, title.c_str());
}

uint64_t CompareCrcs() {
    LogWriter log;
    if (!OpenLog(log, transferState.logPath)) ShowSystemError();
    WriteLogHeader(log);
    FreeBlockList(transferState.previousBlocks);
    transferState.previousBlocks = transferState.blocks;
    transferState.blocks = nullptr;
    BlockListBuilder mismatched;
    uint64_t mismatches = 0;
    char line[kCompareLineSize];
    const ChecksumList& local = transferState.localCrcs;
    const ChecksumList& remote = transferState.remoteCrcs;
    const size_t width = local.width;
    const int digits = static_cast<int>(2 * width);
    size_t i = 0;
    for (const Block* b = transferState.previousBlocks; b; b = b->next, ++i) {
        // Both lists were made with one entry per block of this list.
        const uint8_t* mine = local.Entry(i);
        const uint8_t* theirs = remote.Entry(i);
        size_t length = FormatCompareLine(line, transferState.hexDigits, transferState.decDigits, *b,
                                          local.Value(i), remote.Value(i), digits);
        if (memcmp(mine, theirs, width) == 0) {
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
    }
    transferState.blocks = mismatched.head;
    FreeChecksumList(transferState.localCrcs);
    FreeChecksumList(transferState.remoteCrcs);
    CloseLog(log);
    return mismatches;
}
