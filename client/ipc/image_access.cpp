// Image access for every front end (see the header). The batch's records are
// laid out as the write-batch frame carries them: kind, offset, size, data,
// each head field 32-bit little-endian, and the 32-bit 0 that ends the list
// written once the request ends.
#include "ipc/image_access.h"

#include <atomic>
#include <cstring>

#include "base/byte_order.h"
#include "base/timestamp.h"
#include "ipc/offset_image.h"

namespace {

std::atomic<uint32_t> requestCount{0};
std::atomic<uint32_t> readByteCount{0};
std::atomic<uint32_t> writeByteCount{0};

}  // namespace

AccessCounts ReadAccessCounts() { return {requestCount.load(), readByteCount.load(), writeByteCount.load()}; }

void ResetAccessCounts() {
  requestCount.store(0);
  readByteCount.store(0);
  writeByteCount.store(0);
}

void ReadSpan(uint32_t offset, uint32_t size, uint8_t* dest) {
  readByteCount.fetch_add(size);
  ReadImageBytes(offset, size, dest);
}

void WriteBatch::Add(uint32_t offset, uint32_t size, const uint8_t* data) {
  if (size_ == 0) writtenAt_ = MonotonicMs();
  writeByteCount.fetch_add(size);
  uint8_t* record = records_ + size_;
  WriteLe32(record, kWriteKind);
  WriteLe32(record + 4, offset);
  WriteLe32(record + 8, size);
  std::memcpy(record + kWriteHeadSize, data, size);  // the one copy of the data
  ApplyLocalWrite(offset, size, record + kWriteHeadSize, writtenAt_);
  size_ += kWriteHeadSize + size;
}

Outcome WriteBatch::Finish(WriteBatchSender& sender) {
  Outcome result = Outcome::kNoLink;  // nothing sent, logged or counted
  if (sender.LinkUp()) {
    result = Outcome::kDone;
    if (size_ != 0) {
      std::memset(records_ + size_, 0, 4);  // the end marker; Fits leaves room for it
      result = sender.Send(records_, size_ + 4);
    }
    requestCount.fetch_add(1);  // a failed send has already taken the link down (the sender's part)
  }
  if (result != Outcome::kDone) ReleaseMarks();
  size_ = 0;
  return result;
}

void WriteBatch::Abandon() {
  ReleaseMarks();
  size_ = 0;
}

// The server has not got these values and will never echo them: a mark left
// behind would hold the local value against every block for good.
void WriteBatch::ReleaseMarks() {
  for (uint32_t at = 0; at < size_;) {
    const uint32_t offset = ReadLe32(records_ + at + 4), n = ReadLe32(records_ + at + 8);
    ReleaseLocalWrite(offset, n);
    at += kWriteHeadSize + n;
  }
}
