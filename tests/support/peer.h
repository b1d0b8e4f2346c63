// A scripted peer for the tests: plays the other side of a transfer byte by
// byte over loopback, and can send anything, stall or close at any point.
#pragma once

#include <cstdint>
#include <string>

#include "platform/net.h"

struct ScriptedPeer {
    SocketHandle listener;
    SocketHandle sock;
};

// Listens on port (127.0.0.1 and every other interface). False on failure.
bool PeerListen(ScriptedPeer& peer, int port);
// Waits up to timeoutMs for the other side to connect.
bool PeerAccept(ScriptedPeer& peer, int timeoutMs);
// Connects to 127.0.0.1:port, retrying until timeoutMs has passed.
bool PeerConnect(ScriptedPeer& peer, int port, int timeoutMs);
bool PeerSend(ScriptedPeer& peer, const std::string& bytes);
// Receives exactly count bytes; false when the connection closed first or
// the time ran out.
bool PeerReceive(ScriptedPeer& peer, size_t count, std::string* bytes, int timeoutMs = 20000);
// Receives whatever arrives until the other side closes (or the time runs
// out, then false).
bool PeerReceiveUntilClosed(ScriptedPeer& peer, std::string* bytes, int timeoutMs = 20000);
void PeerClose(ScriptedPeer& peer);
// Ends the sending direction only (the other side reads the end of stream);
// the socket stays open for reading, and for another thread that reads it.
void ShutdownSend(ScriptedPeer& peer);

// Little-endian packing, as the protocol sends words.
std::string Word(uint32_t value);
std::string Byte(uint8_t value);
uint32_t WordAt(const std::string& bytes, size_t at);
