// The offset image: the client's 128 KB copy of the simulator's data area,
// with the write shadow (bytes written locally that wait for the server to
// echo them), the offset ownership map and the link activity counter. All of
// it is fixed static storage, private to offset_image.cpp, which alone keeps
// the rules below; the image, the shadow and the counter are guarded by the
// image lock, held for one unit of work (a record, a block, a sample), never
// nested and never held across a blocking call. Nothing here allocates.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/protocol.h"
#include "base/timestamp.h"

// The image offsets the client itself gives a meaning to.
inline constexpr uint32_t kServerOwnedOffset = 0x330A;  // the first of the bytes only the server sets
inline constexpr uint32_t kServerOwnedCount = 2;         // 0x330A and 0x330B
inline constexpr uint32_t kDataRateScaleOffset = 0x0274;  // 16-bit word W that scales the data rate
inline constexpr uint32_t kDataRateCountOffset = 0x337E;  // 16-bit word K whose growth is the data rate

// Ownership map values: what a write record starting at an offset does.
inline constexpr uint8_t kOwnerLocal = 1;   // applied to the image and marked in the shadow
inline constexpr uint8_t kOwnerServer = 2;  // only forwarded; the server alone sets these bytes
inline constexpr uint32_t kBlockActivity = kDataBlockSize;  // link activity per data block: one per byte
// How long a local write may wait for the server's echo while data blocks
// bring another value: longer than any server's apply round trip. A server
// that never applies the write (the simulator refuses or overrides it, the
// batch was lost) then gets its value back into the image.
inline constexpr uint32_t kWriteEchoLimitMs = 5000;

// Start state: image and shadow 0, ownership kOwnerLocal everywhere but the
// server-owned bytes (kOwnerServer).
// Called before any other thread exists (tests call it between cases).
void InitOffsetImage();

// Copies size image bytes from offset to dest under the lock. The caller keeps
// offset + size within kImageSize.
void ReadImageBytes(uint32_t offset, uint32_t size, uint8_t* dest);

// Several spans under one hold of the lock, so that they are one moment's
// bytes and a reader of many small fields takes the lock once: spans[i]'s
// size bytes from its offset to dest + its at. The caller keeps each span
// within kImageSize and dest large enough.
struct ImageSpan {
  uint32_t offset = 0;
  uint32_t size = 0;
  uint32_t at = 0;
};
void ReadImageSpans(const ImageSpan* spans, size_t count, uint8_t* dest);

// A local write record: unless the ownership entry of offset is kOwnerServer,
// copies the bytes into the image and marks them in the shadow with the time
// of the write (nowMs, the monotonic clock), under the lock. Only the first
// offset's entry is consulted. The caller keeps offset + size within
// kImageSize. Returns 1 when applied, 0 when refused.
int ApplyLocalWrite(uint32_t offset, uint32_t size, const uint8_t* data, uint64_t nowMs = MonotonicMs());

// Takes back the shadow marks of a local write record whose request's batch
// did not reach the server whole (the link was down, the send failed or went
// out short, or a later record stopped the walk): the server never got the
// value, so no block will echo it. Under the lock, clears the shadow entries
// of offset .. offset + size - 1 unless the ownership entry of offset is
// kOwnerServer (ApplyLocalWrite marked nothing then). The image keeps the
// local bytes until the next data block or update record brings the server's.
// The caller keeps offset + size within kImageSize.
void ReleaseLocalWrite(uint32_t offset, uint32_t size);

// What the TCP receiver does with each valid data block: under the lock,
// adds kBlockActivity to the link activity and brings the block (type 6..10,
// exactly kDataBlockSize payload bytes) into the image byte by byte under the
// write-shadow rules: a byte with no pending local write takes the block's
// value; a pending byte keeps its local value, and its mark is cleared when
// the block brings that same value, or when the block (at nowMs) brings
// another value kWriteEchoLimitMs or more after the write: the block's value
// is then taken. Returns 1, or 0 for a type outside 6..10 (the image does not
// change).
int TakeDataBlock(uint32_t type, const uint8_t* payload, uint64_t nowMs = MonotonicMs());

// Clears every shadow mark, under the lock: the link is down, and what it did
// not confirm the next server's blocks may overwrite.
void ClearWriteMarks();

// 1 while a local write of the byte at offset waits for the server to echo
// it (its write shadow entry is set). For tests and diagnosis.
int WritePending(uint32_t offset);
// The same for size bytes from offset at once, into dest (1 or 0 a byte).
void ReadPendingWrites(uint32_t offset, uint32_t size, uint8_t* dest);

// Applies count update records of 6 bytes each (Region, pad, Offset LE16,
// Value, pad), taking the lock once per record. Ignores the write shadow.
void ApplyUpdateRecords(const uint8_t* records, uint32_t count);

// Adds n to the link activity under the lock (one accepted beacon or update frame: 1).
void AddLinkActivity(uint32_t n);

// What the supervisor samples once per tick, under the lock.
struct LinkSample {
  uint32_t activity;  // the link activity count (wraps modulo 2^32)
  uint16_t dataRateScale;  // image word at kDataRateScaleOffset (little-endian)
  uint16_t dataRateCount;  // image word at kDataRateCountOffset (little-endian)
};
LinkSample SampleLink();
void ResetLinkActivity();  // the link activity count = 0, under the lock
