// What the engine, the network link and the comparison log need from the
// front end that is linked with them: the Windows dialog (app/), the
// command-line peer (cli/) or the recorder of the tests. Each front end
// defines every function declared here. All are called on the worker thread
// and have taken effect when they return.
#pragma once

#include <cstdint>

// Appends a line to the status list and counts it in statusLineCount.
void AddStatusLine(const char* text);
// Rewrites the last line of the status list.
void ReplaceLastStatusLine(const char* text);
// Shows the system's text for the calling thread's last saved error
// (SystemErrorText) and returns when the user has seen it.
void ShowSystemError();

// Answers of the overwrite question.
enum OverwriteAnswer : int {
    kOverwrite = 1,  // truncate the existing file
    kSaveAs = 2,     // transferState.incomingName holds another name
    kCancel = 3,     // give up: no file is made
};
// Asks what to do with the existing file transferState.incomingName.
int AskOverwrite();

// The protocol that the handshake settled on, told once per transfer that
// gets that far: a front end may warn that protocol 1 proves nothing.
void NoteProtocol(int32_t version);

// The peer's address as the user typed it, at most size - 1 characters.
void ReadRemoteIp(char* text, int size);
// The folder for the comparison log: kPathSize bytes, ending in a path
// separator.
void GetProgramFolder(char* folder);

// The front end's part of the end of a transfer: the idle state, the switch
// of a side that received a new file to Copy (selectionKind 1, the Client
// role), and the reload of a Copy's file figures.
void RestoreIdleWindow();
