// Access to the offset image for any front end (the window message, and
// whatever serves the image beside it): reading spans, and write batches that
// apply each write with its shadow mark, forward the batch, count, and take
// back the marks of what did not go out. Safe from any thread: the image lock
// guards the image, each WriteBatch belongs to its caller, and the sender
// sends one batch at a time. Nothing here allocates.
#pragma once

#include <cstdint>

#include "base/protocol.h"
#include "base/result.h"

// What the front ends have done, as the status window counts it. Each count
// is added to by the front ends' threads and read whole.
struct AccessCounts {
  uint32_t requests = 0;    // requests that ended while the link was up
  uint32_t readBytes = 0;   // data bytes of spans read
  uint32_t writeBytes = 0;  // data bytes of writes batched
};
AccessCounts ReadAccessCounts();
// Sets the counts to 0 (start-up; tests between cases).
void ResetAccessCounts();

// Whether size bytes from offset lie within the image (offset itself below
// its end); no sum can wrap.
inline bool InImage(uint32_t offset, uint32_t size) { return offset < kImageSize && size <= kImageSize - offset; }

// Copies size image bytes from offset into dest and counts them. The caller
// keeps the span within the image (InImage).
void ReadSpan(uint32_t offset, uint32_t size, uint8_t* dest);

// Where write batches go: the link, which says whether it is up and sends a
// batch (size bytes, end marker included) as one frame: kDone sent whole,
// kSentShort, kNoLink (no connection, a send error or its time ran out). On a
// failure the sender also takes the link down, logging it. Called from any
// thread.
class WriteBatchSender {
 public:
  virtual bool LinkUp() = 0;
  virtual Outcome Send(const uint8_t* batch, uint32_t size) = 0;

 protected:
  ~WriteBatchSender() = default;
};

// The writes of one request, in the order they came: each is in the image at
// once (with its shadow mark), and the batch goes to the server as one frame
// when the request ends. A batch whose frame did not go out whole takes its
// marks back, so that the next data block or update record brings the
// server's value back. Reusable: Finish and Abandon empty it.
class WriteBatch {
 public:
  // Whether a write of size data bytes still fits the batch.
  bool Fits(uint32_t size) const { return kWriteHeadSize + size <= kBatchRecordLimit - size_; }

  // Copies the write into the batch and applies that copy to the image (the
  // server and the image get the same bytes, whatever the source does
  // meanwhile), and counts its bytes. The caller keeps it within the image
  // and checks Fits first. The request's writes share the time of its first.
  void Add(uint32_t offset, uint32_t size, const uint8_t* data);

  // Ends the request: while the link is up, sends the batch when it holds a
  // write, and counts the request. kDone (sent, or nothing to send), else the
  // sender's failure or kNoLink; for anything but kDone the writes' marks are
  // taken back.
  Outcome Finish(WriteBatchSender& sender);

  // Ends a request that is not to go out (it stopped at a bad record): the
  // writes' marks are taken back.
  void Abandon();

 private:
  void ReleaseMarks();

  uint8_t records_[kBatchBufferSize];  // write records back to back, room for the end marker
  uint32_t size_ = 0;
  uint64_t writtenAt_ = 0;  // the time of the first write (set when size_ was 0)
};
