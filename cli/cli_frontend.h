// Settings of the command-line peer that its front-end functions answer
// with, and what they saw of the transfer for the report at its end.
// Settings are written by main before the transfer starts; the record is
// written by the worker and read by main once the worker has ended.
#pragma once

#include <cstdint>
#include <string>

struct CliSettings {
    std::string remoteIp;    // --connect
    std::string logFolder;   // in the path encoding (UTF-8), ending in a separator
    bool overwrite = false;  // --overwrite
    bool haveSaveAs = false;
    std::string saveAs;      // --save-as NAME, in the path encoding
    bool terminal = false;   // stdout is a terminal: rewrite progress in place
    bool verbose = false;    // --verbose: every mismatching block on screen
    bool quiet = false;      // --quiet: no status lines, only errors and the result
    std::string hint;        // a listener's line on how to reach it, shown once it listens
    // A transfer served beside others (--serve): its status lines are not
    // shown, so that the lines of transfers at once never mix; its start
    // and its end are one line each, which name the peer.
    bool served = false;
    std::string peer;        // the served peer, "ADDR:PORT"
};

extern CliSettings cliSettings;

// What the status lines told of the transfer, for the summary and --json.
struct CliRecord {
    bool connected = false;
    uint64_t connectedAtMs = 0;     // MonotonicMilliseconds at the connection
    int32_t protocol = 0;           // as settled by the handshake; 0: none
    std::string cipher;             // the records' cipher; empty: not encrypted
    uint64_t damagedBlocks = 0;     // blocks of the repair
    uint64_t damagedBytes = 0;
    bool repairMoved = false;       // damaged blocks were sent or received
    uint64_t tailBytes = 0;         // the missing end sent or received
    bool tailMoved = false;
    std::string lastReason;         // the last line that may say why a transfer failed (code page 932)
};

extern CliRecord cliRecord;

// Writes what is still held (the last progress value, the end of a list of
// mismatching blocks); called once the transfer ended.
void FlushStatusOutput();
// Prints a line of the peer's own (UTF-8, as Text makes it) on stdout,
// after whatever the transfer printed.
void PrintOwnLine(const std::string& line);
