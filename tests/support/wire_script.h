// What an honest peer sends and reads, step by step, for the tests that play
// one side of a transfer against blockmend-cli and break it at a chosen
// byte: the scripts of an Original facing a Copy or a Nothing side and of a
// Copy facing an Original, all at one block size with no refinement, and
// the file that a Copy holds when the stream stops after a given byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/peer.h"

constexpr uint32_t kBlock = 4096;   // one comparison pass, no refinement
constexpr uint32_t kPiece = 65536;  // the tail moves in pieces of this size

// One step: bytes to send, or a count to read. A step whose bytes the Copy
// writes to its file says where they go.
struct Step {
    std::string send;
    size_t receive = 0;
    enum Kind { kMessage, kBlocks, kTail } kind = kMessage;
    std::vector<std::pair<size_t, size_t>> blocks;  // kBlocks: {offset, length} of each block in turn
    size_t tailAt = 0;                              // kTail: file offset of the first byte
};
using Script = std::vector<Step>;

Step Send(std::string bytes, Step::Kind kind = Step::kMessage);
Step Receive(size_t count);

// The 260-byte name record of name.
std::string NameRecord(const std::string& name);
// The checksums of the kBlock-sized blocks of bytes[0, work), as sent.
std::string CrcList(const std::string& bytes, size_t work);
// The blocks of [0, work) whose checksums differ in a and b.
std::vector<std::pair<size_t, size_t>> Damaged(const std::string& a, const std::string& b, size_t work);

// An Original that holds original, facing a Copy that holds copy.
Script OriginalPart(const std::string& original, const std::string& copy);
// A Copy that holds copy, facing an Original that holds original.
Script CopyPart(const std::string& original, const std::string& copy);
// An Original facing a Nothing side: the whole file, named name.
Script WholeFilePart(const std::string& original, const std::string& name);

// Bytes that script sends in all.
size_t ScriptBytes(const Script& script);
// For every message of script: before its first byte, after its first, in
// its middle and before its last; in a tail, also just past its first piece.
std::vector<size_t> CutPoints(const Script& script);
// What a Copy (or the new file of a Nothing side) that held file holds after
// the peer that played script sent only its first cut bytes: every block and
// every tail piece that arrived whole is written, nothing else.
std::string FileAfterCut(std::string file, const Script& script, size_t cut);

// Plays script over peer, sending only its first cut bytes; then ends its
// sending and reads what the other side still sends until it closes, so
// that every byte sent arrives and the connection ends with a plain close;
// then closes the connection (not a listener).
// Each read waits at most timeoutMs.
void Play(ScriptedPeer& peer, const Script& script, size_t cut = SIZE_MAX, int timeoutMs = 5000);
