// The TCP stream reassembler: begin/end indexes into one buffer, compacted
// (the unread tail moved to the front) only when the room at the end could no
// longer take a whole receive.
#include "link/frame_reader.h"

#include <cstring>

#include "base/byte_order.h"

static_assert(kReaderBufferSize >= kMaxFrameSize + kReceiveBufferSize,
              "a partial frame and a whole receive must fit together");

namespace {

NextFrameResult DropAll(FrameReader& r, const BadFrame& bad) {
  r.begin = r.end = 0;
  if (r.report != nullptr) r.report(r.context, bad);
  return NextFrameResult::kDropped;
}

}  // namespace

void ResetFrameReader(FrameReader& r, const FrameReceiver& who, BadFrameReporter report, void* context) {
  r.who = &who;
  r.report = report;
  r.context = context;
  r.begin = r.end = 0;
}

uint8_t* FrameReaderSpace(FrameReader& r, uint32_t* room) {
  if (r.begin == r.end) r.begin = r.end = 0;
  if (kReaderBufferSize - r.end < kReceiveBufferSize) {
    // Only a partial frame (less than kMaxFrameSize bytes) can be left here.
    std::memmove(r.buffer, r.buffer + r.begin, r.end - r.begin);
    r.end -= r.begin;
    r.begin = 0;
  }
  *room = kReaderBufferSize - r.end;
  return r.buffer + r.end;
}

void FrameReaderCommit(FrameReader& r, uint32_t n) { r.end += n; }

uint32_t FrameReaderWanted(const FrameReader& r) {
  const uint32_t have = r.end - r.begin;
  if (have < kFrameHeaderSize) return kFrameHeaderSize - have;
  return kFrameOverhead + ReadLe16(r.buffer + r.begin + kFrameSizeAt) - have;
}

uint32_t FeedFrameReader(FrameReader& r, const uint8_t* bytes, uint32_t size) {
  uint32_t room = 0;
  uint8_t* space = FrameReaderSpace(r, &room);
  const uint32_t n = size < room ? size : room;
  if (n > 0) std::memcpy(space, bytes, n);
  FrameReaderCommit(r, n);
  return n;
}

NextFrameResult NextFrame(FrameReader& r, Frame* f) {
  const uint32_t have = r.end - r.begin;
  if (have < kFrameOverhead) return NextFrameResult::kNeedMore;
  const uint8_t* head = r.buffer + r.begin;
  const uint32_t whole = kFrameOverhead + ReadLe16(head + kFrameSizeAt);
  if (have < whole) return NextFrameResult::kNeedMore;  // rest still in flight
  BadFrame bad{};
  if (ValidateFrame(head, int(whole), *r.who, f, &bad) != kFrameValid) return DropAll(r, bad);
  r.begin += whole;
  return NextFrameResult::kFrame;
}
