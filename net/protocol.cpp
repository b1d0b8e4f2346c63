// Handshake, size negotiation and the messages they are made of (worker
// thread).
#include "net/protocol.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "engine/frontend.h"
#include "engine/transfer_state.h"
#include "net/connection.h"
#include "engine/blocks.h"
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
    snprintf(line, sizeof line, "RemoteFileSize: %lu", static_cast<unsigned long>(transferState.remoteSize));
    AddStatusLine(line);
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

void NameAndCreateNewFile() {
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
    SendFlag(1);
    transferState.fileType = kCopy;
    transferState.newFileMode = 1;
}
}  // namespace

void SendFileType(int32_t fileType) { SendWord(static_cast<uint32_t>(fileType)); }

int32_t ReceiveFileType() { return static_cast<int32_t>(ReceiveWord()); }

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

uint8_t ReceiveFlag() {
    uint8_t flag = 0;
    ReceiveAll(transferState.dataSocket, &flag, 1);
    return flag != 0 ? 1 : 0;
}

void SendWord(uint32_t word) {
    uint8_t bytes[4] = {static_cast<uint8_t>(word), static_cast<uint8_t>(word >> 8), static_cast<uint8_t>(word >> 16),
                        static_cast<uint8_t>(word >> 24)};
    SendAll(transferState.dataSocket, bytes, sizeof bytes);
}

uint32_t ReceiveWord() {
    uint8_t b[4];
    ReceiveAll(transferState.dataSocket, b, sizeof b);
    return static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 | static_cast<uint32_t>(b[2]) << 16 |
           static_cast<uint32_t>(b[3]) << 24;
}

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
    SendFileType(transferState.fileType);
    const int32_t own = transferState.fileType;
    const int32_t peer = ReceiveFileType();
    // Exactly one Original, facing a Copy or a Nothing; anything else,
    // including words that name no FileType, is refused on both sides.
    bool accepted = (own == kOriginal && (peer == kCopy || peer == kNothing)) ||
                    ((own == kCopy || own == kNothing) && peer == kOriginal);
    if (!accepted) {
        AddStatusLine("FileType が正しくありません。");
        EndTransfer();
    }
    if (own == kNothing) {
        NameAndCreateNewFile();
    } else if (peer == kNothing) {
        SendNameRecord(transferState.fileTitle);
        if (ReceiveFlag() == 0) {
            AddStatusLine("Remote でエラーが発生しました。(FileName Error)");
            EndTransfer();
        }
        transferState.newFileMode = 1;
    }
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
    transferState.remoteSize = ReceiveWord();
    // The answer goes out in one send: flag, size word and block-size word
    // as separate small sends would wait on each other's acknowledgements.
    uint8_t answer[9];
    size_t length = 0;
    auto put = [&](uint32_t word) {
        for (int i = 0; i < 4; ++i) answer[length++] = static_cast<uint8_t>(word >> (8 * i));
    };
    if (transferState.remoteSize == transferState.localSize) {
        answer[length++] = 0;
        transferState.workBytes = transferState.localSize;
    } else {
        answer[length++] = 1;
        put(transferState.localSize);
        if (transferState.localSize <= transferState.remoteSize) {
            SendAll(transferState.dataSocket, answer, length);
            ShowRemoteSize();
            AddStatusLine("error: ファイルサイズが異なります");
            EndTransfer();
        }
        transferState.workBytes = transferState.remoteSize;
    }
    put(transferState.uiBlockSize);
    SendAll(transferState.dataSocket, answer, length);
    if (transferState.remoteSize != transferState.localSize) {
        ShowRemoteSize();
        AddStatusLine("warning: ファイルサイズが異なります");
        AddStatusLine("(現存部分の一致調査後、不足部分は補います)");
    }
    transferState.blockCount = static_cast<int32_t>(CeilDiv(transferState.workBytes, transferState.blockSize));
}

void NegotiateSizesCopy() {
    SendWord(transferState.localSize);
    if (ReceiveFlag() == 0) {
        transferState.remoteSize = transferState.localSize;
        transferState.workBytes = transferState.localSize;
    } else {
        transferState.remoteSize = ReceiveWord();
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
    transferState.blockCount = static_cast<int32_t>(CeilDiv(transferState.workBytes, transferState.blockSize));
}

void NegotiateSizesNewFile() {
    if (transferState.fileType == kOriginal) {
        SendWord(transferState.localSize);
        transferState.remoteSize = 0;
    } else {
        transferState.remoteSize = ReceiveWord();
        ShowRemoteSize();
    }
}
