// The two phases that open every transfer: the handshake (FileTypes, the
// pairing, the protocol version, the new file of a Nothing side) and the
// size negotiation. Every value read from the peer is checked where it is
// read. Worker thread.
#pragma once

#include <cstddef>
#include <cstdint>

// Exchanges FileTypes and checks the pair; settles the protocol
// (transferState.protocol) and shows it when it is not protocol 1; on a
// Nothing side names the new file, makes or finds its partial file
// (engine/received_file.h) and becomes Copy; sets newFileMode on both sides
// when one is Nothing, or resuming when the partial file is continued.
//
// Protocol 2 is offered in the FileType word ("BM", version, 'O' or 'C') by
// an Original or a Copy whose protocolLimit allows it, and by a Nothing
// side in its one-byte name reply (the version instead of 1). An
// Original's offer also says that it can continue a Nothing side's partial
// file (kOptionResume); a Nothing side that holds one says so in its reply,
// and both then run the sequence of an Original facing a Copy. The Server
// reads the Client's word before it sends its own and offers only in a
// pairing that is valid, so that a peer speaking only protocol 1 meets
// exactly its own protocol; the Client offers blind.
//
// A side whose protocolMinimum is 2 ends with kNoProtocol2Text, before any
// file data moves and before a Nothing side makes its file, when the peer
// turns out not to speak protocol 2.
//
// A side that holds a code (pairingCode) offers in its word with
// kOptionPaired, a Nothing side too, and pairs (wire/pairing.h) right after
// the words, before the name record or the sizes; from then on the link's
// records carry every byte. A code on one side only ends both with
// kPeerWithoutCodeText or kPeerWantsCodeText; a failed pairing with
// kPairingFailedText. Protocol 1 is never used with a code.
void Handshake();
extern const char kNoProtocol2Text[];
extern const char kPeerWithoutCodeText[];
extern const char kPeerWantsCodeText[];
// A Client whose listening peer is busy with another transfer ends with
// kPeerBusyText. A Nothing side that continues the partial file of an
// earlier transfer shows kResumeText (with the bytes it holds), its
// Original kPeerResumesText.
extern const char kPeerBusyText[];
extern const char kResumeText[];
extern const char kPeerResumesText[];
// A Copy that is a block device is never cut or extended: one shorter than
// the Original ends both sides with kDeviceTooShortText before anything is
// written; one longer (protocol 2: its offer says it is a device) is
// compared over the Original's length, with kDeviceRestText.
extern const char kDeviceTooShortText[];
extern const char kDeviceRestText[];
// A name with no code page 932 form, which a peer of protocol 1 (or a
// Blockmend build that knows no UTF-8 names) cannot take: "%s" is the name.
extern const char kNameNotCp932Text[];
// Ends the transfer with "4GB以上のファイルは扱えません" when the local file
// is too large for the protocol that the handshake chose.
void CheckSizeForProtocol();
// Creates path, or truncates it, to length 0. 0 on success, -1 otherwise.
int CreateEmptyFile(const char* path);
// Sizes and block size, in the form that newFileMode and fileType choose.
void NegotiateSizes();
void NegotiateSizesOriginal();
void NegotiateSizesCopy();
void NegotiateSizesNewFile();
