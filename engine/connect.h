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
