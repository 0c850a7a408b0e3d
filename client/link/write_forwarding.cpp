// Forwarding of local writes: the batch becomes one type-18 frame in a frame
// buffer of its own and goes out in one bounded send. Any thread may send; the
// lock keeps the frame buffer to one batch at a time, and with it the frames
// on the stream whole and in the order their sends began.
#include "link/write_forwarding.h"

#include <mutex>

#include "base/event_log.h"
#include "base/shared_flags.h"
#include "base/timestamp.h"
#include "link/frames.h"
#include "link/tcp_link.h"

namespace {

std::mutex frameLock;
uint8_t frame[kWriteFrameBufferSize];  // under frameLock

Outcome Send(const uint8_t* batch, uint32_t size) {
  std::lock_guard<std::mutex> hold(frameLock);
  const uint32_t length = BuildWriteBatchFrame(batch, size, frame, sizeof frame);
  if (length == 0) return Outcome::kNoLink;  // larger than any batch a front end makes
  const int sent = SendOnTcpLink(frame, length);
  if (sent < 0) return Outcome::kNoLink;
  return uint32_t(sent) == length ? Outcome::kDone : Outcome::kSentShort;
}

}  // namespace

Outcome SendWriteBatch(const uint8_t* batch, uint32_t size) {
  const Outcome result = Send(batch, size);
  if (result != Outcome::kDone && linkUp.exchange(0) != 0) {  // still set: this batch found the link broken
    char timestamp[kTimestampSize];
    LogEvent(result == Outcome::kSentShort ? "%s Bad data-> FS6IPC_MESSAGE_FAILURE\n"
                                           : "%s Network error-> FS6IPC_MESSAGE_FAILURE\n",
             FormatTimestamp(timestamp));
  }
  return result;
}
