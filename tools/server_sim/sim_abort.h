// Abortive close of a TCP connection: the peer sees a reset (RST) instead of
// an orderly end of stream. The one socket operation the simulated server
// needs beyond the link's socket seam; one implementation per platform.
#pragma once

#include "link/net.h"

// Sets a zero linger time and closes the socket, so the platform resets the
// connection. 1 when the linger option took, 0 otherwise (closed either way).
int AbortConnection(NetSocket s);
