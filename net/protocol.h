// The wire protocol: every message of a transfer as a pair of small send and
// receive functions that pack bytes explicitly, little-endian, with no
// framing; the handshake (FileTypes, pairing, the new file of a Nothing
// side) and the size negotiation. Every value read from the peer is checked
// where it is read. Worker thread.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t kNameRecordSize = 260;

// Messages.
void SendFileType(int32_t fileType);
int32_t ReceiveFileType();
void SendNameRecord(const char* name);
// Receives the 260-byte record into incomingName. False when the record
// holds no zero byte.
bool ReceiveNameRecord();
void SendFlag(uint8_t flag);
// Any non-zero byte counts as 1.
uint8_t ReceiveFlag();
void SendWord(uint32_t word);
uint32_t ReceiveWord();

// Exchanges FileTypes and checks the pair; on a Nothing side names and
// creates the new file and becomes Copy; sets newFileMode on both sides when
// one is Nothing.
void Handshake();
// Creates path, or truncates it, to length 0. 0 on success, -1 otherwise.
int CreateEmptyFile(const char* path);
// Sizes and block size, in the form that newFileMode and fileType choose.
void NegotiateSizes();
void NegotiateSizesOriginal();
void NegotiateSizesCopy();
void NegotiateSizesNewFile();

// A name received from the peer may only name a file directly inside the
// chosen folder: not empty, "." or "..", no separator, drive colon or
// control character, and no device name of Windows (CON, PRN, AUX, NUL,
// COM1-9, LPT1-9, with or without an extension). Walked as code page 932
// characters, whose second bytes may be 0x5C.
bool IsBareFileName(const char* name);
// The block sizes that a peer may ask for: powers of two from 4096 to 16 MiB.
bool IsValidBlockSize(uint32_t size);
