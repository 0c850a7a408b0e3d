// Forwarding of local writes: the batch becomes one type-18 frame in a frame
// buffer of its own and goes out in one bounded send. Main thread only.
#include "link/write_forwarding.h"

#include "link/frames.h"
#include "link/tcp_link.h"

int SendWriteBatch(const uint8_t* batch, uint32_t size) {
  static uint8_t frame[kWriteFrameBufferSize];  // main thread only
  const uint32_t length = BuildWriteBatchFrame(batch, size, frame, sizeof frame);
  if (length == 0) return 3;  // larger than any batch the request handler makes
  const int sent = SendOnTcpLink(frame, length);
  if (sent < 0) return 3;
  return uint32_t(sent) == length ? 1 : 2;
}
