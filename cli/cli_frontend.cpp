// The command-line peer's side of the front-end interface: status lines on
// stdout as UTF-8, errors on stderr, the overwrite question answered from the
// options or asked on the terminal. Worker thread, except FlushStatusOutput.
#include "cli/cli_frontend.h"

#include <cstdio>
#include <cstring>
#include <iostream>

#include "engine/fileinfo.h"
#include "engine/frontend.h"
#include "engine/progress.h"
#include "engine/transfer_state.h"
#include "platform/console.h"
#include "platform/error.h"
#include "platform/text.h"

CliSettings cliSettings;

namespace {
// Off a terminal, a progress line is held until the next line comes, so
// that it is printed once, with its last value; other lines go out at once.
std::string heldLine;
bool holding = false;
bool lineOpen = false;  // on a terminal: the last line has no line break yet
int saveAsUsed = 0;
std::string lastError;  // the text of the last "Error:" line

// Terminal-safe UTF-8 of a code page 932 line. Lines can hold what a peer
// sent (a received file name), so control characters, which would steer
// the terminal, become '?', and so does every character with no UTF-8 form.
std::string ToUtf8(const char* text) {
    std::string out;
    if (!Cp932ToUtf8(text, &out)) {
        out.clear();
        const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
        while (*p != '\0') {
            size_t n = IsCp932LeadByte(*p) && p[1] != '\0' ? 2 : 1;
            std::string one;
            if (Cp932ToUtf8(std::string(reinterpret_cast<const char*>(p), n), &one)) out += one;
            else out += '?';
            p += n;
        }
    }
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

void PrintLine(const std::string& text) {
    fputs(ToUtf8(text.c_str()).c_str(), stdout);
    fputc('\n', stdout);
    fflush(stdout);
}
}  // namespace

void AddStatusLine(const char* text) {
    ++transferState.statusLineCount;
    if (cliSettings.terminal) {
        if (lineOpen) fputc('\n', stdout);
        fputs(ToUtf8(text).c_str(), stdout);
        fflush(stdout);
        lineOpen = true;
        return;
    }
    if (holding) PrintLine(heldLine);
    holding = false;
    if (AddingProgressLine()) {
        heldLine = text;
        holding = true;
    } else {
        PrintLine(text);
    }
}

void ReplaceLastStatusLine(const char* text) {
    if (cliSettings.terminal) {
        fputs("\r\033[K", stdout);
        fputs(ToUtf8(text).c_str(), stdout);
        fflush(stdout);
        return;
    }
    heldLine = text;
    holding = true;
}

void FlushStatusOutput() {
    if (cliSettings.terminal) {
        if (lineOpen) fputc('\n', stdout);
        lineOpen = false;
    } else if (holding) {
        PrintLine(heldLine);
        holding = false;
    }
    fflush(stdout);
}

void ShowSystemError() {
    std::string text = SystemErrorText();
    // The error goes below the line it interrupts, which first gets its
    // newest value and its line break; the next line then starts afresh.
    FlushProgress();
    FlushStatusOutput();
    fprintf(stderr, "Error: %s\n", ToUtf8(text.c_str()).c_str());
    fflush(stderr);
    lastError = text;
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
    char message[kPathSize + 64];
    snprintf(message, sizeof message, "\"%s\"は既に存在しています", transferState.incomingName);
    fprintf(stderr, "%s\n%s\n", ToUtf8(message).c_str(),
            ToUtf8("1: 上書きする  2: 別の名前で保存する  3: キャンセル").c_str());
    for (;;) {
        fputs("> ", stderr);
        std::string answer;
        if (!std::getline(std::cin, answer)) return kCancel;
        if (answer == "1") return kOverwrite;
        if (answer == "3") return kCancel;
        if (answer == "2") {
            fputs(ToUtf8("別の名前: ").c_str(), stderr);
            std::string name, converted;
            if (!std::getline(std::cin, name)) return kCancel;
            if (!Utf8ToCp932(name, &converted)) continue;
            strncpy(transferState.incomingName, converted.c_str(), kPathSize - 1);
            transferState.incomingName[kPathSize - 1] = '\0';
            return kSaveAs;
        }
    }
}

void NoteProtocol(int32_t version) {
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
