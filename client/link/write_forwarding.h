// Forwarding of local writes: one write batch, one frame, one send, from any
// thread (one batch at a time).
#pragma once

#include <cstdint>

#include "base/result.h"

// Sends the batch (the request's write records and the 32-bit end marker,
// size bytes) as a type-18 frame on tcpSocket: kDone when the whole frame
// went out, kSentShort when it went out short, kNoLink on a send error or
// time-out. On a failure it takes the link down: clears linkUp and, when
// linkUp was still set, logs "Bad data-> ..." (short) or "Network error->
// ..." (the others). The front ends' WriteBatchSender.
Outcome SendWriteBatch(const uint8_t* batch, uint32_t size);
