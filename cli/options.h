// The command line of the command-line peer as words: the mode, the path
// and the options, which may come in any order, as "--name value" or
// "--name=value"; "--" ends the options. Main thread.
#pragma once

#include <string>
#include <utility>
#include <vector>

struct CommandLine {
    std::string mode;  // "original", "copy" or "nothing"
    std::string path;  // FILE or DIR
    std::vector<std::pair<std::string, std::string>> options;  // name (with its dashes) and value, in order
    bool help = false;
    bool version = false;
};

// Splits args (after the program's name) into line. Returns the reason of
// a usage error, with a suggestion for a mistyped option or mode, or "".
std::string ReadCommandLine(const std::vector<std::string>& args, CommandLine* line);

// The known word closest to word when it looks like a slip of the hand
// (one or two letters off, or the start of only one of them), else "".
std::string ClosestWord(const std::string& word, const std::vector<std::string>& known);
