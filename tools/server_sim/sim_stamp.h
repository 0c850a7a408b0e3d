// Wall-clock stamps of what the simulated server receives and sends, so that
// a benchmark can match them with the client side's own stamps taken on the
// same machine: nanoseconds since the Unix epoch, the clock that the kernel
// stamps received packets with. On Linux a receive gives the kernel's stamp
// of the packet (SO_TIMESTAMPNS), free of the time the server took to get
// round to it; elsewhere the stamp is the wall clock after the receive.
#pragma once

#include <cstdint>

#include "link/net.h"
#include "wall_clock.h"

// Asks the platform to stamp what the stream socket receives. 1, or 0 when
// it cannot (ReceiveStamped then falls back to the wall clock).
int EnableReceiveStamps(NetSocket s);

// NetRecv that also gives the time the newest of the received bytes arrived.
// The count received, 0 when the peer closed, -1 on an error.
int ReceiveStamped(NetSocket s, uint8_t* buffer, uint32_t size, uint64_t* stampNs);
