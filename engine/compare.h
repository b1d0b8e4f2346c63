// The exchange of the checksum lists over the connection and their
// comparison, block by block, with its status lines and log lines. The
// mismatching blocks become the next current list. Worker thread.
#pragma once

#include <cstddef>
#include <cstdint>

struct Block;

struct RemoteCrc {
    uint16_t crc;     // the peer's CRC-16 of the block at the same position
    RemoteCrc* next;  // following node; null at the tail

    // Nodes come from a pool, as Block's do.
    static void* operator new(size_t size);
    static void operator delete(void* node) noexcept;
};

void FreeRemoteCrcList(RemoteCrc* head);

// Original: SendCrcs then ReceiveCrcs; Copy: the other way round.
void ExchangeCrcs();
// Sends the crc of every block, 2 bytes each, low byte first.
void SendCrcs();
// Replaces remoteCrcs by as many received checksums as blocks has nodes.
void ReceiveCrcs();
// Logs and shows every block, turns the mismatching ones into blocks and
// returns their number; previousBlocks becomes the compared list.
uint32_t CompareCrcs();

// Longest comparison line, with its terminating zero.
constexpr size_t kCompareLineSize = 64;
// Writes "%*x(%*d) - %*x(%*d) : %04x <-> %04x" for one block, with the
// decimal values unsigned, and returns its length (without the zero).
size_t FormatCompareLine(char* out, int hexDigits, int decDigits, const Block& block, uint16_t remoteCrc);
