// The one transfer record of the program, and EndTransfer and FinishWorker,
// the two ends of every transfer (worker thread only). Start and Stop are in
// engine/lifecycle.h.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/file.h"
#include "platform/net.h"
#include "platform/thread.h"
#include "wire/link.h"
#include "wire/protocol.h"
#include "wire/records.h"
#include "wire/strong_hash.h"

struct Block;

enum FileType : int32_t { kOriginal = 0, kCopy = 1, kNothing = 2 };
enum NetRole : int32_t { kClient = 0, kServer = 1 };
enum SelectionKind : int32_t { kNoSelection = 0, kFileSelected = 1, kFolderSelected = 2 };

constexpr int kPathSize = kSystemPathBytes;  // paths and names, with the terminating zero
constexpr int32_t kDefaultPort = 46699;

struct TransferState {
    int32_t fileType = kOriginal;     // this side's FileType
    int32_t netRole = kServer;        // 0 Client (connects), 1 Server (listens)
    int32_t port = kDefaultPort;      // as typed; the connection uses its low 16 bits
    char localPath[kPathSize] = {};   // the local file; a Nothing side's folder ending in a separator
    char fileTitle[kPathSize] = {};   // the name part of localPath
    char incomingName[kPathSize] = {};  // name received from the peer, or the one typed instead
    char logPath[kPathSize] = {};     // this side's comparison log
    uint64_t localSize = 0;           // size of the local file
    bool localIsDevice = false;       // the local file is a block device
    bool peerIsDevice = false;        // the Copy facing this Original is a block device (protocol 2)
    uint64_t remoteSize = 0;          // the peer's size, from the size negotiation
    uint32_t blockSize = 0;           // bytes per block of the current pass
    int64_t blockCount = 0;           // blocks that the next checksum pass shows as its total
    uint64_t workBytes = 0;           // bytes under comparison / damaged / to move in the tail
    int32_t newFileMode = 0;          // 1 when the whole file goes to a Nothing side
    // A Nothing side receives into a partial file beside the name it asked
    // for, and gives it that name only once it is whole and on disk.
    char receiveFolder[kPathSize] = {};  // its folder while it receives; empty otherwise
    char finalPath[kPathSize] = {};      // the name the received file gets
    bool resuming = false;            // the partial file of an earlier transfer is continued
    std::atomic<uint8_t> stopRequested{0};  // the user pressed Stop
    int32_t selectionKind = kNoSelection;   // what localPath holds
    Block* blocks = nullptr;          // the current block list
    Block* previousBlocks = nullptr;  // the list the current one was made from
    ChecksumList localCrcs;                // this side's checksums of the current pass, as sent
    ChecksumList remoteCrcs;               // the peer's checksums of the current pass, as received
    int32_t protocolLimit = kHighestProtocol;  // the highest protocol this side offers
    int32_t protocolMinimum = 1;               // the lowest it accepts (2: refuse a peer of protocol 1)
    char pairingCode[256] = {};       // the code to pair with, as typed (path encoding); empty: none
    bool verifyAll = false;           // this side asks that both files be read whole again at the end
    bool verifyWholeFiles = false;    // this transfer does so (either side asked, protocol 2)
    U128 digestSum{};                 // this side's file as summed for the whole-file digest
    FileStamp digestStamp;            // the local file as the transfer last read or wrote it
    bool digestWatched = false;       // digestStamp holds a stamp
    bool fileChangedMeanwhile = false;  // something else may have written the file
    SocketHandle dataSocket;          // the connected socket
    SocketHandle listenSocket;        // the listening socket (Server only)
    // The peer as the messages reach it; its protocol is the handshake's choice.
    Link link{&dataSocket, &stopRequested, &kProtocol1};
    RecordChannelPtr channel;         // the records of a transfer paired with a code (link.records)
    void* mainWindow = nullptr;       // the main dialog (HWND), opaque here
    void* instance = nullptr;         // the program's module (HINSTANCE), opaque here
    ThreadHandle workerThread;        // the running worker
    int32_t hexDigits = 0;            // hexadecimal digits of localSize
    int32_t decDigits = 0;            // decimal digits of localSize
    int32_t divideIndex = 0;          // selected block size entry, 0 to 12
    uint32_t uiBlockSize = 0;         // block size chosen in the front end
    int64_t uiBlockCount = 0;         // blocks of localSize at uiBlockSize
    int64_t crcDataSize = 0;          // uiBlockCount * 10
    int32_t statusLineCount = 0;      // lines in the status list
    bool transferComplete = false;    // the last transfer reached its normal end
    uint32_t allowedPeer = 0;         // a listening side's only accepted peer (network order); 0: any
    uint64_t connectWaitMs = 0;       // a Client tries again this long while its connection is refused
    // A listener that serves many peers accepts each connection itself and
    // hands it to a process of its own, whose one transfer starts from it.
    bool connectionGiven = false;     // dataSocket holds the accepted connection; no listening
    bool sharedReads = false;         // the local file is read by other transfers at once (LocalReadMode)
    char logTag[32] = {};             // the peer in the comparison log's name ("ADDR-PORT"); empty: none
};

extern TransferState transferState;

// Thrown by EndTransfer and FinishWorker and caught only at the worker
// thread's entry: unwinding releases every file, buffer and socket that the
// transfer's code holds at any depth. disconnected: the transfer has a
// connection (or waited for one), whose end the entry shows.
struct TransferEnded {
    bool disconnected;
};

// Every field that one transfer sets, back to how a transfer starts; the
// settings that the front end writes stay. The worker calls it first; the
// tests reset the record with it too. No list or socket may be held.
void ResetTransferProgress();

// 1 when path names a file that can be opened for reading with no sharing.
int CanOpenFile(const char* path);

// Ends a transfer that has a connection, or waited for one: the thread's
// entry then frees the lists, closes the sockets and shows "切断しました"
// and a blank line. (A LinkEnded from the messages ends a transfer the same
// way, after its own line.)
[[noreturn]] void EndTransfer();
// How the transfer opens its local file to read it: exclusively, or shared
// with the other readers of a serving Original (sharedReads).
FileMode LocalReadMode();
// Ends the worker before any connection, with no line.
[[noreturn]] void FinishWorker();
// The line of a transfer that ends for want of memory: a pass that cannot
// fit, or any allocation that fails (std::bad_alloc, caught at the thread's
// entry), which then ends the transfer as any failure does.
extern const char kNoMemoryText[];
