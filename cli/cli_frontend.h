// Settings of the command-line peer that its front-end functions answer
// with. Written by main before the transfer starts.
#pragma once

#include <string>

struct CliSettings {
    std::string remoteIp;    // --connect
    std::string logFolder;   // code page 932, ending in a separator
    bool overwrite = false;  // --overwrite
    bool haveSaveAs = false;
    std::string saveAs;      // --save-as NAME, code page 932
    bool terminal = false;   // stdout is a terminal: rewrite progress in place
};

extern CliSettings cliSettings;

// Writes the last line if it is still held; called once the transfer ended.
void FlushStatusOutput();
