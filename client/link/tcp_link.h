// The TCP link to the server: the connection attempt, the TCP receiver
// thread (which runs the unicast receiver beside it) and the closing of the
// whole link. The socket is shared: the receiver reads, the main thread sends
// write batches, the supervisor and the shutdown close it.
#pragma once

// Connects a new tcpSocket to dottedAddress, port 65000. The attempt is
// bounded (about 2 s) and gives up early once programRunning is cleared.
// Returns 1 connected, 0 failed (no socket is then kept).
int ConnectToServer(const char* dottedAddress);

// Sets tcpReceiving and starts the TCP receiver thread. Returns 1, or 0 when
// the thread could not be started.
int StartTcpReceiver();

// Waits until the TCP receiver thread (if one was started) has ended.
void JoinTcpReceiver();

// Closes the link: logs "%s Closing connection to server OK", shuts down and
// closes tcpSocket, leaves the group and closes multicastSocket, cleans up the
// socket library. Always returns 1.
int CloseLink();

// Shutdown: closes tcpSocket so that a pending receive returns.
void CloseTcpSocket();
