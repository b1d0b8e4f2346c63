// Engine state for in-process tests.
#include "tests/support/engine_fixture.h"

#include <cstring>

#include "engine/transfer_state.h"
#include "platform/text.h"
#include "tests/support/recorder.h"
#include "tests/support/transfer_reset.h"

void ResetEngine() {
    TransferState& s = transferState;
    FreeBlockList(s.blocks);
    FreeBlockList(s.previousBlocks);
    FreeChecksumList(s.localCrcs);
    FreeChecksumList(s.remoteCrcs);
    s.blocks = s.previousBlocks = nullptr;
    SocketClose(s.dataSocket);
    SocketClose(s.listenSocket);
    ResetTransferRecord();
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
    // POSIX paths are the system's bytes; Windows temp paths are plain ASCII.
    return utf8;
}
