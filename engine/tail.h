// The last phase of every transfer: the bytes beyond the shorter file (the
// whole file for a side that had none) go from the Original to the Copy in
// pieces of 65536 bytes. It always ends the transfer. Worker thread.
#pragma once

#include <cstdint>

constexpr uint32_t kTailChunkSize = 65536;

[[noreturn]] void TransferTail();
void SendTail();
void ReceiveTail();
