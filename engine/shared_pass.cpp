// The first pass shared by the transfers of a serving Original (the
// server's main thread computes it; each transfer's worker takes it).
#include "engine/shared_pass.h"

#include <cstring>
#include <memory>

#include "engine/transfer_state.h"
#include "platform/memory.h"
#include "wire/block_size.h"

SharedFirstPass sharedFirstPass;

namespace {
// As the checksum pass reads: pieces small enough to stay in the
// processor's cache while both protocols' checksums go over them.
constexpr uint32_t kReadPiece = 256u << 10;

const Protocol* const kProtocols[2] = {&kProtocol1, &kProtocol2};

// Sums every block of size bytes of the file in both protocols with one
// read of the file. False when it cannot be read whole.
bool SumFile(FileHandle& file, uint64_t size, uint32_t blockSize) {
    SharedFirstPass& s = sharedFirstPass;
    const uint64_t count = BlockCount(size, blockSize);
    for (int p = 0; p < 2; ++p) ResizeChecksumList(s.lists[p], static_cast<size_t>(count), kProtocols[p]->crcBytes);
    s.digestTerms = U128{};
    // Blocks that fit a piece are read a whole number at a time and take
    // one call each; a larger block streams through the piece.
    const uint32_t piece = blockSize <= kReadPiece ? kReadPiece / blockSize * blockSize : kReadPiece;
    DataBuffer buffer(piece);
    std::unique_ptr<BlockSum> sums[2] = {std::make_unique<BlockSum>(), std::make_unique<BlockSum>()};
    uint64_t block = 0;
    for (uint64_t at = 0; at < size;) {
        const uint32_t want = size - at < piece ? static_cast<uint32_t>(size - at) : piece;
        uint32_t got = 0;
        if (!FileReadAt(file, at, buffer.get(), want, &got) || got != want) return false;
        s.bytesRead += got;
        if (blockSize <= kReadPiece) {
            for (uint32_t off = 0; off < got; off += blockSize, ++block) {
                const uint32_t n = got - off < blockSize ? got - off : blockSize;
                for (int p = 0; p < 2; ++p) {
                    const U128 terms = kProtocols[p]->SumBlock(buffer.get() + off, n, at + off, s.lists[p].Entry(block));
                    if (p == 1) s.digestTerms = Add128(s.digestTerms, terms);
                }
            }
        } else {
            if (at % blockSize == 0)
                for (int p = 0; p < 2; ++p) kProtocols[p]->BeginSum(*sums[p], at);
            for (int p = 0; p < 2; ++p) kProtocols[p]->AddToSum(*sums[p], buffer.get(), got);
            if ((at + got) % blockSize == 0 || at + got == size) {
                for (int p = 0; p < 2; ++p) {
                    const U128 terms = kProtocols[p]->EndSum(*sums[p], s.lists[p].Entry(block));
                    if (p == 1) s.digestTerms = Add128(s.digestTerms, terms);
                }
                ++block;
            }
        }
        at += got;
        // A stop signal to the server ends the read of a large file.
        if (transferState.stopRequested.load() == 1) return false;
    }
    return block == count;
}

// The stored form: a tag, the stamp, the block size and the digest's
// terms, then both lists as they are sent.
constexpr char kTag[8] = {'B', 'M', 'P', 'A', 'S', 'S', '1', '\0'};
struct SavedHead {
    char tag[8];
    FileStamp stamp;
    uint64_t blockSize;
    uint64_t count;
    U128 digestTerms;
};
}  // namespace

bool RefreshSharedFirstPass() {
    SharedFirstPass& s = sharedFirstPass;
    FileHandle file;
    FileStamp before;
    if (!FileOpen(file, transferState.localPath, FileMode::ReadShared) || !FileGetStamp(file, &before)) {
        s.ready = false;
        return false;
    }
    if (s.ready && s.stamp == before && s.blockSize == transferState.uiBlockSize) return true;
    s.ready = false;
    FileStamp after;
    if (FileIsDevice(file) || !SumFile(file, before.size, transferState.uiBlockSize) || !FileGetStamp(file, &after) ||
        !(after == before))
        return false;
    s.stamp = before;
    s.blockSize = transferState.uiBlockSize;
    s.ready = true;
    return true;
}

bool SaveSharedFirstPass(const char* path) {
    const SharedFirstPass& s = sharedFirstPass;
    if (!s.ready) return false;
    SavedHead head{};
    memcpy(head.tag, kTag, sizeof kTag);
    head.stamp = s.stamp;
    head.blockSize = s.blockSize;
    head.count = s.lists[0].count;
    head.digestTerms = s.digestTerms;
    FileHandle file;
    if (!FileOpen(file, path, FileMode::CreateTruncate) || !FileWriteAt(file, 0, &head, sizeof head)) return false;
    uint64_t at = sizeof head;
    for (const ChecksumList& list : s.lists) {
        const uint64_t bytes = static_cast<uint64_t>(list.count) * list.width;
        if (bytes > 0xFFFFFFFFu || !FileWriteAt(file, at, list.bytes.get(), static_cast<uint32_t>(bytes))) return false;
        at += bytes;
    }
    return true;
}

bool LoadSharedFirstPass(const char* path) {
    SharedFirstPass& s = sharedFirstPass;
    s.ready = false;
    FileHandle file;
    SavedHead head{};
    uint32_t got = 0;
    uint64_t size = 0;
    if (!FileOpen(file, path, FileMode::ReadShared) || !FileSize(file, &size) ||
        !FileReadAt(file, 0, &head, sizeof head, &got) || got != sizeof head || memcmp(head.tag, kTag, sizeof kTag) != 0 ||
        !IsValidBlockSize(head.blockSize) || head.count != BlockCount(head.stamp.size, head.blockSize) ||
        head.count > 0xFFFFFFFFu / kProtocol2.crcBytes ||
        size != sizeof head + head.count * (kProtocol1.crcBytes + kProtocol2.crcBytes))
        return false;
    uint64_t at = sizeof head;
    for (int p = 0; p < 2; ++p) {
        ResizeChecksumList(s.lists[p], static_cast<size_t>(head.count), kProtocols[p]->crcBytes);
        const uint32_t bytes = static_cast<uint32_t>(head.count * kProtocols[p]->crcBytes);
        if (!FileReadAt(file, at, s.lists[p].bytes.get(), bytes, &got) || got != bytes) return false;
        at += bytes;
    }
    s.stamp = head.stamp;
    s.blockSize = static_cast<uint32_t>(head.blockSize);
    s.digestTerms = head.digestTerms;
    s.ready = true;
    return true;
}

bool TakeSharedFirstPass() {
    const SharedFirstPass& s = sharedFirstPass;
    const Protocol& protocol = *transferState.link.protocol;
    const int p = protocol.version == 1 ? 0 : 1;
    if (!s.ready || transferState.fileType != kOriginal || !transferState.digestWatched ||
        !(transferState.digestStamp == s.stamp) || transferState.blockSize != s.blockSize ||
        transferState.workBytes != s.stamp.size || s.lists[p].width != protocol.crcBytes)
        return false;
    ChecksumList& local = transferState.localCrcs;
    ResizeChecksumList(local, s.lists[p].count, s.lists[p].width);
    memcpy(local.bytes.get(), s.lists[p].bytes.get(), s.lists[p].count * s.lists[p].width);
    if (protocol.provesResult) transferState.digestSum = Add128(transferState.digestSum, s.digestTerms);
    return true;
}
