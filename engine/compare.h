// The exchange of the checksum lists over the connection and their
// comparison, block by block, with its status lines and log lines. The
// mismatching blocks become the next current list. Worker thread.
#pragma once

#include <cstddef>
#include <cstdint>

struct Block;

// Sets logPath (log_server.dat or log_client.dat in the front end's
// folder) and makes sure the log begins with the file's name.
void PrepareComparisonLog();
// Original: SendCrcs then ReceiveCrcs; Copy: the other way round.
void ExchangeCrcs();
// Sends localCrcs, one entry per block, as the protocol lays them out
// (CRC-16 in 2 bytes, or a 64-bit hash in 8, low byte first).
void SendCrcs();
// Fills remoteCrcs with as many received entries as blocks has nodes (the
// checksum pass may have taken in the first of them already).
void ReceiveCrcs();
// Logs and shows every block, turns the mismatching ones into blocks and
// returns their number; previousBlocks becomes the compared list.
uint64_t CompareCrcs();

