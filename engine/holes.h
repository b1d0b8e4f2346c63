// Writes that keep a file's holes: a sparse file sent whole arrives as
// sparse as it left, and a repair writes zeros only where the copy holds
// data. Decided by the receiving side alone, so it works with any peer.
// Worker thread.
#pragma once

#include <cstdint>

struct FileHandle;

// The grid of the blocks that may stay holes: the smallest block of the
// file systems in use.
constexpr uint32_t kHoleBlock = 4096;

// Writes n bytes of data at offset, leaving unwritten each all-zero block
// of the kHoleBlock grid that is a hole already: all of them when
// beyondEnd (the range lies at or past the file's end, so the file ends at
// offset + n afterwards), else those that the file reports as holes. False
// on a failed write, with the system's error saved.
bool WriteKeepingHoles(FileHandle& file, uint64_t offset, const uint8_t* data, uint32_t n, bool beyondEnd);
