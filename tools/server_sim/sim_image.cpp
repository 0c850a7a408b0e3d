// The simulated server's image, its scripted changes and write batches.
#include "sim_image.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "base/byte_order.h"
#include "sim_wire.h"

namespace {

constexpr uint32_t kRecordHead = 12;  // kind, offset, size
constexpr uint32_t kKindWrite = 2;

void SetByte(SimImage& m, uint32_t o, uint8_t v) {
  if (m.bytes[o] == v) return;
  m.bytes[o] = v;
  if (m.dirty[o] != 0) return;
  m.dirty[o] = 1;
  m.dirtyList[m.dirtyCount++] = o;
}

bool RangeFits(uint32_t offset, uint32_t size) {
  return offset < kImageSize && size <= kImageSize - offset;
}

uint64_t ReadValue(const SimImage& m, uint32_t offset, uint32_t size) {
  uint64_t v = 0;
  for (uint32_t i = 0; i < size; ++i) v |= uint64_t(m.bytes[offset + i]) << (8 * i);
  return v;
}

}  // namespace

void ResetSimImage(SimImage& m, bool pattern) {
  for (uint32_t o = 0; o < kImageSize; ++o) m.bytes[o] = pattern ? PatternByte(o) : 0;
  std::memset(m.dirty, 0, sizeof m.dirty);
  m.dirtyCount = 0;
  m.counterCount = 0;
  m.waveCount = 0;
}

int SetImageValue(SimImage& m, uint32_t offset, uint64_t value, uint32_t size) {
  if (size == 0 || size > 8 || !RangeFits(offset, size)) return 0;
  for (uint32_t i = 0; i < size; ++i) SetByte(m, offset + i, uint8_t(value >> (8 * i)));
  return 1;
}

int AddCounter(SimImage& m, const Counter& c) {
  if (m.counterCount == kMaxCounters) return 0;
  if (c.size != 1 && c.size != 2 && c.size != 4 && c.size != 8) return 0;
  if (!RangeFits(c.offset, c.size)) return 0;
  m.counters[m.counterCount++] = c;
  return 1;
}

void StepCounters(SimImage& m) {
  for (uint32_t i = 0; i < m.counterCount; ++i) {
    const Counter& c = m.counters[i];
    SetImageValue(m, c.offset, ReadValue(m, c.offset, c.size) + uint64_t(c.step), c.size);
  }
}

int AddWave(SimImage& m, const Wave& w) {
  if (m.waveCount == kMaxWaves) return 0;
  if (w.size != 1 && w.size != 2 && w.size != 4 && w.size != 8) return 0;
  if (!RangeFits(w.offset, w.size) || !(w.low < w.high) || !(w.periodS > 0)) return 0;
  m.waves[m.waveCount++] = w;
  return 1;
}

void StepWaves(SimImage& m, double seconds) {
  constexpr double kTwoPi = 6.283185307179586;
  for (uint32_t i = 0; i < m.waveCount; ++i) {
    const Wave& w = m.waves[i];
    const double middle = (double(w.low) + double(w.high)) / 2, half = (double(w.high) - double(w.low)) / 2;
    const int64_t value = std::llround(middle + half * std::sin(kTwoPi * seconds / w.periodS));
    const int64_t held = std::clamp(value, w.low, w.high);
    SetImageValue(m, w.offset, uint64_t(held), w.size);
  }
}

uint32_t FirstCounterValue(const SimImage& m) {
  return m.counterCount == 0 ? 0 : uint32_t(ReadValue(m, m.counters[0].offset, m.counters[0].size));
}

uint32_t TakeUpdateRecords(SimImage& m, uint8_t upperRegion, uint8_t* out, uint32_t maxRecords) {
  const uint32_t count = m.dirtyCount < maxRecords ? m.dirtyCount : maxRecords;
  for (uint32_t r = 0; r < count; ++r) {
    const uint32_t o = m.dirtyList[r];
    uint8_t* rec = out + kUpdateRecordSize * r;
    rec[0] = o >= 0x10000 ? upperRegion : 0;
    rec[1] = 0;
    WriteLe16(rec + 2, o & 0xFFFF);
    rec[4] = m.bytes[o];
    rec[5] = 0;
    m.dirty[o] = 0;
  }
  std::memmove(m.dirtyList, m.dirtyList + count, (m.dirtyCount - count) * sizeof m.dirtyList[0]);
  m.dirtyCount -= count;
  return count;
}

void CopyBlockPayload(const SimImage& m, uint32_t type, uint8_t* out) {
  std::memcpy(out, m.bytes + (type - kTypeFirstBlock) * kDataBlockSize, kDataBlockSize);
}

int CheckWriteBatch(const uint8_t* payload, uint32_t n, const char** why) {
  int records = 0;
  uint32_t at = 0;
  for (;;) {
    if (n - at < 4) {
      *why = "no end marker";
      return -1;
    }
    const uint32_t kind = ReadLe32(payload + at);
    if (kind == 0) return records;
    if (kind != kKindWrite) {
      *why = "record kind is not 2";
      return -1;
    }
    if (n - at < kRecordHead) {
      *why = "record header runs past the frame";
      return -1;
    }
    const uint32_t offset = ReadLe32(payload + at + 4);
    const uint32_t size = ReadLe32(payload + at + 8);
    if (size > n - at - kRecordHead) {
      *why = "record data runs past the frame";
      return -1;
    }
    if (!RangeFits(offset, size)) {
      *why = "record runs past the image";
      return -1;
    }
    at += kRecordHead + size;
    ++records;
  }
}

WriteRecord BatchRecord(const uint8_t* payload, uint32_t i) {
  uint32_t at = 0;
  for (uint32_t k = 0; k < i; ++k) at += kRecordHead + ReadLe32(payload + at + 8);
  return WriteRecord{ReadLe32(payload + at + 4), ReadLe32(payload + at + 8), payload + at + kRecordHead};
}

int ApplyWriteBatch(SimImage& m, const uint8_t* payload, uint32_t n) {
  const char* why = nullptr;
  const int count = CheckWriteBatch(payload, n, &why);
  uint32_t at = 0;
  for (int k = 0; k < count; ++k) {
    const uint32_t offset = ReadLe32(payload + at + 4);
    const uint32_t size = ReadLe32(payload + at + 8);
    std::memcpy(m.bytes + offset, payload + at + kRecordHead, size);
    at += kRecordHead + size;
  }
  return count;
}
