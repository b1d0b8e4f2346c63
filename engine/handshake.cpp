// Handshake and size negotiation (worker thread).
#include "engine/handshake.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "engine/blocks.h"
#include "engine/fileinfo.h"
#include "engine/frontend.h"
#include "engine/digest.h"
#include "engine/received_file.h"
#include "engine/transfer_state.h"
#include "platform/file.h"
#include "platform/text.h"
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

// The bytes that pair: the typed code as UTF-8, without spaces and dashes,
// whatever the front end's encoding (the front ends checked it already).
std::string PairingBytes() {
    std::string typed, bytes;
    if (!PathToUtf8(transferState.pairingCode, &typed) || CodeBytes(typed, &bytes) != CodeCheck::kOk)
        return transferState.pairingCode;
    return bytes;
}

// The options that this side asks for in its offer; an Original can
// always continue a Nothing side's partial file.
uint8_t OwnOptions() {
    return (transferState.verifyAll ? kOptionVerifyAll : 0) | (HoldsCode() ? kOptionPaired : 0) |
           (transferState.fileType == kOriginal ? kOptionResume : 0) |
           (transferState.fileType == kCopy && transferState.localIsDevice ? kOptionDevice : 0);
}

bool SpeaksProtocol2() { return transferState.link.protocol->version >= 2; }

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
    SendNameReply(transferState.link, NameReply{false, 1, 0});
    EndTransfer();
}

// A name that the peer cannot be given (it has no code page 932 form, and
// the peer takes no other): said with the name, before the peer makes any
// file.
[[noreturn]] void RefuseName() {
    char line[kPathSize + 96];
    snprintf(line, sizeof line, kNameNotCp932Text, transferState.fileTitle);
    AddStatusLine(line);
    EndTransfer();
}

// Whether path, an existing file that the user chose to overwrite, could
// be replaced: it is left as it is until the new file is whole, but one that
// cannot be written (read-only, in use) is refused now, before any data
// moves.
bool CanReplaceFile(const char* path) {
    FileHandle file;
    return FileOpen(file, path, FileMode::WriteExisting);
}

// offered: the highest version that the Original's word offered (1: none);
// originalOptions: the options of that word.
void NameAndCreateNewFile(int32_t offered, uint8_t originalOptions) {
    const int32_t version = offered >= 2 ? AgreedVersion(offered) : 1;
    const ReceivedName record = ReceiveNameRecord(transferState.link);
    // In protocol 2 the name's UTF-8 form, where the Original sent one;
    // else its code page 932 form. Either becomes a name of this system,
    // which must have one.
    const bool utf8 = version >= 2 && !record.utf8.empty();
    const std::string& received = utf8 ? record.utf8 : record.cp932;
    std::string name;
    const bool nameOk = (utf8 || record.complete) && IsBareFileName(received, utf8) &&
                        (utf8 ? Utf8ToPath(received, &name) : Cp932ToPath(received, &name)) &&
                        name.size() < static_cast<size_t>(kPathSize);
    if (!nameOk && utf8) name = Utf8ToPathShown(received);
    snprintf(transferState.incomingName, kPathSize, "%s", nameOk || utf8 ? name.c_str() : received.c_str());
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
        if (answer == kOverwrite) {
            if (!CanReplaceFile(path)) RefuseNewFile(path);
            break;
        }
        if (answer == kSaveAs) {
            // The user's own name goes through as typed, but must still fit.
            if (!JoinPath(path, folder, transferState.incomingName)) {
                snprintf(path, sizeof path, "%s%s", folder, transferState.incomingName);
                RefuseNewFile(path);
            }
            continue;
        }
        SendNameReply(transferState.link, NameReply{false, 1, 0});
        EndTransfer();
    }
    // The data goes into the partial file; an existing file of the name
    // stays as it is until the new one is whole (CommitReceivedFile). A
    // partial file of an earlier transfer is continued when the Original
    // can, and started afresh otherwise.
    char partial[kPathSize];
    if (!PartialPath(partial, path)) RefuseNewFile(path);
    FileStamp stamp;
    const bool resume = version >= 2 && (originalOptions & kOptionResume) != 0 && FindPartialFile(partial, &stamp);
    if (!resume && CreateEmptyFile(partial) != 0) RefuseNewFile(partial);
    strcpy(transferState.receiveFolder, folder);
    strcpy(transferState.finalPath, path);
    strcpy(transferState.localPath, partial);
    strcpy(transferState.fileTitle, transferState.incomingName);
    transferState.localSize = resume ? stamp.size : 0;
    // The reply names the version taken, with this side's options, when
    // the Original offered one; an Original that speaks only protocol 1
    // reads any non-zero byte as 1.
    SendNameReply(transferState.link,
                  NameReply{true, version,
                            static_cast<uint8_t>(OwnOptions() | (resume ? kOptionResume : 0) |
                                                 (utf8 ? kOptionUtf8Name : 0))});
    transferState.fileType = kCopy;
    UseProtocol(version);
    if (!resume) {
        transferState.newFileMode = 1;
        return;
    }
    // From here on both sides run the sequence of an Original facing a
    // Copy: only what differs, and the missing tail, crosses.
    transferState.resuming = true;
    transferState.decDigits = DecimalDigits(stamp.size);
    transferState.hexDigits = HexDigits(stamp.size);
    WatchStampForDigest(stamp);
    snprintf(line, sizeof line, kResumeText, static_cast<unsigned long long>(stamp.size));
    AddStatusLine(line);
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
        // A listening Blockmend side that is busy with another peer says
        // so instead of its word.
        if (IsBusyWord(serverWord)) {
            AddStatusLine(kPeerBusyText);
            EndTransfer();
        }
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
        const std::string code = PairingBytes();
        transferState.channel = PairWithCode(transferState.link, code.c_str(), code.size(), clientWord, serverWord,
                                             transferState.netRole == kClient);
        transferState.link.records = transferState.channel.get();
    }
    if (own == kNothing) {
        RequireVersion(offered);
        NameAndCreateNewFile(offered, peerOptions);
    } else if (peer == kNothing) {
        // The name in code page 932 for a peer of protocol 1, and in UTF-8
        // beside it for a Blockmend peer. A name with no code page 932 form
        // reaches only the latter: a peer of protocol 1 finds no name and
        // makes nothing.
        std::string cp932, utf8;
        const bool hasCp932 = PathToCp932(transferState.fileTitle, &cp932) && cp932.size() < kNameRecordSize;
        // The UTF-8 form goes only where the code page 932 one does not
        // carry the name exactly, so that a record that a peer of protocol
        // 1 can read is the same as ever, padding included.
        std::string back;
        if (!offers || !PathToUtf8(transferState.fileTitle, &utf8) || utf8.size() + 2 > kNameRecordSize ||
            (hasCp932 && Cp932ToUtf8(cp932, &back) && back == utf8))
            utf8.clear();
        if (!hasCp932 && utf8.empty()) RefuseName();
        SendNameRecord(transferState.link, hasCp932 ? cp932 : std::string(), utf8);
        const NameReply reply = ReceiveNameReply(transferState.link, offers);
        if (!reply.accepted) {
            AddStatusLine("Remote でエラーが発生しました。(FileName Error)");
            if (!hasCp932) RefuseName();
            EndTransfer();
        }
        RequireVersion(reply.version);
        if (reply.version >= 2) {
            peerOptions = reply.options;
            UseProtocol(AgreedVersion(reply.version));
        }
        // A Nothing side that continues its partial file is a Copy from
        // here on.
        transferState.resuming = reply.version >= 2 && (reply.options & kOptionResume) != 0;
        if (transferState.resuming) AddStatusLine(kPeerResumesText);
        else transferState.newFileMode = 1;
    } else {
        RequireVersion(offers ? offered : 1);
        if (offers && offered >= 2) UseProtocol(AgreedVersion(offered));
        transferState.peerIsDevice = SpeaksProtocol2() && peer == kCopy && (peerOptions & kOptionDevice) != 0;
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
const char kPeerBusyText[] = "相手は別の転送中です。終わってからもう一度接続してください";
const char kResumeText[] = "前回の続きから受信します (受信済み: %llu バイト)";
const char kPeerResumesText[] = "相手は前回の続きから受信します";
const char kDeviceTooShortText[] = "コピー先のデバイスが元のファイルより短いため、修復できません";
const char kNameNotCp932Text[] = "\"%s\"はコードページ932で表せない名前のため、相手に送れません";
const char kDeviceRestText[] = "デバイスの %llu バイト目から先は比較も変更もしません";

void CheckSizeForProtocol() {
    if (transferState.localSize <= transferState.link.protocol->maxFileSize) return;
    AddStatusLine(kTooLargeText);
    EndTransfer();
}

int CreateEmptyFile(const char* path) {
    FileHandle file;
    if (!FileOpen(file, path, FileMode::CreateTruncate)) return -1;
    // Where the file system needs to be told, so that the holes that the
    // tail leaves take no space.
    FileMarkSparse(file);
    return 0;
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
    // A longer Copy is compared over this file's length when it is a
    // partial file (this file shrank since the earlier transfer; its side
    // cuts it) or a block device (the rest stays as it is). A device
    // shorter than this file cannot take it.
    const bool deviceTooShort = transferState.peerIsDevice && differ && !copyLonger;
    const bool refused = (copyLonger && !transferState.resuming && !transferState.peerIsDevice) || deviceTooShort;
    SendSizeAnswer(transferState.link, SizeAnswer{.sizesDiffer = differ,
                                                  .originalSize = transferState.localSize,
                                                  .withBlockSize = !refused,
                                                  .blockSize = transferState.uiBlockSize});
    if (refused) {
        ShowRemoteSize();
        AddStatusLine(deviceTooShort ? kDeviceTooShortText : "error: ファイルサイズが異なります");
        EndTransfer();
    }
    if (copyLonger) {
        ShowRemoteSize();
        transferState.remoteSize = transferState.localSize;
    }
    transferState.workBytes = differ && !copyLonger ? transferState.remoteSize : transferState.localSize;
    if (differ && !copyLonger) {
        ShowRemoteSize();
        AddStatusLine("warning: ファイルサイズが異なります");
        AddStatusLine("(現存部分の一致調査後、不足部分は補います)");
    }
    SetPassBlockSize(transferState.blockSize);
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
            // A device is never extended.
            if (transferState.localIsDevice) {
                AddStatusLine(kDeviceTooShortText);
                EndTransfer();
            }
            transferState.workBytes = transferState.localSize;
            AddStatusLine("warning: ファイルサイズが異なります");
            AddStatusLine("(現存部分の一致調査後、不足部分は補います)");
        } else if (transferState.resuming) {
            CutPartialFile(transferState.remoteSize);
            transferState.workBytes = transferState.localSize;
        } else if (transferState.localIsDevice && SpeaksProtocol2()) {
            // The device is taken as long as the Original: its rest is
            // neither compared nor written, and the digest covers the rest
            // of neither side.
            char line[96];
            snprintf(line, sizeof line, kDeviceRestText, static_cast<unsigned long long>(transferState.remoteSize));
            AddStatusLine(line);
            transferState.localSize = transferState.remoteSize;
            transferState.workBytes = transferState.localSize;
        } else {
            AddStatusLine("error: ファイルサイズが異なります");
            EndTransfer();
        }
    }
    SetPassBlockSize(ReceiveBlockSize(transferState.link));
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
