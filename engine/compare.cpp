// Checksum exchange and comparison (worker thread).
#include "engine/compare.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "engine/blocks.h"
#include "engine/frontend.h"
#include "engine/transfer_state.h"
#include "log/complog.h"
#include "platform/file.h"
#include "platform/text.h"
#include "wire/messages.h"

namespace {
uint64_t CountBlocks(const Block* b) {
    uint64_t n = 0;
    for (; b; b = b->next) ++n;
    return n;
}
}  // namespace

void ExchangeCrcs() {
    if (transferState.fileType == kOriginal) {
        SendCrcs();
        ReceiveCrcs();
    } else {
        ReceiveCrcs();
        SendCrcs();
    }
}

void SendCrcs() {
    AddStatusLine("CRCデータ送信中・・・");
    SendChecksumList(transferState.link, transferState.localCrcs);
}

void ReceiveCrcs() {
    AddStatusLine("CRCデータ受信中・・・");
    // The local list bounds what is read: nothing received sets the count.
    // The pass may have taken in a part already.
    ChecksumList& list = transferState.remoteCrcs;
    const size_t count = CountBlocks(transferState.blocks), width = transferState.link.protocol->crcBytes;
    if (!list.bytes || list.count != count || list.width != width) ResizeChecksumList(list, count, width);
    ReceiveChecksumList(transferState.link, list);
}

void PrepareComparisonLog() {
    char folder[kPathSize];
    GetProgramFolder(folder);
    // Transfers served at once each write a log of their own, named after
    // their peer.
    char name[64];
    snprintf(name, sizeof name, "%s%s%s.dat", transferState.fileType == kOriginal ? "log_server" : "log_client",
             transferState.logTag[0] ? "-" : "", transferState.logTag);
    // A folder too long for the log's name leaves the log without a path:
    // every open fails, and the comparison reports that.
    if (strlen(folder) + strlen(name) >= static_cast<size_t>(kPathSize)) {
        transferState.logPath[0] = '\0';
        return;
    }
    strcpy(transferState.logPath, folder);
    strcat(transferState.logPath, name);
    // The log is code page 932 text, as the window writes it; a name with
    // no such form goes in as this system spells it.
    std::string title;
    if (!PathToCp932(transferState.fileTitle, &title)) title = transferState.fileTitle;
    PrepareLog(transferState.logPath, title.c_str());
}

uint64_t CompareCrcs() {
    LogWriter log;
    if (!OpenLog(log, transferState.logPath)) ShowSystemError();
    WriteLogHeader(log);
    FreeBlockList(transferState.previousBlocks);
    transferState.previousBlocks = transferState.blocks;
    transferState.blocks = nullptr;
    BlockListBuilder mismatched;
    uint64_t mismatches = 0;
    char line[kCompareLineSize];
    const ChecksumList& local = transferState.localCrcs;
    const ChecksumList& remote = transferState.remoteCrcs;
    const size_t width = local.width;
    const int digits = static_cast<int>(2 * width);
    size_t i = 0;
    for (const Block* b = transferState.previousBlocks; b; b = b->next, ++i) {
        // Both lists were made with one entry per block of this list.
        const uint8_t* mine = local.Entry(i);
        const uint8_t* theirs = remote.Entry(i);
        size_t length = FormatCompareLine(line, transferState.hexDigits, transferState.decDigits, b->offset,
                                          b->length, local.Value(i), remote.Value(i), digits);
        if (memcmp(mine, theirs, width) == 0) {
            AppendLogOk(log, line, length);
        } else {
            mismatched.Append(b->offset, b->length);
            // The log keeps up with the status list.
            AppendLogNg(log, line, length);
            FlushLogIfDue(log);
            if (mismatches == 0) {
                AddStatusLine("CRC不一致");
                AddStatusLine("Address : CRC(Local) <-> CRC(Remote)");
                AddStatusLine("------------------------------------");
            }
            AddStatusLine(line);
            ++mismatches;
        }
    }
    transferState.blocks = mismatched.head;
    FreeChecksumList(transferState.localCrcs);
    FreeChecksumList(transferState.remoteCrcs);
    CloseLog(log);
    return mismatches;
}
