// Reading the command line into words (main thread).
#include "cli/options.h"

#include <algorithm>

namespace {
struct OptionName {
    const char* name;
    bool takesValue;
};

const OptionName kOptions[] = {
    {"--listen", false},   {"--connect", true},     {"--port", true},      {"--block-size", true},
    {"--log-dir", true},   {"--overwrite", false},  {"--save-as", true},   {"--allow", true},
    {"--protocol", true},  {"--verify-all", false}, {"--code", true},      {"--new-code", false},
    {"--wait", true},      {"--json", false},       {"--quiet", false},    {"--verbose", false},
    {"--help", false},     {"--version", false},    {"--serve", false},    {"--max-peers", true},
    // Given by a Windows server to the process of each connection it serves.
    {"--served-socket", true}, {"--shared-pass", true},
};

const OptionName* FindOption(const std::string& name) {
    for (const OptionName& option : kOptions)
        if (name == option.name) return &option;
    return nullptr;
}

size_t EditDistance(const std::string& a, const std::string& b) {
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

std::string WithSuggestion(const std::string& reason, const std::string& word, const std::vector<std::string>& known) {
    const std::string closest = ClosestWord(word, known);
    return closest.empty() ? reason : reason + " (did you mean " + closest + "?)";
}
}  // namespace

std::string ClosestWord(const std::string& word, const std::vector<std::string>& known) {
    std::string best;
    size_t bestDistance = 3;  // more than two edits away is no slip
    for (const std::string& candidate : known) {
        const size_t distance = EditDistance(word, candidate);
        if (distance < bestDistance) {
            best = candidate;
            bestDistance = distance;
        }
    }
    if (!best.empty()) return best;
    std::string prefixOf;
    for (const std::string& candidate : known) {
        if (word.size() < 4 || candidate.compare(0, word.size(), word) != 0) continue;
        if (!prefixOf.empty()) return "";
        prefixOf = candidate;
    }
    return prefixOf;
}

std::string ReadCommandLine(const std::vector<std::string>& args, CommandLine* line) {
    std::vector<std::string> words;
    bool optionsEnded = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (optionsEnded || a.size() < 2 || a[0] != '-') {
            words.push_back(a);
            continue;
        }
        if (a == "--") {
            optionsEnded = true;
            continue;
        }
        if (a == "-h") {
            line->help = true;
            continue;
        }
        const size_t equals = a.find('=');
        const std::string name = a.substr(0, equals);
        const OptionName* option = a.compare(0, 2, "--") == 0 ? FindOption(name) : nullptr;
        if (!option) {
            std::vector<std::string> known;
            for (const OptionName& o : kOptions) known.emplace_back(o.name);
            return WithSuggestion("unknown option: " + name, name, known);
        }
        std::string value;
        if (equals != std::string::npos) {
            if (!option->takesValue) return name + " takes no value";
            value = a.substr(equals + 1);
        } else if (option->takesValue) {
            if (i + 1 >= args.size()) return name + " needs a value";
            value = args[++i];
        }
        if (name == "--help") line->help = true;
        else if (name == "--version") line->version = true;
        else line->options.emplace_back(name, value);
    }
    if (line->help || line->version) return "";
    if (words.size() < 2) return "a mode and a path are needed";
    if (words.size() > 2) return "unexpected argument: " + words[2];
    line->mode = words[0];
    line->path = words[1];
    if (line->mode != "original" && line->mode != "copy" && line->mode != "nothing")
        return WithSuggestion("unknown mode: " + line->mode, line->mode, {"original", "copy", "nothing"});
    return "";
}
