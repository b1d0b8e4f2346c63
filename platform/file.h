// Files for the transfer engine and the comparison log: every open is
// exclusive (no other opener, in this process or another, may hold the file
// at the same time), and every handle is owned by a FileHandle that closes
// it when it goes out of scope. Paths are code page 932 byte strings.
// Any thread may use these functions; a handle belongs to one thread.
#pragma once

#include <cstdint>

enum class FileMode {
    ReadExisting,     // read only; the file must exist
    WriteExisting,    // write only; must exist; neither created nor truncated
    CreateTruncate,   // write only; created, or truncated to length 0
    ReadWriteAlways,  // read and write; created when missing, never truncated
};

struct FileHandle {
    intptr_t fd = -1;  // descriptor or HANDLE; -1 when closed

    FileHandle() = default;
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    FileHandle(FileHandle&& other) noexcept : fd(other.fd) { other.fd = -1; }
    FileHandle& operator=(FileHandle&& other) noexcept;
    ~FileHandle();

    bool IsOpen() const { return fd != -1; }
};

// Opens path in the given mode. On failure the handle stays closed and the
// thread's last error (SystemErrorText) describes why.
bool FileOpen(FileHandle& file, const char* path, FileMode mode);
void FileClose(FileHandle& file);

// Reads up to count bytes at offset; *got receives the number read (less
// than count only at the end of the file). False on a read error.
bool FileReadAt(FileHandle& file, uint64_t offset, void* buffer, uint32_t count, uint32_t* got);
// Writes exactly count bytes at offset. False on any error, a short write
// (disk full) included.
bool FileWriteAt(FileHandle& file, uint64_t offset, const void* buffer, uint32_t count);
// Appends count bytes at the end of the file.
bool FileAppend(FileHandle& file, const void* buffer, uint32_t count);
// Cuts or extends the file to size bytes.
bool FileSetEnd(FileHandle& file, uint64_t size);
bool FileSize(FileHandle& file, uint64_t* size);
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

// Separator between a folder and a name in paths of this system.
char PathSeparator();
