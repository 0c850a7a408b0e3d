// Link frames: the one shape every message between the client and the server
// plug-in has (6-byte header, payload, 4-byte footer), the rule that decides
// whether received bytes are a valid frame, and the event-log lines that
// report invalid ones. All fields are little-endian (byte_order.h); frames
// carry no checksum, only a fixed 16-bit tag per frame kind in the footer.
//
//   0 MessageType (8 bit)  1 padding  2 head->Size N (16)  4 Reserved (16)
//   6 payload (N bytes)    6+N foot->Size (16, = N)        8+N foot->Checksum (16, the tag)
#pragma once

#include <cstdint>

inline constexpr uint32_t kFrameHeaderSize = 6;
inline constexpr uint32_t kFrameFooterSize = 4;
inline constexpr uint32_t kFrameOverhead = kFrameHeaderSize + kFrameFooterSize;  // the smallest frame
inline constexpr uint32_t kFrameSizeAt = 2;       // head->Size
inline constexpr uint32_t kMaxFramePayload = 0xFFFF;  // what head->Size can claim
inline constexpr uint32_t kMaxFrameSize = kFrameOverhead + kMaxFramePayload;
inline constexpr uint32_t kReceiveBufferSize = 65535;   // one receive call's buffer
inline constexpr uint32_t kWriteFrameBufferSize = 65536;  // the write batch frame buffer
inline constexpr uint32_t kUpdateRecordSize = 6;  // Region, pad, Offset (16), Value, pad

// MessageType values.
inline constexpr uint32_t kTypeFirstBlock = 6;   // data blocks 6..10: image quarters, TCP
inline constexpr uint32_t kTypeLastBlock = 10;
inline constexpr uint32_t kTypeWriteBatch = 18;  // local writes, client to server, TCP
inline constexpr uint32_t kTypeBeacon = 20;      // the server is there, UDP multicast
inline constexpr uint32_t kTypeUpdate = 103;     // 'g': single-byte updates, UDP unicast

// Footer tags (foot->Checksum).
inline constexpr uint32_t kTagBlock1A2B = 0x1A2B;  // data blocks (any of the three)
inline constexpr uint32_t kTagBlock1B2C = 0x1B2C;
inline constexpr uint32_t kTagFADE = 0xFADE;       // data blocks and update frames
inline constexpr uint32_t kTagBeacon = 0xDEFA;
inline constexpr uint32_t kTagWriteBatch = 0xAFFE;

// Where the frames travel.
inline constexpr char kBeaconGroupText[] = "239.192.0.10";
inline constexpr uint16_t kBeaconPort = 54942;  // multicast, server to every client
inline constexpr uint16_t kServerPort = 65000;  // TCP listener of the server
inline constexpr uint16_t kUpdatePort = 65100;  // the client's unicast port

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

// Validation results.
enum FrameCheck : int {
  kFrameValid = 1,
  kFrameShort = 2,      // fewer than 10 bytes received
  kFrameBadFooter = 3,  // footer beyond the bytes, wrong tag, or foot->Size != head->Size
};

// The facts of an invalid frame, as its log line prints them. Values of
// bytes that were not received read as 0.
struct BadFrame {
  int check;          // kFrameShort or kFrameBadFooter
  int received;       // bytes the receive gave (short frames)
  uint32_t headSize;  // the 16-bit value at offset 2
  uint32_t footTag;   // the 16-bit value at 8 + N
  uint32_t footSize;  // the 16-bit value at 6 + N
};

// Validates the received bytes of one datagram (or one reassembled frame) as
// a frame that starts at bytes[0]. Reads nothing at or beyond
// bytes + received. Returns kFrameValid and fills *frame, or kFrameShort /
// kFrameBadFooter and fills *bad. Bytes after a good footer are ignored.
int ValidateFrame(const uint8_t* bytes, int received, const FrameReceiver& who, Frame* frame, BadFrame* bad);

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
