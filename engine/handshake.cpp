// Handshake and size negotiation (worker thread).
#include "engine/handshake.h"

#include <cstdio>
#include <cstring>

#include "engine/fileinfo.h"
#include "engine/frontend.h"
#include "engine/transfer_state.h"
#include "platform/file.h"
#include "wire/block_size.h"
#include "wire/messages.h"
#include "wire/pairing.h"
#include "wire/records.h"

namespace {
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
    transferState.link.protocol = &ProtocolOf(version);
    const char* line = transferState.link.protocol->statusLine;
    if (!line) return;
    if (!transferState.link.records) {
        AddStatusLine(line);
        return;
    }
    char encrypted[128];
    snprintf(encrypted, sizeof encrypted, "%s (暗号化: %s)", line,
             RecordCipherName(ChannelCipher(*transferState.link.records)));
    AddStatusLine(encrypted);
}

bool HoldsCode() { return transferState.pairingCode[0] != '\0'; }

// The options that this side asks for in its offer.
uint8_t OwnOptions() {
    return (transferState.verifyAll ? kOptionVerifyAll : 0) | (HoldsCode() ? kOptionPaired : 0);
}

// A side that accepts protocol 2 only ends before any file data moves when
// the peer turns out to speak protocol 1 (or something on the way made it
// look so): a transfer in protocol 1 proves nothing. Reading both files
// whole again needs protocol 2's digest.
void RequireVersion(int32_t version) {
    const int32_t minimum = transferState.verifyAll || HoldsCode() ? 2 : transferState.protocolMinimum;
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
    SendNameReply(transferState.link, 0);
    EndTransfer();
}

// offered: the highest version that the Original's word offered (1: none).
void NameAndCreateNewFile(int32_t offered) {
    const bool nameOk = ReceiveNameRecord(transferState.link, transferState.incomingName);
    char line[kPathSize + 32];
    snprintf(line, sizeof line, "ファイル名: %s", transferState.incomingName);
    AddStatusLine(line);
    char folder[kPathSize];
    strcpy(folder, transferState.localPath);
    char path[kPathSize] = {};
    if (!nameOk || !JoinPath(path, folder, transferState.incomingName)) {
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
        SendNameReply(transferState.link, 0);
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
    SendNameReply(transferState.link, static_cast<uint8_t>(version >= 2 ? version | OwnOptions() : version));
    transferState.fileType = kCopy;
    transferState.newFileMode = 1;
    UseProtocol(version);
}
}  // namespace

void Handshake() {
    const int32_t own = transferState.fileType;
    // A Nothing side offers in its word only when it holds a code: a peer of
    // protocol 1 cannot pair anyway.
    const bool offers = (own != kNothing || HoldsCode()) && transferState.protocolLimit >= 2;
    const uint32_t offer = OfferWord(own, AgreedVersion(kHighestProtocol), OwnOptions());
    int32_t peer = -1, offered = 1;
    uint8_t peerOptions = 0;
    bool known = false;
    uint32_t clientWord = 0, serverWord = 0;  // as they crossed the wire
    transferState.link.protocol = &kProtocol1;
    if (transferState.netRole == kServer) {
        // The Client has sent its word before reading ours (both sides do),
        // so the Server can read first and offer only where a peer that
        // speaks protocol 1 would take the offer for the right FileType.
        clientWord = ReceiveFileTypeWord(transferState.link);
        known = ReadFileTypeWord(clientWord, &peer, &offered, &peerOptions);
        const bool valid = known && PairingValid(own, peer);
        // A Nothing Client answers an offer only in its name reply. A side
        // with a code answers with its word in any case, so that a
        // Blockmend peer without one learns why it is refused.
        if (valid && peer != kNothing && !HoldsCode()) RequireVersion(offered);
        bool answerOffer = offers && valid && (offered >= 2 || peer == kNothing);
        serverWord = answerOffer ? offer : static_cast<uint32_t>(own);
        SendFileTypeWord(transferState.link, serverWord);
    } else {
        clientWord = offers ? offer : static_cast<uint32_t>(own);
        SendFileTypeWord(transferState.link, clientWord);
        serverWord = ReceiveFileTypeWord(transferState.link);
        known = ReadFileTypeWord(serverWord, &peer, &offered, &peerOptions);
    }
    // Exactly one Original, facing a Copy or a Nothing; anything else,
    // including words that name no FileType, is refused on both sides.
    if (!known || !PairingValid(own, peer)) {
        AddStatusLine("FileType が正しくありません。");
        EndTransfer();
    }
    // With a code on either side, both pair before anything about the file
    // moves; a code on one side only (a peer of protocol 1 holds none)
    // pairs with nothing.
    if (HoldsCode() != ((peerOptions & kOptionPaired) != 0)) {
        AddStatusLine(HoldsCode() ? kPeerWithoutCodeText : kPeerWantsCodeText);
        EndTransfer();
    }
    if (HoldsCode()) {
        RequireVersion(offered);
        uint8_t words[8];
        PutLittleEndian(words, clientWord, 4);
        PutLittleEndian(words + 4, serverWord, 4);
        transferState.channel = PairWithCode(transferState.link, transferState.pairingCode,
                                             strlen(transferState.pairingCode), words, words + 4,
                                             transferState.netRole == kClient);
        transferState.link.records = transferState.channel.get();
    }
    if (own == kNothing) {
        RequireVersion(offered);
        NameAndCreateNewFile(offered);
    } else if (peer == kNothing) {
        SendNameRecord(transferState.link, transferState.fileTitle);
        const uint8_t reply = ReceiveNameReply(transferState.link);
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
        transferState.link.protocol->provesResult && ((OwnOptions() | peerOptions) & kOptionVerifyAll) != 0;
    NoteProtocol(transferState.link.protocol->version);
}

const char kNoProtocol2Text[] = "相手はプロトコル2に対応していません";
const char kPeerWithoutCodeText[] = "相手はコードを使っていません";
const char kPeerWantsCodeText[] = "相手はコードでの接続を求めています";

void CheckSizeForProtocol() {
    if (transferState.localSize <= transferState.link.protocol->maxFileSize) return;
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
    transferState.remoteSize = ReceiveSize(transferState.link);
    const bool differ = transferState.remoteSize != transferState.localSize;
    const bool copyLonger = differ && transferState.localSize <= transferState.remoteSize;
    SendSizeAnswer(transferState.link, SizeAnswer{.sizesDiffer = differ,
                                                  .originalSize = transferState.localSize,
                                                  .withBlockSize = !copyLonger,
                                                  .blockSize = transferState.uiBlockSize});
    if (copyLonger) {
        ShowRemoteSize();
        AddStatusLine("error: ファイルサイズが異なります");
        EndTransfer();
    }
    transferState.workBytes = differ ? transferState.remoteSize : transferState.localSize;
    if (differ) {
        ShowRemoteSize();
        AddStatusLine("warning: ファイルサイズが異なります");
        AddStatusLine("(現存部分の一致調査後、不足部分は補います)");
    }
    transferState.blockCount = static_cast<int64_t>(BlockCount(transferState.workBytes, transferState.blockSize));
}

void NegotiateSizesCopy() {
    SendSize(transferState.link, transferState.localSize);
    if (!ReceiveSizeFlag(transferState.link)) {
        transferState.remoteSize = transferState.localSize;
        transferState.workBytes = transferState.localSize;
    } else {
        transferState.remoteSize = ReceiveSize(transferState.link);
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
    transferState.blockSize = ReceiveBlockSize(transferState.link);
    transferState.blockCount = static_cast<int64_t>(BlockCount(transferState.workBytes, transferState.blockSize));
}

void NegotiateSizesNewFile() {
    if (transferState.fileType == kOriginal) {
        SendSize(transferState.link, transferState.localSize);
        transferState.remoteSize = 0;
    } else {
        transferState.remoteSize = ReceiveSize(transferState.link);
        ShowRemoteSize();
    }
}
