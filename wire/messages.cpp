// The messages of a transfer (worker thread).
#include "wire/messages.h"

#include <sodium.h>

#include <cctype>
#include <cstring>

#include "platform/text.h"
#include "wire/block_size.h"

const char kBadBlockSizeText[] = "ブロックサイズが正しくありません。";
const char kBadSizeText[] = "ファイルサイズが正しくありません。";
const char kPairingFailedText[] = "コードによる接続に失敗しました (コードが違うか、通信が改ざんされています)";

namespace {
uint64_t ReceiveLittleEndian(Link& link, size_t n) {
    uint8_t bytes[8];
    ReceiveAll(link, bytes, n);
    return GetLittleEndian(bytes, n);
}

bool IsDeviceName(const char* name) {
    // The part before the first dot decides: "CON", "con.txt" and "LPT1.log"
    // all name devices on Windows.
    char stem[8];
    size_t n = 0;
    for (; name[n] != '\0' && name[n] != '.'; ++n) {
        if (n >= 4) return false;
        stem[n] = static_cast<char>(toupper(static_cast<uint8_t>(name[n])));
    }
    stem[n] = '\0';
    static const char* const kDevices[] = {"CON", "PRN", "AUX", "NUL"};
    for (const char* d : kDevices)
        if (strcmp(stem, d) == 0) return true;
    if (n == 4 && (memcmp(stem, "COM", 3) == 0 || memcmp(stem, "LPT", 3) == 0) && stem[3] >= '1' && stem[3] <= '9')
        return true;
    return false;
}
}  // namespace

void SendFileTypeWord(Link& link, uint32_t word) {
    uint8_t bytes[4];
    PutLittleEndian(bytes, word, 4);
    SendAll(link, bytes, sizeof bytes);
}

uint32_t ReceiveFileTypeWord(Link& link) {
    uint8_t bytes[4];
    ReceiveDueMessage(link, bytes, sizeof bytes);
    return static_cast<uint32_t>(GetLittleEndian(bytes, 4));
}

void SendNameRecord(Link& link, const std::string& cp932, const std::string& utf8) {
    char record[kNameRecordSize] = {};
    const size_t n = cp932.size() < kNameRecordSize ? cp932.size() : kNameRecordSize - 1;
    memcpy(record, cp932.data(), n);
    if (!utf8.empty() && n + 1 + utf8.size() < kNameRecordSize) memcpy(record + n + 1, utf8.data(), utf8.size());
    SendAll(link, record, sizeof record);
}

ReceivedName ReceiveNameRecord(Link& link) {
    char record[kNameRecordSize];
    ReceiveAll(link, record, kNameRecordSize);
    ReceivedName name;
    const char* end = static_cast<const char*>(memchr(record, '\0', kNameRecordSize));
    name.complete = end != nullptr;
    name.cp932.assign(static_cast<const char*>(record), end ? end : record + kNameRecordSize);
    if (end) {
        const char* second = end + 1;
        const char* stop = static_cast<const char*>(memchr(second, '\0', record + kNameRecordSize - second));
        if (stop) name.utf8.assign(second, stop);
    }
    return name;
}

bool IsBareFileName(const std::string& name, bool utf8) {
    if (name.empty() || name == "." || name == ".." || name.find('\0') != std::string::npos) return false;
    if (utf8 && !IsUtf8(name)) return false;
    const uint8_t* p = reinterpret_cast<const uint8_t*>(name.c_str());
    for (; *p != '\0'; ++p) {
        if (!utf8 && IsCp932LeadByte(*p)) {
            // Its second byte must be one: a control character is not.
            if (p[1] < 0x40 || p[1] == 0x7F || p[1] > 0xFC) return false;
            ++p;
            continue;
        }
        if (*p < 0x20 || *p == 0x7F || *p == '\\' || *p == '/' || *p == ':') return false;
        // U+0080 to U+009F, the C1 control characters.
        if (utf8 && *p == 0xC2 && p[1] >= 0x80 && p[1] <= 0x9F) return false;
    }
    return !IsDeviceName(name.c_str());
}

void SendNameReply(Link& link, const NameReply& reply) {
    uint8_t byte = 0;
    if (reply.accepted)
        byte = reply.version >= 2 ? static_cast<uint8_t>((reply.version & kVersionMask) | (reply.options & ~kVersionMask)) : 1;
    SendAll(link, &byte, 1);
}

NameReply ReceiveNameReply(Link& link, bool offered) {
    // The Nothing side may first ask its user about an existing file: no
    // time limit.
    uint8_t byte = 0;
    ReceiveAll(link, &byte, 1);
    NameReply reply{byte != 0, 1, 0};
    if (reply.accepted && offered) {
        reply.version = byte & kVersionMask;
        if (reply.version >= 2) reply.options = byte & ~kVersionMask;
    }
    return reply;
}

void SendSize(Link& link, uint64_t size) {
    uint8_t bytes[8];
    PutLittleEndian(bytes, size, link.protocol->sizeBytes);
    SendAll(link, bytes, link.protocol->sizeBytes);
}

uint64_t ReceiveSize(Link& link) {
    const uint64_t size = ReceiveLittleEndian(link, link.protocol->sizeBytes);
    if (size > link.protocol->maxFileSize) EndLink(kBadSizeText);
    return size;
}

void SendSizeAnswer(Link& link, const SizeAnswer& answer) {
    // One send: flag, size word and block-size word as separate small sends
    // would wait on each other's acknowledgements.
    uint8_t bytes[1 + 8 + 4];
    size_t length = 0;
    bytes[length++] = answer.sizesDiffer ? 1 : 0;
    if (answer.sizesDiffer) {
        PutLittleEndian(bytes + length, answer.originalSize, link.protocol->sizeBytes);
        length += link.protocol->sizeBytes;
    }
    if (answer.withBlockSize) {
        PutLittleEndian(bytes + length, answer.blockSize, 4);
        length += 4;
    }
    SendAll(link, bytes, length);
}

bool ReceiveSizeFlag(Link& link) { return ReceiveLittleEndian(link, 1) != 0; }

uint32_t ReceiveBlockSize(Link& link) {
    const uint64_t size = ReceiveLittleEndian(link, 4);
    if (!IsValidBlockSize(size)) EndLink(kBadBlockSizeText);
    return static_cast<uint32_t>(size);
}

void SendChecksumList(Link& link, const ChecksumList& list) {
    // One send for the whole list: the bytes are those of one send per block.
    SendAll(link, list.bytes.get(), list.count * list.width);
}

void ReceiveChecksumList(Link& link, ChecksumList& list) {
    const size_t total = list.count * list.width;
    ReceiveAll(link, list.bytes.get() + list.arrived, total - list.arrived);
    list.arrived = total;
}

void TakeInArrivedList(Link& link, ChecksumList& list) {
    list.arrived += ReceiveArrived(link, list.bytes.get() + list.arrived, list.count * list.width - list.arrived);
}

void SendBlockData(Link& link, const uint8_t* data, size_t count) { SendStream(link, data, count); }

TransportResult TryReceiveBlockData(Link& link, uint8_t* buffer, size_t count, size_t* received) {
    return TryReceiveStream(link, buffer, count, received);
}

void SendTailData(Link& link, const uint8_t* data, size_t count) { SendStream(link, data, count); }

TransportResult TryReceiveTailData(Link& link, uint8_t* buffer, size_t least, size_t most, size_t* received) {
    return TryReceiveSomeOfStream(link, buffer, least, most, received);
}

void SendPairingMessage(Link& link, const uint8_t* message) { SendAll(link, message, kPairingMessageSize); }

void ReceivePairingMessage(Link& link, uint8_t* message) {
    ReceiveDueMessage(link, message, kPairingMessageSize);
    if (sodium_init() < 0 || crypto_core_ristretto255_is_valid_point(message) != 1) EndLink(kPairingFailedText);
}

void SendPairingConfirmation(Link& link, const uint8_t* confirmation) {
    SendAll(link, confirmation, kPairingConfirmationSize);
}

void ReceivePairingConfirmation(Link& link, uint8_t* confirmation) {
    ReceiveDueMessage(link, confirmation, kPairingConfirmationSize);
}

void SendDigest(Link& link, const uint8_t* digest) { SendAll(link, digest, kDigestSize); }

void ReceiveDigest(Link& link, uint8_t* digest) { ReceiveAll(link, digest, kDigestSize); }
