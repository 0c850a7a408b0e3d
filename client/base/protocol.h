// The wire: every constant that the client, the server plug-in and the local
// add-ons agree on, in one place for the client and its tools alike. Frames
// (one shape for every message between client and server, all fields
// little-endian) and the IPC request records are described where they are
// built and read (link/frames.h, ipc/request_walker.h); their numbers are
// here.
//
// Frame: 0 MessageType (8 bit)  1 padding  2 head->Size N (16)  4 Reserved (16)
//        6 payload (N bytes)    6+N foot->Size (16, = N)        8+N foot->Checksum (16, the tag)
#pragma once

#include <cstdint>

// The offset image: the simulator's data area as offsets 0x00000-0x1FFFF,
// brought over TCP in data blocks of one quarter each (types 6..10).
inline constexpr uint32_t kImageSize = 0x20000;
inline constexpr uint32_t kDataBlockSize = 0x4000;  // bytes of one data block, 16384

// Frame layout.
inline constexpr uint32_t kFrameHeaderSize = 6;
inline constexpr uint32_t kFrameFooterSize = 4;
inline constexpr uint32_t kFrameOverhead = kFrameHeaderSize + kFrameFooterSize;  // the smallest frame
inline constexpr uint32_t kFrameSizeAt = 2;           // head->Size
inline constexpr uint32_t kMaxFramePayload = 0xFFFF;  // what head->Size can claim
inline constexpr uint32_t kMaxFrameSize = kFrameOverhead + kMaxFramePayload;
inline constexpr uint32_t kReceiveBufferSize = 65535;  // one receive call's buffer
inline constexpr uint32_t kMaxSendPayload = kReceiveBufferSize - kFrameOverhead;  // a frame that fits one receive
inline constexpr uint32_t kUpdateRecordSize = 6;       // Region, pad, Offset (16), Value, pad

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

// IPC request records: head fields unsigned 32-bit little-endian, back to
// back from the start of the request area, a kind of 0 ends the list.
//   read  (kind 1): kind, offset, size n, client field, n data bytes (filled by the client)
//   write (kind 2): kind, offset, size n, n data bytes
inline constexpr uint32_t kEndKind = 0;
inline constexpr uint32_t kReadKind = 1;
inline constexpr uint32_t kWriteKind = 2;
inline constexpr uint32_t kReadHeadSize = 16;
inline constexpr uint32_t kWriteHeadSize = 12;

// A write batch: the write records of one request and a 32-bit 0 end marker,
// the payload of one type-18 frame.
inline constexpr uint32_t kBatchBufferSize = 32512;                  // write records and the end marker
inline constexpr uint32_t kBatchRecordLimit = kBatchBufferSize - 4;  // write records of one request

// The shapes above, checked wherever this header is compiled: both Windows
// widths and both Linux widths. Every field is read and written byte by byte
// (base/byte_order.h), never through a struct laid over the bytes, so no
// target's padding or alignment can move one.
static_assert(sizeof(uint8_t) == 1 && sizeof(uint16_t) == 2 && sizeof(uint32_t) == 4);
static_assert(kFrameHeaderSize == 1 + 1 + 2 + 2, "MessageType, padding, head->Size, Reserved");
static_assert(kFrameFooterSize == 2 + 2, "foot->Size, foot->Checksum");
static_assert(kFrameSizeAt == 2 && kMaxFramePayload == 0xFFFF, "head->Size: 16 bits at offset 2");
static_assert(kUpdateRecordSize == 1 + 1 + 2 + 1 + 1, "Region, pad, Offset, Value, pad");
static_assert(kReadHeadSize == 4 * 4 && kWriteHeadSize == 3 * 4, "request record heads of 32-bit fields");
static_assert(kImageSize == 0x20000 && kDataBlockSize == kImageSize / 8);
static_assert((kTypeLastBlock - kTypeFirstBlock + 1) * kDataBlockSize <= kImageSize, "blocks 6..10 lie in the image");
static_assert(kDataBlockSize + kFrameOverhead <= kReceiveBufferSize, "a data block fits one receive");
static_assert(kBatchBufferSize <= kMaxSendPayload, "a write batch is one frame that fits one receive");
static_assert(kBatchRecordLimit + 4 == kBatchBufferSize, "the records and the 32-bit end marker");
