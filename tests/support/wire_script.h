// What an honest peer sends and reads, step by step, for the tests that play
// one side of a transfer against blockmend-cli and break it at a chosen
// byte: the scripts of an Original facing a Copy or a Nothing side and of a
// Copy facing an Original, all at one block size with no refinement, in
// protocol 1 or 2, and the file that a Copy holds when the stream stops
// after a given byte.
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
// The FileType word that offers protocol 2: "BM", 2 with options, 'O' or
// 'C'.
std::string OfferWord2(int fileType, uint8_t options = 0);
// A size word of the protocol (4 or 8 bytes).
std::string SizeWord(uint64_t size, int protocol);
// The checksums of the kBlock-sized blocks of bytes[from, to), as sent in
// the protocol (CRC-16 in 2 bytes, or the low 64 bits of the chunk terms).
std::string CrcList(const std::string& bytes, size_t to, int protocol = 1, size_t from = 0);
// The whole-file digest of protocol 2 of file, whose first compared bytes
// were compared; readWhole: of a transfer that reads both files whole at
// the end.
std::string Digest(const std::string& file, size_t compared, bool readWhole = false);
// The blocks of [0, work) whose checksums differ in a and b.
std::vector<std::pair<size_t, size_t>> Damaged(const std::string& a, const std::string& b, size_t work,
                                               int protocol = 1);

// An Original that holds original, facing a Copy that holds copy.
Script OriginalPart(const std::string& original, const std::string& copy, int protocol = 1);
// A Copy that holds copy, facing an Original that holds original.
Script CopyPart(const std::string& original, const std::string& copy, int protocol = 1);
// An Original facing a Nothing side: the whole file, named name.
Script WholeFilePart(const std::string& original, const std::string& name, int protocol = 1);
// A Nothing side of protocol 1 facing an Original that holds original:
// takes the name, answers 1 and reads the whole file.
Script NothingPart(const std::string& original);

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
// Every byte that the other side sent goes to received, when given.
void Play(ScriptedPeer& peer, const Script& script, size_t cut = SIZE_MAX, int timeoutMs = 5000,
          std::string* received = nullptr);
