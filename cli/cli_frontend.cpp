// The command-line peer's side of the front-end interface: status lines on
// stdout as UTF-8 in the user's language, errors on stderr, the overwrite
// question answered from the options or asked on the terminal. Long lists
// of mismatching blocks are cut short on screen; progress lines on a
// terminal also show the rate and the time left. Worker thread, except
// FlushStatusOutput and PrintOwnLine (main thread, once the worker ended or
// before it starts).
#include "cli/cli_frontend.h"

#include <cstdio>
#include <cstring>
#include <deque>
#include <iostream>

#include "cli/texts.h"
#include "engine/fileinfo.h"
#include "engine/frontend.h"
#include "engine/progress.h"
#include "engine/transfer_state.h"
#include "platform/console.h"
#include "platform/error.h"
#include "platform/process.h"
#include "platform/text.h"
#include "platform/thread.h"

CliSettings cliSettings;
CliRecord cliRecord;

namespace {
// Off a terminal, a progress line is held until the next line comes, so
// that it is printed once, with its last value; other lines go out at once.
std::string heldLine;  // as shown
bool holding = false;
bool lineOpen = false;  // on a terminal: the last line has no line break yet
int saveAsUsed = 0;
std::string lastError;  // the text of the last "Error:" line

// A pass's list of mismatching blocks: its first kListHead entries go out
// as they come, the last kListTail are held back, and those in between are
// only counted, unless --verbose. The comparison log has every entry.
constexpr uint64_t kListHead = 10;
constexpr size_t kListTail = 10;
bool listOpen = false;     // a mismatch header was shown: entries follow
uint64_t listEntries = 0;  // entries of the pass so far
uint64_t listSkipped = 0;  // entries neither shown nor held
std::deque<std::string> listHeld;

// The progress line now on screen: when it began and with what value, for
// its rate.
uint64_t progressStartMs = 0;
uint64_t progressStartBytes = 0;

// A terminal-safe form of a UTF-8 line. Lines can hold what a peer sent (a
// received file name), so control characters, which would steer the
// terminal, become '?'.
std::string Printable(const std::string& text) {
    std::string out = text;
    for (size_t i = 0; i < out.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(out[i]);
        if (c < 0x20 || c == 0x7F) {
            out[i] = '?';
        } else if (c == 0xC2 && i + 1 < out.size() && static_cast<unsigned char>(out[i + 1]) < 0xA0) {
            out.replace(i, 2, "?");  // a C1 control character, U+0080 to U+009F
        }
    }
    return out;
}

// One write with its line break: the lines of transfers served at once
// share the output and must not cut into each other.
void PrintLine(const std::string& text) {
    const std::string line = Printable(text) + "\n";
    fwrite(line.data(), 1, line.size(), stdout);
    fflush(stdout);
}

// A new line on screen; progress: a line that later values rewrite.
void PutLine(const std::string& shown, bool progress) {
    if (cliSettings.served) return;
    if (cliSettings.terminal) {
        if (lineOpen) fputc('\n', stdout);
        fputs(Printable(shown).c_str(), stdout);
        fflush(stdout);
        lineOpen = true;
        return;
    }
    if (holding) PrintLine(heldLine);
    holding = false;
    if (progress) {
        heldLine = shown;
        holding = true;
    } else {
        PrintLine(shown);
    }
}

// An entry of a list of mismatching blocks: "offsets - offsets : sum <-> sum".
bool IsListEntry(const char* text) { return strstr(text, ") - ") && strstr(text, " <-> "); }

void CloseList() {
    if (!listOpen) return;
    listOpen = false;
    if (listSkipped > 0) PutLine(Text(TextId::kMoreMismatches, {std::to_string(listSkipped)}), false);
    for (const std::string& entry : listHeld) PutLine(entry, false);
    listHeld.clear();
    listSkipped = 0;
}

void AddListEntry(const char* text) {
    ++listEntries;
    if (cliSettings.quiet) return;
    if (cliSettings.verbose || listEntries <= kListHead) {
        PutLine(text, false);
        return;
    }
    listHeld.emplace_back(text);
    if (listHeld.size() > kListTail) {
        listHeld.pop_front();
        ++listSkipped;
    }
}

// Lines that say how a transfer went wrong; a line that the table does not
// know (a newer engine's) counts too.
bool MaySayWhy(TextId id, const char* text) {
    switch (id) {
    case TextId::kNone: return text[0] != '\0' && text[0] != '-';
    case TextId::kNoSocket: case TextId::kBindFailed: case TextId::kListenFailed: case TextId::kNoAcceptSocket:
    case TextId::kCannotConnect: case TextId::kNoProtocol2: case TextId::kCannotOpenNew: case TextId::kWrongFileType:
    case TextId::kPeerWithoutCode: case TextId::kPeerWantsCode: case TextId::kRemoteNameError: case TextId::kPeerBusy:
    case TextId::kCannotName: case TextId::kNameNotCp932: case TextId::kDeviceTooShort: case TextId::kNotAFileOrDevice: case TextId::kNotAFile:
    case TextId::kSizesDifferError: case TextId::kTooLarge: case TextId::kNoMemoryForSize: case TextId::kNoMemory:
    case TextId::kFileChangedWhileSending: case TextId::kRepairFailed: case TextId::kRepairSeemsFailed:
    case TextId::kConnectionLost: case TextId::kSilentPeer: case TextId::kStalledPeer: case TextId::kBadBlockSize:
    case TextId::kBadFileSize: case TextId::kPairingFailed: case TextId::kBadRecord:
        return true;
    default: return false;
    }
}

// What a line tells of the transfer, for the report at its end.
void Record(TextId id, const std::vector<std::string>& values, const char* text) {
    switch (id) {
    case TextId::kConnected:
        cliRecord.connected = true;
        cliRecord.connectedAtMs = MonotonicMilliseconds();
        break;
    case TextId::kProtocol2Encrypted:
        cliRecord.cipher = values[0];
        // A server of many peers waits for this before it lets the next
        // peer pair.
        if (cliSettings.served) ReportToServer();
        break;
    case TextId::kMismatchHeader:
        listOpen = true;
        listEntries = 0;
        break;
    case TextId::kSendingDamagedStart:
    case TextId::kReceivingDamagedStart:
        cliRecord.repairMoved = true;
        cliRecord.damagedBlocks = listEntries;
        cliRecord.damagedBytes = transferState.workBytes;
        break;
    case TextId::kSendingEnd:
    case TextId::kReceivingEnd:
        cliRecord.tailMoved = true;
        cliRecord.tailBytes = transferState.workBytes;
        break;
    default: break;
    }
    if (MaySayWhy(id, text)) cliRecord.lastReason = text;
}

// done and total of a progress line in bytes; false for other lines.
bool ProgressBytes(TextId id, const std::vector<std::string>& values, uint64_t* done, uint64_t* total) {
    switch (id) {
    case TextId::kChecksumsFirst: case TextId::kChecksums: case TextId::kSendingDamaged:
    case TextId::kReceivingDamaged: case TextId::kSendingEnd: case TextId::kReceivingEnd: case TextId::kSendingFile:
    case TextId::kReceivingFile: case TextId::kReadingWholeFile:
        break;
    default: return false;
    }
    *done = strtoull(values[0].c_str(), nullptr, 10);
    *total = strtoull(values[1].c_str(), nullptr, 10);
    if (id == TextId::kChecksumsFirst || id == TextId::kChecksums) {
        *done *= transferState.blockSize;
        *total *= transferState.blockSize;
    }
    return true;
}

// The line as shown, with what failed and why beside a line that names
// neither (the engine's line stays as the window shows it).
std::string WithDetail(TextId id, const char* text) {
    const std::string port = std::to_string(transferState.port & 0xFFFF);
    const std::string reason = ShownLine(SystemErrorText().c_str());
    std::string detail;
    if (id == TextId::kBindFailed || id == TextId::kListenFailed)
        detail = Text(TextId::kCannotListenPort, {port, reason});
    else if (id == TextId::kCannotConnect)
        detail = Text(TextId::kCannotConnectTo, {cliSettings.remoteIp, port, reason});
    else
        return ShownLine(text);
    return UsingJapanese() ? ShownLine(text) + " (" + detail + ")" : detail;
}

// On a terminal: the line, its percentage when it has none, the rate since
// the line began and the time left.
std::string WithRate(const char* text) {
    std::vector<std::string> values;
    const TextId id = RecognizeLine(text, &values);
    std::string shown = ShownLine(text);
    uint64_t done = 0, total = 0;
    if (!ProgressBytes(id, values, &done, &total)) return shown;
    if (values.size() == 2)
        shown += " (" + std::to_string(total == 0 ? 100 : done * 100 / total) + "%)";
    const uint64_t elapsed = MonotonicMilliseconds() - progressStartMs;
    if (elapsed < 300 || done <= progressStartBytes) return shown;
    const double rate = static_cast<double>(done - progressStartBytes) * 1000.0 / static_cast<double>(elapsed);
    const double left = total > done ? static_cast<double>(total - done) / rate : 0.0;
    return shown + "  " + Text(TextId::kProgressRate, {FormatSize(static_cast<uint64_t>(rate)), FormatDuration(left)});
}
}  // namespace

void AddStatusLine(const char* text) {
    ++transferState.statusLineCount;
    if (listOpen && IsListEntry(text)) {
        AddListEntry(text);
        return;
    }
    std::vector<std::string> values;
    const TextId id = RecognizeLine(text, &values);
    if (listOpen && id != TextId::kMismatchColumns && text[0] != '-') CloseList();
    Record(id, values, text);
    const bool progress = AddingProgressLine();
    if (progress) {
        uint64_t total = 0;
        progressStartMs = MonotonicMilliseconds();
        if (!ProgressBytes(id, values, &progressStartBytes, &total)) progressStartBytes = 0;
    }
    if (cliSettings.quiet || cliSettings.served) return;
    // Once the socket listens: a peer started on the hint finds it up.
    if (id == TextId::kWaiting && !cliSettings.hint.empty()) {
        PutLine(cliSettings.hint, false);
        cliSettings.hint.clear();
    }
    PutLine(WithDetail(id, text), progress);
}

void ReplaceLastStatusLine(const char* text) {
    if (cliSettings.quiet || cliSettings.served) return;
    if (cliSettings.terminal) {
        fputs("\r\033[K", stdout);
        fputs(Printable(WithRate(text)).c_str(), stdout);
        fflush(stdout);
        return;
    }
    heldLine = ShownLine(text);
    holding = true;
}

void FlushStatusOutput() {
    CloseList();
    if (cliSettings.terminal) {
        if (lineOpen) fputc('\n', stdout);
        lineOpen = false;
    } else if (holding) {
        PrintLine(heldLine);
        holding = false;
    }
    fflush(stdout);
}

void PrintOwnLine(const std::string& line) { PrintLine(line); }

std::string ErrorLine() {
    const std::string text = ShownLine(SystemErrorText().c_str());
    const std::string subject = LastErrorSubject();
    switch (LastErrorOperation()) {
    case ErrorOperation::kNone: break;
    case ErrorOperation::kOpen: return Text(TextId::kCannotOpenPath, {subject, text});
    case ErrorOperation::kRead: return Text(TextId::kCannotReadPath, {subject, text});
    case ErrorOperation::kWrite: return Text(TextId::kCannotWritePath, {subject, text});
    case ErrorOperation::kRename: return Text(TextId::kCannotRenamePath, {subject, text});
    case ErrorOperation::kUseFolder: return Text(TextId::kCannotUseFolder, {subject, text});
    }
    return text;
}

void ShowSystemError() {
    std::string text = SystemErrorText();
    // The error goes below the line it interrupts, which first gets its
    // newest value and its line break; the next line then starts afresh.
    FlushProgress();
    FlushStatusOutput();
    // The comparison log is only a record: one line says why there is none,
    // and the transfer goes on.
    if (transferState.logPath[0] != '\0' && LastErrorSubject() == transferState.logPath) {
        static bool told = false;
        if (!told) {
            const std::string folder(transferState.logPath, PathNameStart(transferState.logPath));
            fprintf(stderr, "warning: %s\n", Printable(Text(TextId::kNoLog, {folder, ShownLine(text.c_str())})).c_str());
            fflush(stderr);
        }
        told = true;
        return;
    }
    fprintf(stderr, "Error: %s\n", Printable(ErrorLine()).c_str());
    fflush(stderr);
    lastError = text;
    cliRecord.lastReason = text;
}

int AskOverwrite() {
    if (cliSettings.overwrite) return kOverwrite;
    if (cliSettings.haveSaveAs) {
        if (saveAsUsed++ > 0) return kCancel;
        strncpy(transferState.incomingName, cliSettings.saveAs.c_str(), kPathSize - 1);
        transferState.incomingName[kPathSize - 1] = '\0';
        return kSaveAs;
    }
    if (!StdinIsTerminal()) return kCancel;
    FlushStatusOutput();
    fprintf(stderr, "%s\n%s\n", Printable(Text(TextId::kExists, {transferState.incomingName})).c_str(),
            Printable(Text(TextId::kOverwriteChoices)).c_str());
    for (;;) {
        fputs("> ", stderr);
        std::string answer;
        if (!std::getline(std::cin, answer)) return kCancel;
        if (answer == "1") return kOverwrite;
        if (answer == "3") return kCancel;
        if (answer == "2") {
            fputs(Printable(Text(TextId::kOtherName)).c_str(), stderr);
            std::string name;
            if (!std::getline(std::cin, name)) return kCancel;
            strncpy(transferState.incomingName, name.c_str(), kPathSize - 1);
            transferState.incomingName[kPathSize - 1] = '\0';
            return kSaveAs;
        }
    }
}

void NoteProtocol(int32_t version) {
    cliRecord.protocol = version;
    if (version >= 2) return;
    // Below the line that it interrupts, as a system error goes.
    FlushProgress();
    FlushStatusOutput();
    fputs("warning: this transfer runs in protocol 1: blocks are compared by CRC-16 only and the result is not "
          "proven (the peer speaks only protocol 1, or --protocol 1 was given)\n",
          stderr);
    fflush(stderr);
}

void ReadRemoteIp(char* text, int size) {
    snprintf(text, static_cast<size_t>(size), "%s", cliSettings.remoteIp.c_str());
}

void GetProgramFolder(char* folder) {
    snprintf(folder, kPathSize, "%s", cliSettings.logFolder.c_str());
}

void RestoreIdleWindow() {
    // The command-line peer ends after one transfer; it still leaves the
    // record as the window would, so that the figures are at hand. A file
    // that could not be opened before (at the start, or in the transfer)
    // has been reported already.
    if (SettleSelectionAfterTransfer() == FileInfoResult::CannotOpen && SystemErrorText() != lastError)
        ShowSystemError();
}
