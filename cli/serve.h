// A listening Original that serves many peers at once (--serve): the main
// thread accepts, and each connection is served by a process of its own
// that runs the one transfer of the engine from that connection. Main
// thread.
#pragma once

#include <string>
#include <vector>

#include "platform/net.h"

struct ServeSettings {
    int maxPeers = 4;                // transfers at once; further peers wait in line
    bool pairing = false;            // a code is given: a transfer that did not pair is a failed pairing
    std::vector<std::string> args;   // the program's arguments, for a Windows transfer process
};

// Serves until a stop signal (RequestStop): returns the server's exit
// status once every transfer it started has ended. In a forked process that
// is to serve one connection, returns -1 with the connection in connection;
// the caller then runs it as its one transfer (ServeConnection).
int ServeOriginal(const ServeSettings& settings, SocketHandle* connection);

// Makes connection the one transfer of this process: the engine starts from
// it instead of listening, reads the Original shared with the other
// transfers, names its log after the peer, shows no status lines and prints
// the peer's start line.
void ServeConnection(SocketHandle& connection);

// The exit status of a served transfer's process: 0 complete, 1 ended
// otherwise, kPairingFailedStatus when a code was given and the peer did
// not pair with it (the server then delays its next answer).
constexpr int kPairingFailedStatus = 3;
int ServedExitStatus(bool pairing);
