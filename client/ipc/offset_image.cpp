// Offset image operations. Besides the per-byte shadow the image keeps a
// count of marked shadow entries per 16 KB quarter, so that a data block for
// a quarter without pending local writes is one plain copy.
#include "ipc/offset_image.h"

#include <cstring>
#include <mutex>

#include "base/byte_order.h"
#include "ipc/image_changes.h"

namespace {

// The image lock guards the image, the shadow, their per-quarter counts and
// the activity count; the ownership map is written at start-up only.
std::mutex imageLock;
uint8_t offsetImage[kImageSize];
// Non-zero: a local write waits for its echo; the value is the write's time
// (WriteStamp: the monotonic clock's milliseconds modulo 2^32, made odd so
// never 0; WriteAge takes the odd bit off again).
uint32_t writeShadow[kImageSize];
uint8_t offsetOwnership[kImageSize];
uint32_t linkActivityCount;        // wraps modulo 2^32

constexpr uint32_t kQuarterCount = kImageSize / kDataBlockSize;
uint32_t shadowMarks[kQuarterCount];  // non-zero shadow entries per quarter

inline uint16_t ImageWord(uint32_t offset) { return uint16_t(ReadLe16(offsetImage + offset)); }

inline uint32_t WriteStamp(uint64_t nowMs) { return uint32_t(nowMs) | 1u; }
// Milliseconds since the write of stamp, at most one more than they are.
inline uint32_t WriteAge(uint32_t stamp, uint64_t nowMs) { return uint32_t(nowMs) - (stamp & ~1u); }

// One data block under the write-shadow rules; the caller holds imageLock.
int ApplyDataBlock(uint32_t type, const uint8_t* payload, uint64_t nowMs) {
  if (type < kTypeFirstBlock || type > kTypeLastBlock) return 0;
  const uint32_t quarter = type - kTypeFirstBlock;
  const uint32_t base = quarter * kDataBlockSize;
  if (shadowMarks[quarter] == 0) {
    std::memcpy(offsetImage + base, payload, kDataBlockSize);
    return 1;
  }
  uint32_t cleared = 0;
  for (uint32_t i = 0; i < kDataBlockSize; ++i) {
    const uint32_t o = base + i;
    if (writeShadow[o] == 0) {
      offsetImage[o] = payload[i];
    } else if (offsetImage[o] == payload[i]) {
      writeShadow[o] = 0;  // the server has taken over the local value
      ++cleared;
    } else if (WriteAge(writeShadow[o], nowMs) >= kWriteEchoLimitMs) {
      offsetImage[o] = payload[i];  // waited too long: the server's value stands
      writeShadow[o] = 0;
      ++cleared;
    }
  }
  shadowMarks[quarter] -= cleared;
  return 1;
}

}  // namespace

void InitOffsetImage() {
  std::lock_guard<std::mutex> hold(imageLock);
  std::memset(offsetImage, 0, sizeof offsetImage);
  std::memset(writeShadow, 0, sizeof writeShadow);
  std::memset(shadowMarks, 0, sizeof shadowMarks);
  std::memset(offsetOwnership, kOwnerLocal, sizeof offsetOwnership);
  std::memset(offsetOwnership + kServerOwnedOffset, kOwnerServer, kServerOwnedCount);
  linkActivityCount = 0;
}

void ReadImageBytes(uint32_t offset, uint32_t size, uint8_t* dest) {
  std::lock_guard<std::mutex> hold(imageLock);
  std::memcpy(dest, offsetImage + offset, size);
}

void ReadImageSpans(const ImageSpan* spans, size_t count, uint8_t* dest) {
  std::lock_guard<std::mutex> hold(imageLock);
  for (size_t i = 0; i < count; ++i) std::memcpy(dest + spans[i].at, offsetImage + spans[i].offset, spans[i].size);
}

int ApplyLocalWrite(uint32_t offset, uint32_t size, const uint8_t* data, uint64_t nowMs) {
  if (offsetOwnership[offset] == kOwnerServer) return 0;
  const uint32_t stamp = WriteStamp(nowMs);
  {
    std::lock_guard<std::mutex> hold(imageLock);
    std::memcpy(offsetImage + offset, data, size);
    for (uint32_t o = offset; o < offset + size; ++o) {
      if (writeShadow[o] == 0) ++shadowMarks[o / kDataBlockSize];
      writeShadow[o] = stamp;
    }
  }
  NoteImageChange();
  return 1;
}

void ReleaseLocalWrite(uint32_t offset, uint32_t size) {
  if (offsetOwnership[offset] == kOwnerServer) return;
  std::lock_guard<std::mutex> hold(imageLock);
  for (uint32_t o = offset; o < offset + size; ++o) {
    if (writeShadow[o] != 0) --shadowMarks[o / kDataBlockSize];
    writeShadow[o] = 0;
  }
}

int TakeDataBlock(uint32_t type, const uint8_t* payload, uint64_t nowMs) {
  int applied;
  {
    std::lock_guard<std::mutex> hold(imageLock);
    linkActivityCount += kBlockActivity;
    applied = ApplyDataBlock(type, payload, nowMs);
  }
  if (applied == 1) NoteImageChange();
  return applied;
}

void ClearWriteMarks() {
  std::lock_guard<std::mutex> hold(imageLock);
  std::memset(writeShadow, 0, sizeof writeShadow);
  std::memset(shadowMarks, 0, sizeof shadowMarks);
}

int WritePending(uint32_t offset) {
  std::lock_guard<std::mutex> hold(imageLock);
  return writeShadow[offset] != 0 ? 1 : 0;
}

void ReadPendingWrites(uint32_t offset, uint32_t size, uint8_t* dest) {
  std::lock_guard<std::mutex> hold(imageLock);
  for (uint32_t i = 0; i < size; ++i) dest[i] = writeShadow[offset + i] != 0 ? 1 : 0;
}

void ApplyUpdateRecords(const uint8_t* records, uint32_t count) {
  for (uint32_t r = 0; r < count; ++r) {
    const uint8_t* record = records + kUpdateRecordSize * r;
    const uint32_t offset = (record[0] != 0 ? 0x10000u : 0u) + ReadLe16(record + 2);
    std::lock_guard<std::mutex> hold(imageLock);
    offsetImage[offset] = record[4];
  }
  if (count != 0) NoteImageChange();
}

void AddLinkActivity(uint32_t n) {
  std::lock_guard<std::mutex> hold(imageLock);
  linkActivityCount += n;
}

LinkSample SampleLink() {
  std::lock_guard<std::mutex> hold(imageLock);
  return LinkSample{linkActivityCount, ImageWord(kDataRateScaleOffset), ImageWord(kDataRateCountOffset)};
}

void ResetLinkActivity() {
  std::lock_guard<std::mutex> hold(imageLock);
  linkActivityCount = 0;
}
