// Files for the transfer engine and the comparison log: every open is
// exclusive (no other opener, in this process or another, may hold the file
// at the same time; only ReadShared readers share it among themselves),
// and every handle is owned by a FileHandle that closes
// it when it goes out of scope. Paths are in the path encoding
// (platform/text.h): bytes as given on POSIX; on Windows the front end's
// ANSI (code page 932) or UTF-8 names. A failure saves its operation and
// path beside the error (platform/error.h).
// Any thread may use these functions; a handle belongs to one thread.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

// The longest path that the program holds, with its terminating zero: 260
// on Windows, where the window's ANSI functions take no more (MAX_PATH) and
// the command-line peer keeps to the same record; 4096 on POSIX (PATH_MAX),
// where a path is whatever the user gave.
#ifdef _WIN32
constexpr int kSystemPathBytes = 260;
#else
constexpr int kSystemPathBytes = 4096;
#endif

enum class FileMode {
    ReadExisting,     // read only; the file must exist
    ReadShared,       // as ReadExisting, but other ReadShared openers may hold it too (never a writer)
    WriteExisting,    // write only; must exist; neither created nor truncated
    CreateTruncate,   // write only; created, or truncated to length 0
    ReadWriteAlways,  // read and write; created when missing, never truncated
};

struct FileHandle {
    intptr_t fd = -1;  // descriptor or HANDLE; -1 when closed
    std::string path;  // as opened: the place of an error (SaveErrorPlace)

    FileHandle() = default;
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    FileHandle(FileHandle&& other) noexcept : fd(other.fd), path(std::move(other.path)) { other.fd = -1; }
    FileHandle& operator=(FileHandle&& other) noexcept;
    ~FileHandle();

    bool IsOpen() const { return fd != -1; }
};

// Opens path in the given mode. On failure the handle stays closed and the
// thread's last error (SystemErrorText) describes why. Only a regular file
// or (POSIX) a block device opens, and CreateTruncate takes only a regular
// file: a folder, a pipe, a socket or a character device is refused with
// kNotAFileText, and never waited on.
bool FileOpen(FileHandle& file, const char* path, FileMode mode);
extern const char kNotAFileText[];
// Whether the open file is a block device (a disk or a partition): its
// size is the device's and can be neither cut nor extended.
bool FileIsDevice(FileHandle& file);
void FileClose(FileHandle& file);

// Reads up to count bytes at offset; *got receives the number read (less
// than count only at the end of the file). False on a read error.
bool FileReadAt(FileHandle& file, uint64_t offset, void* buffer, uint32_t count, uint32_t* got);
// Writes exactly count bytes at offset. False on any error, a short write
// (disk full) included.
bool FileWriteAt(FileHandle& file, uint64_t offset, const void* buffer, uint32_t count);
// Appends count bytes at the end of the file.
bool FileAppend(FileHandle& file, const void* buffer, uint32_t count);
// Cuts or extends the file to size bytes; what it is extended by is a hole
// where the file system has them.
bool FileSetEnd(FileHandle& file, uint64_t size);
bool FileSize(FileHandle& file, uint64_t* size);
// Whether [offset, offset + length) of the file holds no data at all (a
// hole, which reads as zeros and takes no space). False where the system
// cannot tell.
bool FileIsHole(FileHandle& file, uint64_t offset, uint64_t length);
// Asks the file system to keep the file's holes (Windows: the sparse
// attribute; POSIX file systems keep them anyway). False when it cannot.
bool FileMarkSparse(FileHandle& file);
// Returns once what was written through file is on the disk (POSIX
// fdatasync, Windows FlushFileBuffers): a reported success survives a power
// cut that comes after it.
bool FileSync(FileHandle& file);
// Gives the closed file from its final name to, replacing a file of that
// name in one step, and returns once the new name is on the disk (POSIX:
// rename, then a sync of the folder; Windows: MoveFileEx, replacing and
// writing through). A crash leaves either the old file or the new one under
// that name, never a mix.
bool FileReplace(const char* from, const char* to);

// What changes whenever anyone writes the file: its size, its modification
// and change times and which file it is. Equal stamps taken before and
// after a stretch of time mean that nobody wrote the file in between, as
// far as the file system's clock can tell.
struct FileStamp {
    uint64_t size = 0;
    uint64_t modified = 0;  // modification time, in the system's units
    uint64_t changed = 0;   // change time (POSIX ctime, Windows ChangeTime)
    uint64_t identity = 0;  // inode or file index
    bool operator==(const FileStamp&) const = default;
};
bool FileGetStamp(FileHandle& file, FileStamp* stamp);

// Whether folder exists as a folder and a new file can be made in it (a
// scratch file is made and removed). False with the thread's last error set
// when not.
bool FolderWritable(const char* folder);

// Removes the file at path; false when it cannot.
bool FileRemove(const char* path);

// Makes folder and every missing folder above it, as mkdir -p does (for
// the folder of the comparison log). False with the last error set when it
// still does not exist as a folder.
bool MakeFolders(const char* folder);

// Separator between a folder and a name in paths of this system.
char PathSeparator();
