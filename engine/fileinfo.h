// The figures of the chosen file that both front ends show and the transfer
// uses: its size, the digit counts of the comparison line, and the block
// size suggested for it. Any thread, one at a time.
#pragma once

#include <cstdint>

// The largest file that any protocol carries (protocol 2's 64-bit sizes,
// kept below 2^63); protocol 1 carries less, and the transfer refuses a
// larger file only once the peer turns out to speak only protocol 1.
constexpr uint64_t kMaxFileSize = 0x7FFFFFFFFFFFFFFFull;

enum class FileInfoResult { Ok, CannotOpen, TooLarge };

// Reads the size of the file at localPath (opened with no sharing) into
// localSize, decDigits and hexDigits, and its stamp into *stamp when given.
// CannotOpen leaves the system's error saved; TooLarge and CannotOpen change
// no field.
struct FileStamp;
FileInfoResult ReadLocalFileInfo(FileStamp* stamp = nullptr);
// Number of decimal and hexadecimal digits of an unsigned size.
int32_t DecimalDigits(uint64_t value);
int32_t HexDigits(uint64_t value);
// divideIndex := index (of the block-size ladder, wire/block_size.h);
// uiBlockSize, uiBlockCount and crcDataSize follow.
void SetBlockFigures(int32_t index);
// The text shown for a file too large for the protocol of the transfer.
extern const char kTooLargeText[];
// The name part of a path (after its last separator, PathNameStart).
const char* PathTitle(const char* path);

// The record's part of the end of a transfer, for every front end (the
// window then shows what it left): a side that received a new file becomes
// a chosen file on the Client role, and a Copy's figures are loaded again
// (the suggestion included). A Copy whose file can no longer be used loses
// its selection; CannotOpen comes with the system's error saved for the
// caller to show.
FileInfoResult SettleSelectionAfterTransfer();
