// Link frames: the one shape every message between the client and the server
// plug-in has (6-byte header, payload, 4-byte footer), the rule that decides
// whether received bytes are a valid frame, and the event-log lines that
// report invalid ones. All fields are little-endian (byte_order.h); frames
// carry no checksum, only a fixed 16-bit tag per frame kind in the footer.
// The layout and its numbers are in base/protocol.h.
#pragma once

#include <cstdint>

#include "base/protocol.h"
#include "base/result.h"

inline constexpr uint32_t kWriteFrameBufferSize = 65536;  // the write batch frame buffer

// Which receiver is asking: the word its log lines use and the tags it takes.
struct FrameReceiver {
  const char* word;        // "UDP" or "TCP"
  const uint32_t* tags;
  uint32_t tagCount;
};
extern const FrameReceiver kTcpFrames;        // 0x1A2B, 0xFADE, 0x1B2C
extern const FrameReceiver kMulticastFrames;  // 0xDEFA
extern const FrameReceiver kUnicastFrames;    // 0xFADE

// A valid frame: a view into the receive buffer, valid as long as its bytes.
struct Frame {
  uint32_t type;           // MessageType
  uint32_t size;           // N
  const uint8_t* payload;  // the N payload bytes (header + 6)
};

// Why received bytes are no valid frame.
enum FrameFault : int {
  kFrameShort = 2,      // fewer than 10 bytes received
  kFrameBadFooter = 3,  // footer beyond the bytes, wrong tag, or foot->Size != head->Size
};

// The facts of an invalid frame, as its log line prints them. Values of
// bytes that were not received read as 0.
struct BadFrame {
  int check;          // a FrameFault
  int received;       // bytes the receive gave (short frames)
  uint32_t headSize;  // the 16-bit value at offset 2
  uint32_t footTag;   // the 16-bit value at 8 + N
  uint32_t footSize;  // the 16-bit value at 6 + N
};

// Validates the received bytes of one datagram (or one reassembled frame) as
// a frame that starts at bytes[0]. Reads nothing at or beyond
// bytes + received. Returns kDone and fills *frame, or kBadInput and fills
// *bad (LogBadFrame makes its line). Bytes after a good footer are ignored.
Outcome ValidateFrame(const uint8_t* bytes, int received, const FrameReceiver& who, Frame* frame, BadFrame* bad);

// Builds a frame of the given type and tag (Reserved 0) from size payload
// bytes into out (outSize bytes). Returns the frame length 10 + size, or 0
// when size exceeds 0xFFFF or the frame does not fit out.
uint32_t BuildFrame(uint32_t type, uint32_t tag, const uint8_t* payload, uint32_t size, uint8_t* out,
                    uint32_t outSize);

// A write batch frame: MessageType 18, tag 0xAFFE. Results as BuildFrame.
uint32_t BuildWriteBatchFrame(const uint8_t* payload, uint32_t size, uint8_t* out, uint32_t outSize);

// Event-log lines, with the timestamp prefix, in the log's exact words:
// the short-frame or bad-footer line of the receiver's word ...
void LogBadFrame(const FrameReceiver& who, const BadFrame& bad);
// ... a valid frame of a type the receiver does not take ("UDP bad
// messagetype" / "TCP data wrong header") ...
void LogWrongType(const FrameReceiver& who, uint32_t type);
// ... and a data block whose head->Size is not 16384, which is dropped.
void LogWrongBlockSize(uint32_t type, uint32_t size);
