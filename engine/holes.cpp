// Writes that keep a file's holes (worker thread).
#include "engine/holes.h"

#include <cstring>

#include "platform/file.h"

namespace {
bool IsZeroBlock(const uint8_t* p) { return p[0] == 0 && memcmp(p, p + 1, kHoleBlock - 1) == 0; }
}  // namespace

bool WriteKeepingHoles(FileHandle& file, uint64_t offset, const uint8_t* data, uint32_t n, bool beyondEnd) {
    const uint64_t end = offset + n;
    uint64_t pending = offset;  // the start of what is still to be written
    // Only whole blocks of the grid can stay holes.
    for (uint64_t block = (offset + kHoleBlock - 1) / kHoleBlock * kHoleBlock; block + kHoleBlock <= end;
         block += kHoleBlock) {
        const uint8_t* p = data + (block - offset);
        if (!IsZeroBlock(p) || (!beyondEnd && !FileIsHole(file, block, kHoleBlock))) continue;
        if (block > pending && !FileWriteAt(file, pending, data + (pending - offset), static_cast<uint32_t>(block - pending)))
            return false;
        pending = block + kHoleBlock;
    }
    if (pending < end) return FileWriteAt(file, pending, data + (pending - offset), static_cast<uint32_t>(end - pending));
    // A range that ends in a hole past the file's end still makes the file
    // that long.
    return !beyondEnd || n == 0 || FileSetEnd(file, end);
}
