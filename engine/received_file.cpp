// The file that a Nothing side receives (worker thread, except
// SettleReceivedFile, which runs at the thread's entry after the end).
#include "engine/received_file.h"

#include <cstdio>
#include <cstring>

#include "engine/digest.h"
#include "engine/fileinfo.h"
#include "engine/frontend.h"
#include "engine/transfer_state.h"
#include "platform/file.h"

const char kPartialSuffix[] = ".blockmend-part";

bool PartialPath(char* partial, const char* path) {
    const int n = snprintf(partial, kPathSize, "%s%s", path, kPartialSuffix);
    return n > 0 && n < kPathSize;
}

bool FindPartialFile(const char* partial, FileStamp* stamp) {
    FileHandle file;
    if (!FileOpen(file, partial, FileMode::ReadExisting)) return false;
    return FileGetStamp(file, stamp) && stamp->size > 0 && stamp->size <= kMaxFileSize;
}

void CutPartialFile(uint64_t size) {
    FileHandle file;
    FileStamp stamp;
    if (!FileOpen(file, transferState.localPath, FileMode::WriteExisting) || !FileSetEnd(file, size) ||
        !FileGetStamp(file, &stamp)) {
        ShowSystemError();
        EndTransfer();
    }
    transferState.localSize = size;
    // The cut is the transfer's own write: the digest goes on from here.
    WatchStampForDigest(stamp);
}

void CommitReceivedFile() {
    if (transferState.receiveFolder[0] == '\0') return;
    {
        // Whatever phase wrote last has synced already; this covers a file
        // that no phase wrote (an empty one, a partial one found whole).
        FileHandle file;
        if (!FileOpen(file, transferState.localPath, FileMode::WriteExisting) || !FileSync(file)) {
            ShowSystemError();
            EndTransfer();
        }
    }
    if (!FileReplace(transferState.localPath, transferState.finalPath)) {
        char line[kPathSize + 64];
        snprintf(line, sizeof line, "\"%s\"に名前を付けられませんでした。", transferState.finalPath);
        AddStatusLine(line);
        ShowSystemError();
        EndTransfer();
    }
    strcpy(transferState.localPath, transferState.finalPath);
    transferState.receiveFolder[0] = '\0';
    // As after any new file: the side now holds it as a Copy.
    transferState.newFileMode = 1;
}

void SettleReceivedFile() {
    if (transferState.receiveFolder[0] == '\0') return;
    strcpy(transferState.localPath, transferState.receiveFolder);
    transferState.receiveFolder[0] = '\0';
    transferState.fileTitle[0] = '\0';
    transferState.fileType = kNothing;
    transferState.newFileMode = 0;
    transferState.resuming = false;
}
