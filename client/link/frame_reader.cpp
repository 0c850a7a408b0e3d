// The TCP stream reassembler: begin/end indexes into one buffer, compacted
// (the unread tail moved to the front) only when the room at the end could no
// longer take a whole receive.
#include "link/frame_reader.h"

#include <cstring>

#include "base/byte_order.h"

static_assert(kReaderBufferSize >= kMaxFrameSize + kReceiveBufferSize,
              "a partial frame and a whole receive must fit together");

namespace {

// The size of the frame whose header starts at p.
uint32_t WholeAt(const FrameReader& r, uint32_t p) { return kFrameOverhead + ReadLe16(r.buffer + p + kFrameSizeAt); }

// After a bad frame: the first place from r.begin where a whole frame
// validates (a false match needs a footer tag and a repeated length that
// happen to fit). The bytes before it are dropped. Without one, the reader
// keeps the bytes from the first place whose frame is not whole yet (or the
// last few, which could begin a header): the rest can start no frame.
NextFrameResult Resync(FrameReader& r, Frame* f) {
  const uint32_t have = r.end - r.begin;
  uint32_t keep = r.end - (have < kFrameOverhead - 1 ? have : kFrameOverhead - 1);
  for (uint32_t p = r.begin; p + kFrameOverhead <= r.end; ++p) {
    const uint32_t whole = WholeAt(r, p);
    if (r.end - p < whole) {
      if (p < keep) keep = p;
      continue;
    }
    BadFrame bad{};
    if (ValidateFrame(r.buffer + p, int(whole), *r.who, f, &bad) == Outcome::kDone) {
      r.begin = p + whole;
      r.resyncing = false;
      return NextFrameResult::kFrame;
    }
  }
  r.begin = keep;
  return NextFrameResult::kNeedMore;
}

}  // namespace

void ResetFrameReader(FrameReader& r, const FrameReceiver& who, BadFrameReporter report, void* context) {
  r.who = &who;
  r.report = report;
  r.context = context;
  r.begin = r.end = 0;
  r.resyncing = false;
}

uint8_t* FrameReaderSpace(FrameReader& r, uint32_t* room) {
  if (r.begin == r.end) r.begin = r.end = 0;
  if (kReaderBufferSize - r.end < kReceiveBufferSize) {
    // Only a partial frame (less than kMaxFrameSize bytes) can be left here,
    // also while resyncing: Resync keeps no more than one.
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
  return WholeAt(r, r.begin) - have;
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
  if (r.resyncing) return Resync(r, f);
  const uint32_t have = r.end - r.begin;
  if (have < kFrameOverhead) return NextFrameResult::kNeedMore;
  const uint32_t whole = WholeAt(r, r.begin);
  if (have < whole) return NextFrameResult::kNeedMore;  // rest still in flight
  BadFrame bad{};
  if (ValidateFrame(r.buffer + r.begin, int(whole), *r.who, f, &bad) == Outcome::kDone) {
    r.begin += whole;
    return NextFrameResult::kFrame;
  }
  if (r.report != nullptr) r.report(r.context, bad);
  r.resyncing = true;
  ++r.begin;
  return Resync(r, f);
}
