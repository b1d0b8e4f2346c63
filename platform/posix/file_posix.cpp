// POSIX files: a path is the bytes that the user or the system gave, passed
// to the system as they are; exclusive access is an flock taken at every open, so a
// second open of the same file by any Blockmend process fails as a sharing
// violation, as it does on Windows.
#include "platform/file.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <linux/fs.h>
#include <string>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/error.h"

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

const char kNotAFileText[] = "通常のファイルでもブロックデバイスでもありません";

bool FileOpen(FileHandle& file, const char* path, FileMode mode) {
    FileClose(file);
    SaveErrorPlace(ErrorOperation::kOpen, path);
    int flags = O_CLOEXEC;
    switch (mode) {
    case FileMode::ReadExisting:
    case FileMode::ReadShared: flags |= O_RDONLY; break;
    case FileMode::WriteExisting: flags |= O_WRONLY; break;
    case FileMode::CreateTruncate: flags |= O_WRONLY | O_CREAT; break;
    case FileMode::ReadWriteAlways: flags |= O_RDWR | O_CREAT; break;
    }
    // Not blocking: a pipe's open would wait for a writer.
    int fd = open(path, flags | O_NONBLOCK, 0666);
    if (fd < 0) {
        SaveLastError();
        return false;
    }
    struct stat st;
    if (fstat(fd, &st) != 0) {
        SaveLastError();
        close(fd);
        return false;
    }
    if (S_ISDIR(st.st_mode)) {
        close(fd);
        errno = EISDIR;
        SaveLastError();
        return false;
    }
    // A new file is always a regular one.
    if (!S_ISREG(st.st_mode) && (!S_ISBLK(st.st_mode) || mode == FileMode::CreateTruncate)) {
        close(fd);
        SaveErrorText(kNotAFileText);
        return false;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    if (flock(fd, (mode == FileMode::ReadShared ? LOCK_SH : LOCK_EX) | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) SaveSharingViolation(); else SaveLastError();
        close(fd);
        return false;
    }
    // Truncate only once the lock is held, so that a file in use by
    // another opener is never cut.
    if (mode == FileMode::CreateTruncate && ftruncate(fd, 0) != 0) {
        SaveLastError();
        close(fd);
        return false;
    }
    file.fd = fd;
    file.path = path;
    return true;
}

void FileClose(FileHandle& file) {
    if (file.fd != -1) {
        close(static_cast<int>(file.fd));
        file.fd = -1;
    }
}

bool FileReadAt(FileHandle& file, uint64_t offset, void* buffer, uint32_t count, uint32_t* got) {
    uint32_t done = 0;
    while (done < count) {
        ssize_t n = pread(static_cast<int>(file.fd), static_cast<char*>(buffer) + done, count - done,
                          static_cast<off_t>(offset + done));
        if (n < 0) {
            if (errno == EINTR) continue;
            SaveHandleError(file, ErrorOperation::kRead);
            *got = done;
            return false;
        }
        if (n == 0) break;
        done += static_cast<uint32_t>(n);
    }
    *got = done;
    return true;
}

bool FileWriteAt(FileHandle& file, uint64_t offset, const void* buffer, uint32_t count) {
    uint32_t done = 0;
    while (done < count) {
        ssize_t n = pwrite(static_cast<int>(file.fd), static_cast<const char*>(buffer) + done, count - done,
                           static_cast<off_t>(offset + done));
        if (n < 0) {
            if (errno == EINTR) continue;
            SaveHandleError(file, ErrorOperation::kWrite);
            return false;
        }
        if (n == 0) {
            errno = ENOSPC;
            SaveHandleError(file, ErrorOperation::kWrite);
            return false;
        }
        done += static_cast<uint32_t>(n);
    }
    return true;
}

bool FileAppend(FileHandle& file, const void* buffer, uint32_t count) {
    uint64_t size = 0;
    return FileSize(file, &size) && FileWriteAt(file, size, buffer, count);
}

bool FileSetEnd(FileHandle& file, uint64_t size) {
    if (ftruncate(static_cast<int>(file.fd), static_cast<off_t>(size)) != 0) {
        SaveHandleError(file, ErrorOperation::kWrite);
        return false;
    }
    return true;
}

bool FileSync(FileHandle& file) {
    while (fdatasync(static_cast<int>(file.fd)) != 0) {
        if (errno == EINTR) continue;
        SaveHandleError(file, ErrorOperation::kWrite);
        return false;
    }
    return true;
}

bool FileReplace(const char* from, const char* to) {
    SaveErrorPlace(ErrorOperation::kRename, to);
    const std::string source = from, target = to;
    if (rename(source.c_str(), target.c_str()) != 0) {
        SaveLastError();
        return false;
    }
    // The new name is an entry of the folder: it is on the disk once the
    // folder is.
    const size_t slash = target.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : target.substr(0, slash);
    const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        SaveLastError();
        return false;
    }
    int synced;
    while ((synced = fsync(fd)) != 0 && errno == EINTR) {
    }
    // Some file systems cannot sync a folder (EINVAL): their rename is as
    // durable as they make it.
    if (synced != 0 && errno != EINVAL) {
        SaveLastError();
        close(fd);
        return false;
    }
    close(fd);
    return true;
}

bool FileIsDevice(FileHandle& file) {
    struct stat st;
    return fstat(static_cast<int>(file.fd), &st) == 0 && S_ISBLK(st.st_mode);
}

bool FileSize(FileHandle& file, uint64_t* size) {
    struct stat st;
    if (fstat(static_cast<int>(file.fd), &st) != 0) {
        SaveHandleError(file, ErrorOperation::kRead);
        return false;
    }
    *size = static_cast<uint64_t>(st.st_size);
    // A block device's node has no size of its own.
    if (S_ISBLK(st.st_mode) && ioctl(static_cast<int>(file.fd), BLKGETSIZE64, size) != 0) {
        SaveHandleError(file, ErrorOperation::kRead);
        return false;
    }
    return true;
}

bool FileIsHole(FileHandle& file, uint64_t offset, uint64_t length) {
    // The next data at or after offset lies beyond the range (ENXIO: no
    // data up to the end of the file).
    const off_t data = lseek(static_cast<int>(file.fd), static_cast<off_t>(offset), SEEK_DATA);
    if (data < 0) return errno == ENXIO;
    return static_cast<uint64_t>(data) >= offset + length;
}

bool FileMarkSparse(FileHandle&) { return true; }

bool FileGetStamp(FileHandle& file, FileStamp* stamp) {
    struct stat st;
    if (fstat(static_cast<int>(file.fd), &st) != 0) {
        SaveHandleError(file, ErrorOperation::kRead);
        return false;
    }
    stamp->size = static_cast<uint64_t>(st.st_size);
    if (S_ISBLK(st.st_mode) && !FileSize(file, &stamp->size)) return false;
    stamp->modified = static_cast<uint64_t>(st.st_mtim.tv_sec) * 1000000000u + static_cast<uint64_t>(st.st_mtim.tv_nsec);
    stamp->changed = static_cast<uint64_t>(st.st_ctim.tv_sec) * 1000000000u + static_cast<uint64_t>(st.st_ctim.tv_nsec);
    stamp->identity = static_cast<uint64_t>(st.st_ino) ^ (static_cast<uint64_t>(st.st_dev) << 48);
    return true;
}

namespace {
// Whether path names a folder; else false with the error saved.
bool IsFolder(const char* path) {
    struct stat info;
    if (stat(path, &info) != 0) {
        SaveLastError();
        return false;
    }
    if (!S_ISDIR(info.st_mode)) {
        errno = ENOTDIR;
        SaveLastError();
        return false;
    }
    return true;
}
}  // namespace

bool FolderWritable(const char* folder) {
    SaveErrorPlace(ErrorOperation::kUseFolder, folder);
    std::string native = folder;
    if (native.empty()) native.push_back('.');
    if (!IsFolder(native.c_str())) return false;
    // access() would answer yes for root on a folder made immutable; making
    // a file is the question that matters.
    std::string probe = native + "/.blockmend-XXXXXX";
    int fd = mkstemp(probe.data());
    if (fd < 0) {
        SaveLastError();
        return false;
    }
    close(fd);
    unlink(probe.c_str());
    return true;
}

bool MakeFolders(const char* folder) {
    SaveErrorPlace(ErrorOperation::kUseFolder, folder);
    const std::string path = folder;
    for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1))
        mkdir(path.substr(0, slash).c_str(), 0700);
    if (!path.empty() && path.back() != '/') mkdir(path.c_str(), 0700);
    return IsFolder(path.empty() ? "." : path.c_str());
}

char PathSeparator() { return '/'; }

bool FileRemove(const char* path) {
    if (unlink(path) != 0) {
        SaveLastError();
        return false;
    }
    return true;
}
