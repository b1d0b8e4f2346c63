// Engine state for in-process tests.
#include "tests/support/engine_fixture.h"

#include <cstring>

#include "engine/transfer_state.h"
#include "platform/text.h"
#include "tests/support/recorder.h"

void ResetEngine() {
    TransferState& s = transferState;
    FreeBlockList(s.blocks);
    FreeBlockList(s.previousBlocks);
    FreeChecksumList(s.localCrcs);
    FreeChecksumList(s.remoteCrcs);
    s.blocks = s.previousBlocks = nullptr;
    s.protocolLimit = kHighestProtocol;
    s.protocol = &kProtocol1;
    s.digestSum = U128{};
    s.fileType = kOriginal;
    s.netRole = kServer;
    s.port = kDefaultPort;
    s.localPath[0] = s.fileTitle[0] = s.incomingName[0] = s.logPath[0] = '\0';
    s.localSize = s.remoteSize = s.blockSize = s.workBytes = 0;
    s.blockCount = 0;
    s.newFileMode = 0;
    s.stopRequested.store(0);
    s.selectionKind = kNoSelection;
    SocketClose(s.dataSocket);
    SocketClose(s.listenSocket);
    s.hexDigits = s.decDigits = 0;
    s.divideIndex = 0;
    s.uiBlockSize = 0;
    s.uiBlockCount = s.crcDataSize = 0;
    s.transferComplete = false;
    s.allowedPeer = 0;
    ResetRecorder();
}

Block* MakeBlocks(std::initializer_list<std::pair<uint64_t, uint64_t>> spans) {
    BlockListBuilder list;
    for (auto& s : spans) list.Append(s.first, s.second);
    return list.head;
}

void MakeChecksumList(ChecksumList& list, std::initializer_list<uint64_t> crcs, size_t width) {
    ResizeChecksumList(list, crcs.size(), width);
    size_t i = 0;
    for (uint64_t c : crcs) PutLittleEndian(list.Entry(i++), c, width);
}

uint64_t CrcAt(const ChecksumList& list, size_t i) { return GetLittleEndian(list.Entry(i), list.width); }

std::string EnginePath(const std::string& utf8) {
#ifdef _WIN32
    return utf8;  // temp paths are plain ASCII there
#else
    std::string out;
    return Utf8ToCp932(utf8, &out) ? out : utf8;
#endif
}
