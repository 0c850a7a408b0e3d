// Reassembly of frames from the TCP byte stream. A stream has no datagram
// boundaries: one receive may hold part of a frame, or several frames, so the
// reader keeps the bytes in its own buffer until a whole frame (header,
// head->Size payload bytes, footer) is there, then validates it as a frame
// of its own. A frame that fails validation is handed to a reporter, and the
// reader falls back into step: the length field may be the corrupt one, so
// it looks for the first place, one byte on and further, where a whole frame
// validates, and goes on from there without reporting the bytes it skips.
// One reader belongs to one thread; it never allocates.
#pragma once

#include <cstdint>

#include "link/frames.h"

// Room for the largest frame head->Size can claim plus a whole receive, so no
// claimed length can overflow it.
inline constexpr uint32_t kReaderBufferSize = kMaxFrameSize + kReceiveBufferSize;

// Called with the facts of each frame that fails validation.
using BadFrameReporter = void (*)(void* context, const BadFrame& bad);

struct FrameReader {
  const FrameReceiver* who = &kTcpFrames;  // accepted tags
  BadFrameReporter report = nullptr;       // may be null
  void* context = nullptr;
  uint32_t begin = 0;  // first buffered byte not yet handed out
  uint32_t end = 0;    // one past the last buffered byte
  bool resyncing = false;  // after a bad frame, until a valid one is found
  uint8_t buffer[kReaderBufferSize];
};

// Empties the reader and sets whom it validates for and whom it reports to.
void ResetFrameReader(FrameReader& r, const FrameReceiver& who, BadFrameReporter report, void* context);

// Where the next receive goes: returns the first free byte and sets *room to
// how many bytes may be written there; at least kReceiveBufferSize once
// NextFrame has taken every whole frame out. May move the buffered bytes, so
// a frame handed out before is invalid now.
uint8_t* FrameReaderSpace(FrameReader& r, uint32_t* room);

// Counts n received bytes (n <= room) as buffered.
void FrameReaderCommit(FrameReader& r, uint32_t n);

// How many more bytes complete the next frame: the rest of its header while
// that is not whole, else the rest of the frame. A receiver that reads no
// more than this never takes bytes of two frames in one receive (so a
// receive stamp belongs to one frame).
uint32_t FrameReaderWanted(const FrameReader& r);

// One receive's worth of bytes copied in through FrameReaderSpace/Commit, as
// a receive call would place them. Returns how many were taken: all of them
// when size is at most kReceiveBufferSize and the reader was drained. For
// tests and the fuzzer.
uint32_t FeedFrameReader(FrameReader& r, const uint8_t* bytes, uint32_t size);

// What NextFrame found.
enum class NextFrameResult {
  kFrame,     // a whole valid frame, in *f
  kNeedMore,  // the next frame is not whole yet: receive more
};

// Takes the next frame out of the buffered bytes. Call it in a loop while it
// gives kFrame, so that every frame of a receive comes out. A frame that
// fails validation is reported and skipped, and with it whatever lies before
// the next valid frame. f->payload points into the reader's buffer and stays
// valid until the next FrameReaderSpace.
NextFrameResult NextFrame(FrameReader& r, Frame* f);
