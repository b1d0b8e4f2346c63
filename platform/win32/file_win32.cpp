// Win32 files, opened with share mode 0 so that no other opener can hold the
// file meanwhile. Paths are in the front end's path encoding
// (platform/text.h): the window's go to the ANSI functions as they are (code
// page 932 on a Japanese system); the command-line peer's UTF-8 ones are
// turned into UTF-16 for the wide functions, so any name works there.
#include "platform/file.h"

#include <windows.h>
#include <winioctl.h>

#include <cstring>
#include <string>

#include "platform/error.h"
#include "platform/text.h"

namespace {
HANDLE H(const FileHandle& file) { return reinterpret_cast<HANDLE>(file.fd); }

bool WidePaths() { return PathTextEncoding() == PathEncoding::kUtf8; }

std::wstring Wide(const char* utf8) {
    const int n = MultiByteToWideChar(CP_UTF8, 0, utf8, -1, nullptr, 0);
    if (n <= 1) return std::wstring();
    std::wstring wide(static_cast<size_t>(n - 1), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8, -1, wide.data(), n);
    return wide;
}

DWORD Attributes(const char* path) {
    return WidePaths() ? GetFileAttributesW(Wide(path).c_str()) : GetFileAttributesA(path);
}

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
    case FileMode::ReadExisting:
    case FileMode::ReadShared: access = GENERIC_READ; disposition = OPEN_EXISTING; break;
    case FileMode::WriteExisting: access = GENERIC_WRITE; disposition = OPEN_EXISTING; break;
    case FileMode::CreateTruncate: access = GENERIC_WRITE; disposition = OPEN_ALWAYS; break;
    case FileMode::ReadWriteAlways: access = GENERIC_READ | GENERIC_WRITE; disposition = OPEN_ALWAYS; break;
    }
    // The device namespace (\\.\, a disk, a volume, a port) is not a file.
    if (strncmp(path, "\\\\.\\", 4) == 0) {
        SaveErrorText(kNotAFileText);
        return false;
    }
    SaveErrorPlace(ErrorOperation::kOpen, path);
    const DWORD share = mode == FileMode::ReadShared ? FILE_SHARE_READ : 0;
    HANDLE h = WidePaths() ? CreateFileW(Wide(path).c_str(), access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr)
                           : CreateFileA(path, access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
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
    file.path = path;
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
    SaveErrorPlace(ErrorOperation::kRename, to);
    const DWORD flags = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;
    if (!(WidePaths() ? MoveFileExW(Wide(from).c_str(), Wide(to).c_str(), flags) : MoveFileExA(from, to, flags))) {
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

namespace {
// Whether path names a folder; else false with the error saved.
bool IsFolder(const char* path) {
    const DWORD attributes = Attributes(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        SaveLastError();
        return false;
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        SetLastError(ERROR_DIRECTORY);
        SaveLastError();
        return false;
    }
    return true;
}
}  // namespace

bool FolderWritable(const char* folder) {
    SaveErrorPlace(ErrorOperation::kUseFolder, folder);
    if (!IsFolder(folder[0] != '\0' ? folder : ".")) return false;
    if (WidePaths()) {
        wchar_t probe[MAX_PATH];
        if (GetTempFileNameW(folder[0] != '\0' ? Wide(folder).c_str() : L".", L"bmd", 0, probe) == 0) {
            SaveLastError();
            return false;
        }
        DeleteFileW(probe);
        return true;
    }
    char probe[MAX_PATH];
    if (GetTempFileNameA(folder[0] != '\0' ? folder : ".", "bmd", 0, probe) == 0) {
        SaveLastError();
        return false;
    }
    DeleteFileA(probe);
    return true;
}

bool MakeFolders(const char* folder) {
    SaveErrorPlace(ErrorOperation::kUseFolder, folder);
    const std::string path = folder;
    // Each folder from the top down; one that exists already is no error.
    for (size_t i = 0; i <= path.size(); ++i) {
        if (i < path.size() && path[i] != '\\' && path[i] != '/') continue;
        const std::string part = path.substr(0, i);
        if (part.empty() || part.back() == ':') continue;
        if (WidePaths()) CreateDirectoryW(Wide(part.c_str()).c_str(), nullptr);
        else CreateDirectoryA(part.c_str(), nullptr);
    }
    return IsFolder(path.empty() ? "." : path.c_str());
}

char PathSeparator() { return '\\'; }

bool FileRemove(const char* path) {
    if (!(WidePaths() ? DeleteFileW(Wide(path).c_str()) : DeleteFileA(path))) {
        SaveLastError();
        return false;
    }
    return true;
}
