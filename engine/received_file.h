// The file that a Nothing side receives. It is written under a partial
// name beside the one it asked for, so that a cut transfer never leaves
// half a file that looks finished, nor destroys an older file of that
// name; the next transfer of the same name into the same folder continues
// it (protocol 2); and it gets its name only once it is whole and on disk.
// Worker thread, except SettleReceivedFile.
#pragma once

#include <cstdint>

struct FileStamp;

// What the partial file's name adds to the name it is received for.
extern const char kPartialSuffix[];
// The partial file's path for path, into partial (kPathSize bytes); false
// when it would not fit.
bool PartialPath(char* partial, const char* path);
// Whether partial holds bytes of an earlier transfer that can be continued,
// with its size and stamp in *stamp.
bool FindPartialFile(const char* partial, FileStamp* stamp);
// A partial file longer than the Original (which shrank since) is cut to
// size, the Original's, before it is compared: the side's own bytes, never
// the user's file. Ends the transfer when it cannot be.
void CutPartialFile(uint64_t size);
// At the normal end of a transfer to a Nothing side: syncs the partial file,
// gives it its name (replacing an older file of that name) and syncs the
// folder; ends the transfer with the system's error when any step fails.
// Does nothing on other sides.
void CommitReceivedFile();
// At the end of every transfer, before the front end restores itself: a
// Nothing side whose file did not get its name keeps its partial file for
// the next transfer and waits as a Nothing side with its folder again.
void SettleReceivedFile();
