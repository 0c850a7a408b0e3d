// The request walker over arbitrary request areas. The first input byte sets
// the link flag, the two logging switches, the sender's answer and whether the
// area gets a batch buffer's worth of zeros behind it (so that write records
// large enough to fill the batch fit a short input); the rest is the request
// area, walked from an allocation of exactly its size so that any access past
// its end is caught. The fake sender checks that every batch is a
// well-formed list of write records inside the image with its end marker.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "base/event_log.h"
#include "ipc/offset_image.h"
#include "ipc/request_walker.h"

namespace {

Outcome senderReply = Outcome::kDone;
int senderCalls = 0;
bool senderUp = false;

uint32_t Le32(const uint8_t* p) { return p[0] | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24; }

Outcome CheckingSend(const uint8_t* batch, uint32_t size) {
  ++senderCalls;
  if (size < kWriteHeadSize + 4 || size > kBatchBufferSize) std::abort();
  uint32_t at = 0;
  while (at + 4 <= size && Le32(batch + at) != 0) {
    if (Le32(batch + at) != kWriteKind || size - at < kWriteHeadSize + 4) std::abort();
    const uint32_t offset = Le32(batch + at + 4), n = Le32(batch + at + 8);
    if (offset >= kImageSize || n > kImageSize - offset || n > size - at - kWriteHeadSize - 4) std::abort();
    at += kWriteHeadSize + n;
  }
  if (at != size - 4) std::abort();  // the end marker closes the batch exactly
  return senderReply;
}

struct CheckingSender final : WriteBatchSender {
  bool LinkUp() override { return senderUp; }
  Outcome Send(const uint8_t* batch, uint32_t size) override { return CheckingSend(batch, size); }
} checkingSender;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  OpenLogs("/dev/null", "/dev/null");
  InitOffsetImage();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t control = data[0];
  senderUp = control & 1;
  readLogging = control >> 1 & 1;
  writeLogging = control >> 2 & 1;
  constexpr Outcome kReplies[] = {Outcome::kDone, Outcome::kSentShort, Outcome::kNoLink, Outcome::kDone};
  senderReply = kReplies[control >> 3 & 3];
  senderCalls = 0;

  const size_t padding = control & 0x20 ? kBatchBufferSize : 0;
  const size_t areaSize = size - 1 + padding;
  uint8_t* area = static_cast<uint8_t*>(std::malloc(areaSize != 0 ? areaSize : 1));
  if (size > 1) std::memcpy(area, data + 1, size - 1);
  std::memset(area + size - 1, 0, padding);
  const Outcome result = WalkRequest(area, areaSize, checkingSender);
  std::free(area);

  if (result == Outcome::kFailed) std::abort();  // the walk ends done, sent short, without a link or at bad input
  if (result == Outcome::kBadInput && senderCalls != 0) std::abort();  // a bad record sends nothing
  return 0;
}
