// Win32 files: ANSI paths (code page 932 on a Japanese system), opened with
// share mode 0 so that no other opener can hold the file meanwhile.
#include "platform/file.h"

#include <windows.h>
#include <winioctl.h>

#include <cstring>

#include "platform/error.h"

namespace {
HANDLE H(const FileHandle& file) { return reinterpret_cast<HANDLE>(file.fd); }

bool SeekTo(FileHandle& file, uint64_t offset) {
    LARGE_INTEGER pos;
    pos.QuadPart = static_cast<LONGLONG>(offset);
    if (!SetFilePointerEx(H(file), pos, nullptr, FILE_BEGIN)) {
        SaveLastError();
        return false;
    }
    return true;
}
}  // namespace

namespace {
// The last error, with the handle's path as its place.
void SaveHandleError(const FileHandle& file, ErrorOperation operation) {
    SaveLastError();
    SaveErrorPlace(operation, file.path.c_str());
}
}  // namespace

FileHandle& FileHandle::operator=(FileHandle&& other) noexcept {
    if (this != &other) {
        FileClose(*this);
        fd = other.fd;
        path = std::move(other.path);
        other.fd = -1;
    }
    return *this;
}

FileHandle::~FileHandle() { FileClose(*this); }

const char kNotAFileText[] = "通常のファイルではありません";

bool FileOpen(FileHandle& file, const char* path, FileMode mode) {
    FileClose(file);
    DWORD access = 0, disposition = 0;
    switch (mode) {
    case FileMode::ReadExisting: access = GENERIC_READ; disposition = OPEN_EXISTING; break;
    case FileMode::WriteExisting: access = GENERIC_WRITE; disposition = OPEN_EXISTING; break;
    case FileMode::CreateTruncate: access = GENERIC_WRITE; disposition = OPEN_ALWAYS; break;
    case FileMode::ReadWriteAlways: access = GENERIC_READ | GENERIC_WRITE; disposition = OPEN_ALWAYS; break;
    }
    // The device namespace (\\.\, a disk, a volume, a port) is not a file.
    if (strncmp(path, "\\\\.\\", 4) == 0) {
        SaveErrorText(kNotAFileText);
        return false;
    }
    HANDLE h = CreateFileA(path, access, 0, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        SaveLastError();
        return false;
    }
    if (GetFileType(h) != FILE_TYPE_DISK) {
        CloseHandle(h);
        SaveErrorText(kNotAFileText);
        return false;
    }
    file.fd = reinterpret_cast<intptr_t>(h);
    if (mode == FileMode::CreateTruncate && !FileSetEnd(file, 0)) {
        FileClose(file);
        return false;
    }
    return true;
}

void FileClose(FileHandle& file) {
    if (file.fd != -1) {
        CloseHandle(H(file));
        file.fd = -1;
    }
}

bool FileReadAt(FileHandle& file, uint64_t offset, void* buffer, uint32_t count, uint32_t* got) {
    *got = 0;
    if (!SeekTo(file, offset)) return false;
    while (*got < count) {
        DWORD n = 0;
        if (!ReadFile(H(file), static_cast<char*>(buffer) + *got, count - *got, &n, nullptr)) {
            SaveHandleError(file, ErrorOperation::kRead);
            return false;
        }
        if (n == 0) break;
        *got += n;
    }
    return true;
}

bool FileWriteAt(FileHandle& file, uint64_t offset, const void* buffer, uint32_t count) {
    if (!SeekTo(file, offset)) return false;
    uint32_t done = 0;
    while (done < count) {
        DWORD n = 0;
        if (!WriteFile(H(file), static_cast<const char*>(buffer) + done, count - done, &n, nullptr)) {
            SaveHandleError(file, ErrorOperation::kWrite);
            return false;
        }
        if (n == 0) {
            SetLastError(ERROR_DISK_FULL);
            SaveHandleError(file, ErrorOperation::kWrite);
            return false;
        }
        done += n;
    }
    return true;
}

bool FileAppend(FileHandle& file, const void* buffer, uint32_t count) {
    uint64_t size = 0;
    return FileSize(file, &size) && FileWriteAt(file, size, buffer, count);
}

bool FileSetEnd(FileHandle& file, uint64_t size) {
    if (!SeekTo(file, size)) return false;
    if (!SetEndOfFile(H(file))) {
        SaveHandleError(file, ErrorOperation::kWrite);
        return false;
    }
    return true;
}

bool FileSync(FileHandle& file) {
    if (!FlushFileBuffers(H(file))) {
        SaveHandleError(file, ErrorOperation::kWrite);
        return false;
    }
    return true;
}

bool FileReplace(const char* from, const char* to) {
    if (!MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        SaveLastError();
        return false;
    }
    return true;
}

bool FileIsDevice(FileHandle&) { return false; }

bool FileIsHole(FileHandle&, uint64_t, uint64_t) { return false; }

bool FileMarkSparse(FileHandle& file) {
    DWORD returned = 0;
    return DeviceIoControl(H(file), FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &returned, nullptr) != 0;
}

bool FileSize(FileHandle& file, uint64_t* size) {
    LARGE_INTEGER s;
    if (!GetFileSizeEx(H(file), &s)) {
        SaveHandleError(file, ErrorOperation::kRead);
        return false;
    }
    *size = static_cast<uint64_t>(s.QuadPart);
    return true;
}

bool FileGetStamp(FileHandle& file, FileStamp* stamp) {
    FILE_BASIC_INFO basic;
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandleEx(H(file), FileBasicInfo, &basic, sizeof basic) ||
        !GetFileInformationByHandle(H(file), &info)) {
        SaveHandleError(file, ErrorOperation::kRead);
        return false;
    }
    stamp->size = static_cast<uint64_t>(info.nFileSizeHigh) << 32 | info.nFileSizeLow;
    stamp->modified = static_cast<uint64_t>(basic.LastWriteTime.QuadPart);
    stamp->changed = static_cast<uint64_t>(basic.ChangeTime.QuadPart);
    stamp->identity = static_cast<uint64_t>(info.nFileIndexHigh) << 32 | info.nFileIndexLow;
    return true;
}

bool FolderWritable(const char* folder) {
    DWORD attributes = GetFileAttributesA(folder[0] != '\0' ? folder : ".");
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        SaveLastError();
        return false;
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        SetLastError(ERROR_DIRECTORY);
        SaveLastError();
        return false;
    }
    char probe[MAX_PATH];
    if (GetTempFileNameA(folder[0] != '\0' ? folder : ".", "bmd", 0, probe) == 0) {
        SaveLastError();
        return false;
    }
    DeleteFileA(probe);
    return true;
}

char PathSeparator() { return '\\'; }
