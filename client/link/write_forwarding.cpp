// Forwarding of local writes: the batch becomes one type-18 frame in a frame
// buffer of its own and goes out in one bounded send. Main thread only.
#include "link/write_forwarding.h"

#include "base/event_log.h"
#include "base/shared_flags.h"
#include "base/timestamp.h"
#include "link/frames.h"
#include "link/tcp_link.h"

namespace {

int Send(const uint8_t* batch, uint32_t size) {
  static uint8_t frame[kWriteFrameBufferSize];  // main thread only
  const uint32_t length = BuildWriteBatchFrame(batch, size, frame, sizeof frame);
  if (length == 0) return 3;  // larger than any batch the request handler makes
  const int sent = SendOnTcpLink(frame, length);
  if (sent < 0) return 3;
  return uint32_t(sent) == length ? 1 : 2;
}

}  // namespace

int SendWriteBatch(const uint8_t* batch, uint32_t size) {
  const int result = Send(batch, size);
  if (result != 1 && linkUp.exchange(0) != 0) {  // still set: this batch is the one that found the link broken
    char timestamp[kTimestampSize];
    LogEvent(result == 2 ? "%s Bad data-> FS6IPC_MESSAGE_FAILURE\n" : "%s Network error-> FS6IPC_MESSAGE_FAILURE\n",
             FormatTimestamp(timestamp));
  }
  return result;
}
