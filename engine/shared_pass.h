// The first pass of an Original that serves many peers at once: the
// checksum list of the whole file at the first block size, in the form of
// each protocol, and the whole file's share of the digest, computed once
// for each state of the file (its stamp) and taken by every transfer that
// finds the file in that state, instead of reading it again. The server
// computes it before it starts a transfer's process; a forked process finds
// it in its memory, a Windows one loads it from the file that the server
// saved. Server: main thread; a transfer: worker thread.
#pragma once

#include <cstdint>

#include "platform/file.h"
#include "wire/protocol.h"
#include "wire/strong_hash.h"

struct SharedFirstPass {
    bool ready = false;        // the fields below hold the file as stamp says
    FileStamp stamp;           // the file when it was read (its size included)
    uint32_t blockSize = 0;    // the first pass's block size
    ChecksumList lists[2];     // protocol 1's and protocol 2's list, as sent
    U128 digestTerms{};        // protocol 2: the chunk terms of the whole file
    uint64_t bytesRead = 0;    // what making it read of the file, in all
};

extern SharedFirstPass sharedFirstPass;

// Server: makes sharedFirstPass hold the file at transferState.localPath as
// it is now, at the block size transferState.uiBlockSize; the file is read
// only when its stamp differs from the one held. True when it then holds
// the file; false when the file cannot be read or changed while it was read
// (each transfer then reads the file itself).
bool RefreshSharedFirstPass();
// Writes sharedFirstPass to path / reads it from path (the processes of a
// Windows server). False when it cannot; a load that fails leaves it not
// ready.
bool SaveSharedFirstPass(const char* path);
bool LoadSharedFirstPass(const char* path);
// The first pass of an Original's transfer: fills localCrcs, and adds the
// whole file's share to digestSum, from sharedFirstPass when it holds the
// file as the transfer found it (digestStamp), at the pass's block size,
// and the pass covers the whole file. False, with nothing done, otherwise.
bool TakeSharedFirstPass();
