// Process services for the command-line peer: its arguments as UTF-8, its
// folder, the terminal, and Ctrl-C. Main thread, except the interrupt
// handler, which runs where the system calls it.
#pragma once

#include <string>
#include <vector>

// The program's arguments as UTF-8 (on Windows from the wide command line).
std::vector<std::string> ProgramArguments(int argc, char** argv);
// An environment variable as UTF-8; false when it is not set.
bool EnvironmentVariable(const char* name, std::string* value);
// The folder of the running executable, in the path encoding, ending in a
// separator.
std::string ExecutableFolder();
// Where the comparison log goes when no folder is given, in the path
// encoding, ending in a separator: on POSIX a per-user state folder
// ($XDG_STATE_HOME/blockmend, else ~/.local/state/blockmend; the front end
// makes it when missing, MakeFolders), since an installed program's folder is not the user's to
// write; on Windows the program's folder. DefaultLogFolderHelp says which,
// for --help.
std::string DefaultLogFolder();
const char* DefaultLogFolderHelp();
// Whether the user reads Japanese: on POSIX the first of LC_ALL,
// LC_MESSAGES and LANG that is set and not empty names a Japanese locale
// ("ja", "ja_JP.UTF-8", ...); on Windows the user's UI language is
// Japanese.
bool UserLanguageIsJapanese();
bool StdoutIsTerminal();
bool StdinIsTerminal();
// Prepares the console for UTF-8 output.
void PrepareConsole();
// Calls handler on SIGINT and SIGTERM (Ctrl-C and Ctrl-Break on Windows).
// handler must only do what is safe in a signal handler.
void OnInterrupt(void (*handler)());
// Called by the main thread once the worker runs and the main thread only
// waits: from then on the interrupt reaches the worker itself, so that a
// send or receive blocked on a silent peer returns and Stop is seen there
// (POSIX; nothing to do on Windows).
void RouteInterruptsToWorker();
// Ends the process at once with code, without running any clean-up.
[[noreturn]] void ExitNow(int code);
