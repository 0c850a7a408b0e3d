// Forwarding of local writes: one write batch, one frame, one send.
#pragma once

#include <cstdint>

// Sends the batch (the request's write records and the 32-bit end marker,
// size bytes) as a type-18 frame on tcpSocket. Returns 1 when the whole frame
// went out, 2 when it went out short, 3 on a send error or time-out. On 2 and
// 3 it takes the link down: clears linkUp and, when linkUp was still set,
// logs "Bad data-> ..." (2) or "Network error-> ..." (3). The request
// walker's WriteBatchSender.
int SendWriteBatch(const uint8_t* batch, uint32_t size);
