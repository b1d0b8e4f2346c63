// Puts the one transfer record back into a known state between tests that
// drive the engine in this process.
#pragma once

#include <string>

#include "engine/blocks.h"
#include "engine/compare.h"
#include "engine/lifecycle.h"
#include "engine/transfer_state.h"

// Settings back to their start values (statusLineCount is kept: it is never
// reset), lists freed, the recorder cleared.
void ResetEngine();
// Builds blocks from {offset, length} pairs.
Block* MakeBlocks(std::initializer_list<std::pair<uint64_t, uint64_t>> spans);
// Fills a checksum list with entries of width bytes (2: protocol 1).
void MakeChecksumList(ChecksumList& list, std::initializer_list<uint64_t> crcs, size_t width = 2);
// Entry i of a checksum list as a number.
uint64_t CrcAt(const ChecksumList& list, size_t i);
// A UTF-8 path as the engine holds it (POSIX: its bytes).
std::string EnginePath(const std::string& utf8);
// Runs fn on the calling thread as the worker runs a transfer; true when it
// ended the transfer (which is then released and its end shown as the
// worker's would be), false when it returned instead.
template <typename Fn>
bool EndsTransfer(Fn fn) {
    return RunToEnd(fn);
}
