// The TCP link to the server: the connection attempt, the TCP receiver
// thread (which runs the unicast receiver beside it) and the closing of the
// whole link. The socket is shared: the receiver reads, the main thread sends
// write batches, the supervisor and the shutdown close it. Whoever closes it
// first takes it out of use, waits for the receiver (and a send in flight)
// to end, and only then closes it, so no thread ever uses a closed socket.
#pragma once

#include <cstdint>

#include "link/frames.h"

// Connects a new tcpSocket to server, port 65000. The attempt is bounded
// (about 2 s) and gives up early once programRunning is cleared. The
// connected socket sends without delay (TCP_NODELAY) and has its send time
// limit; *localEnd (may be null) gets the address it was connected from.
// Returns 1 connected, 0 failed (no TCP socket is then kept).
int ConnectToServer(uint32_t server, uint32_t* localEnd);

// Sets tcpReceiving and starts the TCP receiver thread. Returns 1, or 0 when
// the thread could not be started.
int StartTcpReceiver();

// 1 once the connection that ConnectToServer made last has brought a data
// block into the image.
int ConnectionBroughtData();

// Waits until the TCP receiver thread (if one was started) has ended.
void JoinTcpReceiver();

// Takes tcpSocket out of use and closes it; the TCP receiver (and with it
// the unicast receiver) has ended when it returns.
void CloseTcpSocket();

// Sends size bytes on tcpSocket within the send time limit (about 2 s). The
// count sent, or -1 on an error, a time-out or when there is no link.
int SendOnTcpLink(const uint8_t* data, uint32_t size);

// What the TCP receiver does with one whole valid frame: a data block of
// 16384 bytes is applied (TakeDataBlock); a block of another size and a frame
// of another type are logged and dropped. Tests and the fuzzer call it too.
void TakeTcpFrame(const Frame& frame);
