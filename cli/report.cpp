// The listener's hint and the report at the end of a transfer (main
// thread). The summary is in the user's language; the JSON object is for
// scripts, so its keys, its result and its error are always English.
#include "cli/report.h"

#include <cstdio>
#include <vector>

#include "cli/cli_frontend.h"
#include "cli/texts.h"
#include "engine/transfer_state.h"
#include "platform/net.h"
#include "platform/text.h"
#include "platform/thread.h"

namespace {
// A JSON string of UTF-8 text. Control characters, C1 ones too (a
// received name may hold them), are escaped, so that the line is safe on a
// terminal.
std::string JsonString(const std::string& utf8) {
    std::string out = "\"";
    for (size_t i = 0; i < utf8.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(utf8[i]);
        const bool c1 = c == 0xC2 && i + 1 < utf8.size() && static_cast<unsigned char>(utf8[i + 1]) < 0xA0;
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7F || c1) {
            char escaped[8];
            snprintf(escaped, sizeof escaped, "\\u%04x", c1 ? static_cast<unsigned char>(utf8[++i]) : c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

enum class Result { kRepaired, kIdentical, kReceived, kSent, kFailed };

Result ResultOf(int32_t mode) {
    if (!transferState.transferComplete) return Result::kFailed;
    if (transferState.newFileMode == 1) return mode == kOriginal ? Result::kSent : Result::kReceived;
    if (cliRecord.repairMoved || cliRecord.tailMoved) return Result::kRepaired;
    return Result::kIdentical;
}

// What the transfer did, in a few words: the damage that moved, the whole
// file, or why it failed.
std::string WhatMoved(Result result, int32_t mode, uint64_t size) {
    const bool sending = mode == kOriginal;
    switch (result) {
    case Result::kRepaired: {
        std::string what;
        if (cliRecord.repairMoved) {
            const std::string bytes = FormatSize(cliRecord.damagedBytes);
            what = cliRecord.damagedBlocks == 1
                       ? Text(TextId::kOneDamagedBlock, {bytes})
                       : Text(TextId::kDamagedBlocks, {std::to_string(cliRecord.damagedBlocks), bytes});
        }
        if (cliRecord.tailMoved) {
            if (!what.empty()) what += Text(TextId::kAnd);
            what += Text(TextId::kMissingEnd, {FormatSize(cliRecord.tailBytes)});
        }
        return Text(sending ? TextId::kMovedSent : TextId::kMovedReceived, {what});
    }
    case Result::kIdentical: return Text(TextId::kNoDamage);
    case Result::kReceived:
    case Result::kSent: return Text(TextId::kWholeFile, {transferState.fileTitle, FormatSize(size)});
    case Result::kFailed: break;
    }
    return transferState.stopRequested.load() == 1 ? Text(TextId::kStopped) : ShownLine(cliRecord.lastReason.c_str());
}

std::string ErrorInEnglish() {
    if (transferState.stopRequested.load() == 1) return "stopped";
    if (cliRecord.lastReason.empty()) return "the transfer did not end normally";
    return EnglishLine(cliRecord.lastReason.c_str());
}
}  // namespace

std::string HintLine(int32_t mode, const std::string& newCode, bool hasCode) {
    const std::vector<uint32_t> addresses = LocalIpv4Addresses();
    std::vector<std::string> dotted;
    for (uint32_t address : addresses) {
        char text[20];
        FormatIpv4(address, text, sizeof text);
        dotted.emplace_back(text);
    }
    std::string command = mode == kOriginal ? "blockmend-cli copy FILE" : "blockmend-cli original FILE";
    command += " --connect " + (dotted.empty() ? std::string("HOST") : dotted[0]);
    command += " --port " + std::to_string(transferState.port);
    if (!newCode.empty()) command += " --code " + newCode;
    else if (hasCode) command += " --code CODE";
    if (dotted.size() > 1) {
        std::string others;
        for (size_t i = 1; i < dotted.size(); ++i) others += (i > 1 ? ", " : "") + dotted[i];
        command += " " + Text(TextId::kHintOtherAddresses, {others});
    }
    return Text(TextId::kHint, {command});
}

void PrintReport(int32_t mode, const std::string& path, bool json) {
    const Result result = ResultOf(mode);
    const double seconds =
        cliRecord.connected ? static_cast<double>(MonotonicMilliseconds() - cliRecord.connectedAtMs) / 1000.0 : 0.0;
    const uint64_t size =
        transferState.newFileMode == 1 && mode != kOriginal ? transferState.remoteSize : transferState.localSize;
    const uint64_t sent = transferState.link.bytesSent, received = transferState.link.bytesReceived;
    static const TextId kResultTexts[] = {TextId::kResultRepaired, TextId::kResultIdentical, TextId::kResultReceived,
                                          TextId::kResultSent, TextId::kResultFailed};
    static const char* const kResultNames[] = {"repaired", "identical", "received", "sent", "failed"};
    const int index = static_cast<int>(result);
    char secondsText[32];
    snprintf(secondsText, sizeof secondsText, "%.2f", seconds);
    std::string rate;
    if (result != Result::kFailed && seconds > 0)
        rate = Text(TextId::kSummaryRate, {FormatSize(static_cast<uint64_t>(static_cast<double>(size) / seconds))});
    if (!cliSettings.quiet || !json) {
        std::string summary = Text(TextId::kSummary, {Text(kResultTexts[index]), WhatMoved(result, mode, size),
                                                      FormatSize(sent), FormatSize(received), secondsText, rate});
        if (!cliSettings.peer.empty()) summary = Text(TextId::kPeerEnded, {cliSettings.peer, summary});
        PrintOwnLine(summary);
    }
    if (!json) return;
    const std::string file = transferState.selectionKind == kFileSelected ? std::string(transferState.localPath) : path;
    char numbers[160];
    snprintf(numbers, sizeof numbers, "\"bytes_sent\":%llu,\"bytes_received\":%llu,\"seconds\":%.3f,\"size\":%llu",
             static_cast<unsigned long long>(sent), static_cast<unsigned long long>(received), seconds,
             static_cast<unsigned long long>(size));
    std::string object = "{";
    if (!cliSettings.peer.empty()) object += "\"peer\":" + JsonString(cliSettings.peer) + ",";
    object += "\"result\":\"" + std::string(kResultNames[index]) + "\",\"protocol\":" +
              (cliRecord.protocol > 0 ? std::to_string(cliRecord.protocol) : "null") +
              ",\"encrypted\":" + (cliRecord.cipher.empty() ? "false" : JsonString(cliRecord.cipher)) + "," + numbers +
              ",\"file\":" + JsonString(file);
    if (result == Result::kFailed) object += ",\"error\":" + JsonString(ErrorInEnglish());
    object += "}\n";
    // Already UTF-8: written as it is, past the terminal filter of the
    // status lines, in one piece (served transfers print beside each other).
    fwrite(object.data(), 1, object.size(), stdout);
    fflush(stdout);
}
