// blockmend-cli: a headless peer over the same engine and protocol as the
// Windows program. Main thread: parses the options, starts one transfer and
// waits for its end; the engine's worker thread does the work. With --serve
// the main thread serves many peers (cli/serve.cpp), and each transfer runs
// the same way in a process of its own.
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cli/cli_frontend.h"
#include "cli/options.h"
#include "cli/report.h"
#include "cli/serve.h"
#include "cli/texts.h"
#include "engine/fileinfo.h"
#include "engine/lifecycle.h"
#include "engine/shared_pass.h"
#include "engine/frontend.h"
#include "engine/transfer_state.h"
#include "platform/console.h"
#include "platform/error.h"
#include "platform/file.h"
#include "platform/net.h"
#include "platform/process.h"
#include "platform/text.h"
#include "wire/block_size.h"
#include "wire/pairing.h"

namespace {
const char kVersion[] = "blockmend-cli 1.0.0";

void PrintUsage() {
    printf("usage:\n"
           "  blockmend-cli original FILE (--listen | --connect HOST) [--port N] [--block-size N] [--log-dir DIR] [OPTIONS]\n"
           "  blockmend-cli copy     FILE (--listen | --connect HOST) [--port N] [--log-dir DIR] [OPTIONS]\n"
           "  blockmend-cli nothing  DIR  (--listen | --connect HOST) [--port N] [--overwrite | --save-as NAME] [--log-dir DIR] [OPTIONS]\n"
           "OPTIONS: [--allow HOST] [--protocol 1|2] [--verify-all] [--code CODE | --new-code] [--wait SECONDS]\n"
           "         [--json] [--quiet | --verbose]\n"
           "  blockmend-cli original FILE --listen --serve [--max-peers N] [--port N] [OPTIONS]\n"
           "Options may come before or after the mode and the path, as --name VALUE or --name=VALUE.\n"
           "\n"
           "Repairs a damaged copy of a file over TCP by sending only the damaged blocks.\n"
           "  original      this side holds the correct file\n"
           "  copy          this side holds the damaged copy, repaired in place\n"
           "  nothing       this side has no copy yet; the whole file is received into DIR\n"
           "  --listen      wait for the peer (server); --connect HOST: connect to it (client);\n"
           "                HOST is an IPv4 address or a host name. A listening side first prints\n"
           "                the command to run on the other machine, with this machine's addresses\n"
           "  --port N      TCP port, default 46699\n"
           "  --block-size  first block size: 4096, 8192, ... 16777216 (default: suggested from the size)\n"
           "  --log-dir     folder of the comparison log (default: %s)\n"
           "  --overwrite   replace an existing file of the received name\n"
           "  --save-as     use NAME instead when the received name exists\n"
           "  --allow HOST  with --listen: accept only this peer address\n"
           "  --protocol N  1: offer protocol 1 only; 2: refuse a peer that does not speak protocol 2\n"
           "                (default: protocol 2 when the peer is Blockmend too, else protocol 1 with a warning)\n"
           "  --verify-all  both sides read their whole file again at the end and prove what is on disk\n"
           "                then (needs protocol 2 on both sides)\n"
           "  --code CODE   pair with the peer by this code (at least 6 characters; the same on both\n"
           "                sides): authenticated and encrypted; also taken from $BLOCKMEND_CODE\n"
           "  --new-code    make a new code, print it as the first line, and pair with it\n"
           "  --wait SECONDS  with --connect: while the connection is refused (the listener is not up\n"
           "                yet), try again for up to SECONDS (default 0: try once)\n"
           "  --json        end with one JSON object on the last line of standard output: result\n"
           "                (repaired, identical, received, sent, failed), protocol, encrypted,\n"
           "                bytes_sent, bytes_received, seconds, size, file, and error when failed\n"
           "  --quiet       print only errors and the result (the summary, or the JSON object)\n"
           "  --verbose     show every mismatching block (else a long list is cut to its ends)\n"
           "  --serve       with original --listen: keep listening and serve every peer that comes,\n"
           "                each in a process of its own; one line per peer at its start and its end\n"
           "                (with --json one object per peer), the status lines only in the logs;\n"
           "                SIGTERM or Ctrl-C stops accepting and lets the running transfers stop\n"
           "  --max-peers N with --serve: serve at most N peers at once, the others wait in line\n"
           "                (default: the number of processors, at least 4)\n"
           "Status lines are in Japanese when the locale (LC_ALL, LC_MESSAGES, LANG; on Windows the\n"
           "user's display language) is Japanese, else in English. The last line sums up the result.\n"
           "Exit status: 0 transfer complete, 1 ended otherwise, 2 usage error.\n",
           DefaultLogFolderHelp());
}

volatile sig_atomic_t stopSignals = 0;

void OnStopSignal() {
    // The first Ctrl-C or SIGTERM asks the engine to stop at its next check
    // point and ends a wait for the peer at once; a second one ends the
    // process at once, as closing the window does.
    if (stopSignals > 0) ExitNow(1);
    stopSignals = 1;
    RequestStop();
    InterruptSocketWaits();
}

[[noreturn]] void UsageError(const std::string& message) {
    fprintf(stderr, "blockmend-cli: %s\nTry 'blockmend-cli --help'\n", message.c_str());
    exit(2);
}

// Errors of the set-up before a transfer starts, in the form of the
// system errors a transfer shows: "Error: WHAT: TEXT" on stderr, exit 1.
[[noreturn]] void SetupError(const std::string& what) {
    fprintf(stderr, "Error: %s: %s\n", what.c_str(), ShownLine(SystemErrorText().c_str()).c_str());
    exit(1);
}

// An address given as a number or a host name, looked up once.
uint32_t ResolveOrExit(const std::string& host) {
    uint32_t address = 0;
    if (host.empty() || host.size() >= 256) UsageError("not a host: " + host);
    if (!ResolveHostIpv4(host.c_str(), &address)) SetupError("cannot resolve " + host);
    return address;
}

// A path as the engine holds it: the argument's bytes (UTF-8 on Windows,
// whatever the user gave on POSIX), if it fits.
std::string AsPath(const std::string& given, const char* what) {
    if (given.size() >= static_cast<size_t>(kPathSize)) UsageError(std::string(what) + " is too long: " + given);
    return given;
}

bool ParseNumber(const std::string& text, unsigned long max, unsigned long* value) {
    if (text.empty() || text.size() > 10) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    *value = strtoul(text.c_str(), nullptr, 10);
    return *value <= max;
}

std::string WithSeparator(std::string folder) {
    if (folder.empty()) folder.push_back('.');
    if (folder.back() != '/' && folder.back() != '\\') folder += PathSeparator();
    return folder;
}
}  // namespace

int main(int argc, char** argv) {
    // Paths are UTF-8 here (the wide file functions on Windows), so any
    // name works.
    UsePathEncoding(PathEncoding::kUtf8);
    std::vector<std::string> args = ProgramArguments(argc, argv);
    CommandLine line;
    const std::string wrong = ReadCommandLine(std::vector<std::string>(args.begin() + (args.empty() ? 0 : 1), args.end()), &line);
    if (line.help) {
        PrintUsage();
        return 0;
    }
    if (line.version) {
        puts(kVersion);
        return 0;
    }
    if (!wrong.empty()) UsageError(wrong);
    UseJapanese(UserLanguageIsJapanese());
    if (line.mode == "original") transferState.fileType = kOriginal;
    else if (line.mode == "copy") transferState.fileType = kCopy;
    else transferState.fileType = kNothing;
    const int32_t mode = transferState.fileType;
    const std::string& path = line.path;

    bool listen = false, connect = false, newCode = false, json = false;
    std::string code;
    EnvironmentVariable("BLOCKMEND_CODE", &code);
    int blockSizeIndex = -1;  // as given with --block-size
    std::string logDir;
    std::string connectHost;
    std::string allow;
    bool waitGiven = false;
    bool serve = false;
    int maxPeers = 0;  // 0: as many as processors, at least 4
    std::string servedSocket, sharedPass;
    for (const auto& [a, given] : line.options) {
        // Options that only one mode takes.
        const char* onlyFor = a == "--block-size" && mode != kOriginal ? "original"
                              : (a == "--overwrite" || a == "--save-as") && mode != kNothing ? "nothing"
                                                                                              : nullptr;
        if (onlyFor) UsageError(a + " goes with " + onlyFor);
        unsigned long number = 0;
        if (a == "--listen") listen = true;
        else if (a == "--connect") {
            connect = true;
            connectHost = given;
            if (connectHost.empty()) UsageError("--connect needs a host");
        } else if (a == "--port") {
            if (!ParseNumber(given, 65535, &number) || number == 0) UsageError("bad port: " + given);
            transferState.port = static_cast<int32_t>(number);
        } else if (a == "--block-size") {
            if (!ParseNumber(given, 0xFFFFFFFFul, &number) || !IsValidBlockSize(number))
                UsageError("bad block size: " + given);
            blockSizeIndex = BlockSizeIndex(number);
        } else if (a == "--log-dir") {
            logDir = given;
        } else if (a == "--overwrite") {
            cliSettings.overwrite = true;
        } else if (a == "--save-as") {
            cliSettings.haveSaveAs = true;
            cliSettings.saveAs = AsPath(given, "--save-as NAME");
        } else if (a == "--protocol") {
            if (!ParseNumber(given, 2, &number) || number == 0) UsageError("bad protocol: " + given);
            // 1: offer nothing else; 2: accept nothing else.
            if (number == 1) transferState.protocolLimit = 1;
            else transferState.protocolMinimum = 2;
        } else if (a == "--code") {
            code = given;
            if (code.empty()) UsageError("--code needs a code");
        } else if (a == "--new-code") {
            newCode = true;
        } else if (a == "--verify-all") {
            transferState.verifyAll = true;
        } else if (a == "--allow") {
            allow = given;
            if (allow.empty()) UsageError("--allow needs a host");
        } else if (a == "--wait") {
            if (!ParseNumber(given, 31536000, &number)) UsageError("bad number of seconds: " + given);
            transferState.connectWaitMs = static_cast<uint64_t>(number) * 1000;
            waitGiven = true;
        } else if (a == "--json") {
            json = true;
        } else if (a == "--quiet") {
            cliSettings.quiet = true;
        } else if (a == "--verbose") {
            cliSettings.verbose = true;
        } else if (a == "--serve") {
            serve = true;
        } else if (a == "--max-peers") {
            if (!ParseNumber(given, 1024, &number) || number == 0) UsageError("bad number of peers: " + given);
            maxPeers = static_cast<int>(number);
        } else if (a == "--served-socket") {
            servedSocket = given;
        } else if (a == "--shared-pass") {
            sharedPass = given;
        }
    }
    if (listen == connect) UsageError("give exactly one of --listen and --connect");
    if (cliSettings.overwrite && cliSettings.haveSaveAs) UsageError("give at most one of --overwrite and --save-as");
    if (!allow.empty() && !listen) UsageError("--allow goes with --listen");
    if (waitGiven && !connect) UsageError("--wait goes with --connect");
    if (cliSettings.quiet && cliSettings.verbose) UsageError("give at most one of --quiet and --verbose");
    if (transferState.verifyAll && transferState.protocolLimit < 2) UsageError("--verify-all needs protocol 2");
    if (serve && (mode != kOriginal || !listen)) UsageError("--serve goes with original and --listen");
    if (maxPeers != 0 && !serve) UsageError("--max-peers goes with --serve");
    if (!servedSocket.empty() && !serve) UsageError("--served-socket goes with --serve");
    // A Windows server's process for one connection: the code is the
    // server's, not a new one.
    if (!servedSocket.empty()) newCode = false;
    if (newCode) {
        char made[24];
        // Never a transfer without the code that the user asked for.
        if (!MakeNewCode(made)) {
            fprintf(stderr, "Error: cannot make a new code: the system's random generator did not start\n");
            return 1;
        }
        code = made;
    }
    if (!code.empty()) {
        if (transferState.protocolLimit < 2) UsageError("a code needs protocol 2");
        std::string bytes;
        switch (CodeBytes(code, &bytes)) {
        case CodeCheck::kOk: break;
        case CodeCheck::kTooShort: UsageError("a code has at least 6 characters (spaces and dashes do not count)");
        case CodeCheck::kTooLong: UsageError("the code is too long");
        case CodeCheck::kNotText: UsageError("the code is not UTF-8 text");
        }
        if (code.size() >= sizeof transferState.pairingCode) UsageError("the code is too long");
        strcpy(transferState.pairingCode, code.c_str());
    }
    transferState.netRole = listen ? kServer : kClient;
    if (connect) {
        // The engine takes the peer as the dotted text a user types.
        char dotted[20];
        FormatIpv4(ResolveOrExit(connectHost), dotted, sizeof dotted);
        cliSettings.remoteIp = dotted;
    }
    if (!allow.empty()) transferState.allowedPeer = ResolveOrExit(allow);

    cliSettings.logFolder = logDir.empty() ? DefaultLogFolder() : WithSeparator(AsPath(logDir, "--log-dir DIR"));
    // Made when missing; a folder that still cannot be used is named once,
    // when the comparison opens its log, and the transfer goes on.
    MakeFolders(cliSettings.logFolder.c_str());
    if (transferState.fileType == kNothing) {
        std::string folder = WithSeparator(AsPath(path, "DIR"));
        if (folder.size() >= static_cast<size_t>(kPathSize)) UsageError("DIR is too long");
        // Found out now rather than after the peer has waited and sent its
        // name.
        if (!FolderWritable(folder.c_str())) SetupError("cannot use the folder " + path);
        strcpy(transferState.localPath, folder.c_str());
        transferState.selectionKind = kFolderSelected;
    } else {
        std::string file = AsPath(path, "FILE");
        strcpy(transferState.localPath, file.c_str());
        strcpy(transferState.fileTitle, PathTitle(transferState.localPath));
        transferState.selectionKind = kFileSelected;
        // Loaded as the window loads a chosen file; the worker reads the
        // size again when it starts.
        switch (ReadLocalFileInfo()) {
        case FileInfoResult::Ok: break;
        case FileInfoResult::CannotOpen: ShowSystemError(); break;
        case FileInfoResult::TooLarge: break;  // the worker refuses it at the start
        }
        SetBlockFigures(blockSizeIndex >= 0 ? blockSizeIndex : SuggestBlockSizeIndex(transferState.localSize));
    }

    PrepareConsole();
    cliSettings.terminal = StdoutIsTerminal();
    // The new code goes first, on a line of its own, to be read out to the
    // peer before it connects.
    if (newCode) {
        printf("%s\n", code.c_str());
        fflush(stdout);
    }
    if (listen) cliSettings.hint = HintLine(mode, newCode ? code : std::string(), !code.empty());
    if (listen && code.empty() && allow.empty() && servedSocket.empty())
        fprintf(stderr, "warning: listening with neither --code nor --allow: whoever reaches port %d can %s\n",
                static_cast<int>(transferState.port),
                transferState.fileType == kOriginal ? "read this file"
                : transferState.fileType == kCopy ? "write into this file"
                                                  : "put a file into this folder");
    OnInterrupt(OnStopSignal);
    if (!servedSocket.empty()) {
        SocketHandle connection;
        if (!TakeInheritedSocket(connection, servedSocket)) UsageError("bad --served-socket: " + servedSocket);
        if (!sharedPass.empty()) LoadSharedFirstPass(AsPath(sharedPass, "--shared-pass PATH").c_str());
        ServeConnection(connection);
    } else if (serve) {
        ServeSettings settings;
        settings.maxPeers = maxPeers != 0 ? maxPeers : std::max(4, ProcessorCount());
        settings.pairing = !code.empty();
        settings.args = args;
        // The server's own code goes to each Windows transfer process.
        if (newCode) {
            std::erase(settings.args, std::string("--new-code"));
            settings.args.insert(settings.args.begin() + 1, {"--code", code});
        }
        SocketHandle connection;
        const int status = ServeOriginal(settings, &connection);
        if (status >= 0) return status;
        ServeConnection(connection);
    }
    if (!StartTransfer()) {
        fprintf(stderr, "blockmend-cli: cannot start the worker thread\n");
        return 1;
    }
    // Start clears the stop flag: a signal that came before it still counts.
    if (stopSignals > 0) {
        RequestStop();
        InterruptSocketWaits();
    }
    RouteInterruptsToWorker();
    WaitForTransferEnd();
    FlushStatusOutput();
    PrintReport(mode, path, json);
    if (cliSettings.served) return ServedExitStatus(!code.empty());
    return transferState.transferComplete ? 0 : 1;
}
