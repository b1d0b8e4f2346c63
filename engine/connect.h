// The one TCP connection of a transfer: waiting for the peer (Server) or
// connecting to it (Client), with the status lines of both. Worker thread.
#pragma once

// Server (netRole 1): AcceptConnection; Client: ConnectToServer. Returns with
// dataSocket connected; every failure ends the transfer inside. A Stop that
// InterruptSocketWaits delivers (the command-line peer's stop signal) ends
// the wait for the peer through EndTransfer; the window's Stop does not.
void OpenConnection();
void AcceptConnection();
void ConnectToServer();

// While a listening side runs its transfer, a thread of its own answers
// every further peer at once that this side is busy (BusyWord, which a
// Blockmend peer shows as kPeerBusyText; a peer of protocol 1 sees the
// connection close) instead of leaving it in the queue until the transfer
// ends and its connection is reset. AcceptConnection starts it; the end
// of the transfer stops it (it answers those still queued first), before
// the listening socket closes. Stop: any thread but that one.
void StopBusyAnswers();
