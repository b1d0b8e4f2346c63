// Handshake and size negotiation (worker thread).
#include "engine/handshake.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "engine/blocks.h"
#include "engine/connection.h"
#include "engine/fileinfo.h"
#include "engine/frontend.h"
#include "engine/transfer_state.h"
#include "engine/wire.h"
#include "platform/file.h"

namespace {
bool IsLeadByte(uint8_t c) { return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC); }

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

void ShowRemoteSize() {
    char line[64];
    snprintf(line, sizeof line, "RemoteFileSize: %llu", static_cast<unsigned long long>(transferState.remoteSize));
    AddStatusLine(line);
}

bool PairingValid(int32_t own, int32_t peer) {
    return (own == kOriginal && (peer == kCopy || peer == kNothing)) ||
           ((own == kCopy || own == kNothing) && peer == kOriginal);
}

// The version that this side takes with a peer that offered up to offered.
int32_t AgreedVersion(int32_t offered) {
    int32_t version = offered < transferState.protocolLimit ? offered : transferState.protocolLimit;
    if (version > kHighestProtocol) version = kHighestProtocol;
    return version < 1 ? 1 : version;
}

void UseProtocol(int32_t version) {
    transferState.protocol = &ProtocolOf(version);
    if (transferState.protocol->statusLine) AddStatusLine(transferState.protocol->statusLine);
}

// The options that this side asks for in its offer.
uint8_t OwnOptions() { return transferState.verifyAll ? kOptionVerifyAll : 0; }

// A side that accepts protocol 2 only ends before any file data moves when
// the peer turns out to speak protocol 1 (or something on the way made it
// look so): a transfer in protocol 1 proves nothing. Reading both files
// whole again needs protocol 2's digest.
void RequireVersion(int32_t version) {
    const int32_t minimum = transferState.verifyAll ? 2 : transferState.protocolMinimum;
    if (version >= minimum) return;
    AddStatusLine(kNoProtocol2Text);
    EndTransfer();
}

// Folder + name into path, if it fits with its terminating zero.
bool JoinPath(char* path, const char* folder, const char* name) {
    size_t a = strlen(folder), b = strlen(name);
    if (a + b >= static_cast<size_t>(kPathSize)) return false;
    memcpy(path, folder, a);
    memcpy(path + a, name, b + 1);
    return true;
}

[[noreturn]] void RefuseNewFile(const char* path) {
    char line[kPathSize + 64];
    snprintf(line, sizeof line, "\"%s\"が開けませんでした。", path);
    AddStatusLine(line);
    AddStatusLine("処理を中断します。");
    SendFlag(0);
    EndTransfer();
}

// offered: the highest version that the Original's word offered (1: none).
// Returns the version that the reply named.
int32_t NameAndCreateNewFile(int32_t offered) {
    bool recordOk = ReceiveNameRecord();
    char line[kPathSize + 32];
    snprintf(line, sizeof line, "ファイル名: %s", transferState.incomingName);
    AddStatusLine(line);
    char folder[kPathSize];
    strcpy(folder, transferState.localPath);
    char path[kPathSize] = {};
    if (!recordOk || !IsBareFileName(transferState.incomingName) ||
        !JoinPath(path, folder, transferState.incomingName)) {
        // Shown as the path it would have made, cut to the path buffer.
        snprintf(path, sizeof path, "%s%s", folder, transferState.incomingName);
        RefuseNewFile(path);
    }
    while (CanOpenFile(path)) {
        int answer = AskOverwrite();
        if (answer == kOverwrite) break;
        if (answer == kSaveAs) {
            // The user's own name goes through as typed, but must still fit.
            if (!JoinPath(path, folder, transferState.incomingName)) {
                snprintf(path, sizeof path, "%s%s", folder, transferState.incomingName);
                RefuseNewFile(path);
            }
            continue;
        }
        SendFlag(0);
        EndTransfer();
    }
    if (CreateEmptyFile(path) != 0) RefuseNewFile(path);
    strcpy(transferState.localPath, path);
    strcpy(transferState.fileTitle, transferState.incomingName);
    transferState.localSize = 0;
    // The reply names the version taken, with this side's options, when
    // the Original offered one; an Original that speaks only protocol 1
    // reads any non-zero byte as 1.
    const int32_t version = offered >= 2 ? AgreedVersion(offered) : 1;
    SendFlag(static_cast<uint8_t>(version >= 2 ? version | OwnOptions() : version));
    transferState.fileType = kCopy;
    transferState.newFileMode = 1;
    UseProtocol(version);
    return version;
}
}  // namespace

bool IsBareFileName(const char* name) {
    if (name[0] == '\0' || strcmp(name, ".") == 0 || strcmp(name, "..") == 0) return false;
    for (const uint8_t* p = reinterpret_cast<const uint8_t*>(name); *p != '\0'; ++p) {
        if (IsLeadByte(*p)) {
            if (p[1] == '\0') return false;  // a lead byte with no second byte
            ++p;
            continue;
        }
        if (*p < 0x20 || *p == 0x7F || *p == '\\' || *p == '/' || *p == ':') return false;
    }
    return !IsDeviceName(name);
}

bool IsValidBlockSize(uint32_t size) {
    return size >= kMinBlockSize && size <= kMaxBlockSize && (size & (size - 1)) == 0;
}

void Handshake() {
    const int32_t own = transferState.fileType;
    const bool offers = own != kNothing && transferState.protocolLimit >= 2;
    const uint32_t offer = OfferWord(own, AgreedVersion(kHighestProtocol), OwnOptions());
    int32_t peer = -1, offered = 1;
    uint8_t peerOptions = 0;
    bool known = false;
    transferState.protocol = &kProtocol1;
    if (transferState.netRole == kServer) {
        // The Client has sent its word before reading ours (both sides do),
        // so the Server can read first and offer only where a peer that
        // speaks protocol 1 would take the offer for the right FileType.
        known = ReadFileTypeWord(ReceiveFileTypeWord(), &peer, &offered, &peerOptions);
        const bool valid = known && PairingValid(own, peer);
        // A Nothing Client answers an offer only in its name reply.
        if (valid && peer != kNothing) RequireVersion(offered);
        bool answerOffer = offers && valid && (offered >= 2 || peer == kNothing);
        SendWord(answerOffer ? offer : static_cast<uint32_t>(own));
    } else {
        SendWord(offers ? offer : static_cast<uint32_t>(own));
        known = ReadFileTypeWord(ReceiveFileTypeWord(), &peer, &offered, &peerOptions);
    }
    // Exactly one Original, facing a Copy or a Nothing; anything else,
    // including words that name no FileType, is refused on both sides.
    if (!known || !PairingValid(own, peer)) {
        AddStatusLine("FileType が正しくありません。");
        EndTransfer();
    }
    if (own == kNothing) {
        RequireVersion(offered);
        NameAndCreateNewFile(offered);
    } else if (peer == kNothing) {
        SendNameRecord(transferState.fileTitle);
        const uint8_t reply = ReceiveByte();
        if (reply == 0) {
            AddStatusLine("Remote でエラーが発生しました。(FileName Error)");
            EndTransfer();
        }
        const int32_t replied = offers ? reply & kVersionMask : 1;
        RequireVersion(replied);
        transferState.newFileMode = 1;
        if (replied >= 2) {
            peerOptions = reply & ~kVersionMask;
            UseProtocol(AgreedVersion(replied));
        }
    } else {
        RequireVersion(offers ? offered : 1);
        if (offers && offered >= 2) UseProtocol(AgreedVersion(offered));
    }
    // Either side's request holds for both; a peer that does not know it
    // proves its file the usual way, and its digest then differs.
    transferState.verifyWholeFiles =
        transferState.protocol->provesResult && ((OwnOptions() | peerOptions) & kOptionVerifyAll) != 0;
    NoteProtocol(transferState.protocol->version);
}

const char kNoProtocol2Text[] = "相手はプロトコル2に対応していません";

void CheckSizeForProtocol() {
    if (transferState.localSize <= transferState.protocol->maxFileSize) return;
    AddStatusLine(kTooLargeText);
    EndTransfer();
}

int CreateEmptyFile(const char* path) {
    FileHandle file;
    return FileOpen(file, path, FileMode::CreateTruncate) ? 0 : -1;
}

void NegotiateSizes() {
    if (transferState.newFileMode == 1) NegotiateSizesNewFile();
    else if (transferState.fileType == kOriginal) NegotiateSizesOriginal();
    else NegotiateSizesCopy();
}

void NegotiateSizesOriginal() {
    transferState.remoteSize = ReceiveSize();
    // The answer goes out in one send: flag, size word and block-size word
    // as separate small sends would wait on each other's acknowledgements.
    uint8_t answer[1 + 8 + 4];
    size_t length = 0;
    auto put = [&](uint64_t value, size_t n) {
        PutLittleEndian(answer + length, value, n);
        length += n;
    };
    if (transferState.remoteSize == transferState.localSize) {
        answer[length++] = 0;
        transferState.workBytes = transferState.localSize;
    } else {
        answer[length++] = 1;
        put(transferState.localSize, transferState.protocol->sizeBytes);
        if (transferState.localSize <= transferState.remoteSize) {
            SendAll(transferState.dataSocket, answer, length);
            ShowRemoteSize();
            AddStatusLine("error: ファイルサイズが異なります");
            EndTransfer();
        }
        transferState.workBytes = transferState.remoteSize;
    }
    put(transferState.uiBlockSize, 4);
    SendAll(transferState.dataSocket, answer, length);
    if (transferState.remoteSize != transferState.localSize) {
        ShowRemoteSize();
        AddStatusLine("warning: ファイルサイズが異なります");
        AddStatusLine("(現存部分の一致調査後、不足部分は補います)");
    }
    transferState.blockCount = static_cast<int64_t>(CeilDiv(transferState.workBytes, transferState.blockSize));
}

void NegotiateSizesCopy() {
    SendSize(transferState.localSize);
    if (ReceiveFlag() == 0) {
        transferState.remoteSize = transferState.localSize;
        transferState.workBytes = transferState.localSize;
    } else {
        transferState.remoteSize = ReceiveSize();
        ShowRemoteSize();
        if (transferState.remoteSize > transferState.localSize) {
            transferState.workBytes = transferState.localSize;
            AddStatusLine("warning: ファイルサイズが異なります");
            AddStatusLine("(現存部分の一致調査後、不足部分は補います)");
        } else {
            AddStatusLine("error: ファイルサイズが異なります");
            EndTransfer();
        }
    }
    uint32_t size = ReceiveWord();
    if (!IsValidBlockSize(size)) {
        AddStatusLine("ブロックサイズが正しくありません。");
        EndTransfer();
    }
    transferState.blockSize = size;
    transferState.blockCount = static_cast<int64_t>(CeilDiv(transferState.workBytes, transferState.blockSize));
}

void NegotiateSizesNewFile() {
    if (transferState.fileType == kOriginal) {
        SendSize(transferState.localSize);
        transferState.remoteSize = 0;
    } else {
        transferState.remoteSize = ReceiveSize();
        ShowRemoteSize();
    }
}
