// The whole-file digest that ends every transfer of protocol 2: each side
// sums its own file from the chunk terms of wire/strong_hash.h while the
// transfer reads it anyway (the compared part in the first pass, the tail
// as it moves), keeps the sum up to date where the Copy's repair rewrites
// blocks, and after the tail both sides exchange the digest and compare.
// With protocol 1 every function here does nothing. Worker thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

struct BlockSum;
struct FileHandle;
struct FileStamp;

// The digest of the file that the side holds: XXH3-128 of the sum of all
// its chunk terms, the compared length and the whole length, as sent.
void ComputeDigest(uint8_t* digest);

// The sum covers what the transfer read and wrote. So that a program that
// writes the file meanwhile cannot go unnoticed, each side stamps its file
// when the peer has come and its size is read (WatchStampForDigest; a
// Nothing side's new file when the tail first opens it), checks the stamp
// before the first write of each phase that writes (repair, tail) and at
// the end, and stamps it again after the phase's last write. A stamp that
// changed makes the end read the whole file again for the digest. (A write
// by another program in the middle of a phase of writes of the transfer's
// own can hide behind them, and so can a write through a shared memory map,
// which changes no time: see --verify-all.)
void WatchStampForDigest(const FileStamp& stamp);
void WatchFileForDigest(FileHandle& file);
void CheckFileForDigest(FileHandle& file);
void StampFileForDigest(FileHandle& file);
// Copy, before the repair: takes the damaged blocks out of the sum, as they
// are now, so that the verification can add them as the repair leaves them.
void TakeOutDamagedBlocks();
// The tail's share of the digest while its pieces move (the bytes from
// offset on); held by the tail transfer, so that an end in the middle
// releases it.
struct TailDigest {
    std::unique_ptr<BlockSum> sum;  // none with protocol 1
    ~TailDigest();
};
void StartTailDigest(TailDigest& tail, uint64_t offset);
void AddTailToDigest(TailDigest& tail, const uint8_t* data, size_t n);
void FinishTailDigest(TailDigest& tail);
// After the tail: exchanges the digests (the Original's first) and returns
// when they agree; otherwise shows "修復に失敗したようです。" and ends the
// transfer.
void ProveResult();
