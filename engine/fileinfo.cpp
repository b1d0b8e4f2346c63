// File figures and the block-size suggestion.
#include "engine/fileinfo.h"

#include "engine/transfer_state.h"
#include "platform/file.h"
#include "platform/text.h"
#include "wire/block_size.h"

const char kTooLargeText[] = "4GB以上のファイルは扱えません";

FileInfoResult ReadLocalFileInfo(FileStamp* stamp) {
    FileHandle file;
    if (!FileOpen(file, transferState.localPath, LocalReadMode())) return FileInfoResult::CannotOpen;
    uint64_t size = 0;
    if (!FileSize(file, &size)) return FileInfoResult::CannotOpen;
    if (stamp && !FileGetStamp(file, stamp)) return FileInfoResult::CannotOpen;
    if (size > kMaxFileSize) return FileInfoResult::TooLarge;
    transferState.localSize = size;
    transferState.localIsDevice = FileIsDevice(file);
    transferState.decDigits = DecimalDigits(transferState.localSize);
    transferState.hexDigits = HexDigits(transferState.localSize);
    return FileInfoResult::Ok;
}

int32_t DecimalDigits(uint64_t value) {
    int32_t n = 1;
    while (value >= 10) {
        value /= 10;
        ++n;
    }
    return n;
}

int32_t HexDigits(uint64_t value) {
    int32_t n = 1;
    while (value >= 16) {
        value >>= 4;
        ++n;
    }
    return n;
}

void SetBlockFigures(int32_t index) {
    transferState.divideIndex = index;
    transferState.uiBlockSize = BlockSizeAt(index);
    transferState.uiBlockCount = static_cast<int64_t>(BlockCount(transferState.localSize, transferState.uiBlockSize));
    transferState.crcDataSize = transferState.uiBlockCount * 10;
}

const char* PathTitle(const char* path) { return path + PathNameStart(path); }

FileInfoResult SettleSelectionAfterTransfer() {
    if (transferState.newFileMode == 1 && transferState.fileType == kCopy) {
        transferState.selectionKind = kFileSelected;
        transferState.netRole = kClient;
    }
    if (transferState.fileType != kCopy || transferState.selectionKind != kFileSelected) return FileInfoResult::Ok;
    FileInfoResult result = ReadLocalFileInfo();
    if (result == FileInfoResult::Ok) {
        SetBlockFigures(SuggestBlockSizeIndex(transferState.localSize));
    } else {
        transferState.localPath[0] = '\0';
        transferState.fileTitle[0] = '\0';
        transferState.selectionKind = kNoSelection;
    }
    return result;
}
