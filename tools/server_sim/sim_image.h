// The simulated server's own 128 KB image: what its data blocks carry, what
// its update frames report and what write batches change. Scripted changes
// (set, counters) mark the bytes they change as dirty so that the next update
// frame reports them; write batches change the image without marking it, so
// their values come back through the data blocks only. The caller guards a
// SimImage with one lock when more than one thread uses it.
#pragma once

#include <cstdint>

#include "base/protocol.h"
inline constexpr uint32_t kMaxCounters = 64;
inline constexpr uint32_t kMaxWaves = 16;

// A value at offset that a tick moves by step (modulo 2^(8 * size)).
struct Counter {
  uint32_t offset;
  uint32_t size;  // 1, 2, 4 or 8 bytes, little-endian
  int64_t step;
};

// A value that follows a sine between low and high, one period every
// periodS seconds, from the middle upwards at time 0; rounded to an integer
// and stored in size bytes (two's complement when negative).
struct Wave {
  uint32_t offset;
  uint32_t size;  // 1, 2, 4 or 8 bytes, little-endian
  int64_t low, high;
  double periodS;
};

struct SimImage {
  uint8_t bytes[kImageSize];
  uint8_t dirty[kImageSize];  // 1: changed since the last update records were taken
  uint32_t dirtyList[kImageSize];
  uint32_t dirtyCount;
  Counter counters[kMaxCounters];
  uint32_t counterCount;
  Wave waves[kMaxWaves];
  uint32_t waveCount;
};

// Byte o of the --pattern fill; every 16 KB quarter differs from the others.
inline uint8_t PatternByte(uint32_t o) { return uint8_t(o + (o >> 8) * 3 + (o >> 14) * 0x47 + 0x11); }

// All zero, nothing dirty, no counters or waves; with pattern, filled with PatternByte.
void ResetSimImage(SimImage& m, bool pattern);

// Stores size bytes of value (little-endian) at offset; bytes that change
// become dirty. Returns 1, or 0 when the range leaves the image.
int SetImageValue(SimImage& m, uint32_t offset, uint64_t value, uint32_t size);

// Adds a counter. Returns 1, or 0 when the table is full or the range is bad.
int AddCounter(SimImage& m, const Counter& c);

// One tick: every counter reads its bytes, adds its step and writes them back.
void StepCounters(SimImage& m);

// Adds a wave. Returns 1, or 0 when the table is full, the range is bad, low
// is not below high or the period is not positive.
int AddWave(SimImage& m, const Wave& w);

// Every wave writes its value at seconds since the waves started.
void StepWaves(SimImage& m, double seconds);

// The value of the first counter (its low 32 bits), 0 when there is none:
// what a latency bench matches update frames by.
uint32_t FirstCounterValue(const SimImage& m);

// Writes update records (Region, pad, Offset, Value, pad) for dirty bytes in
// the order they changed, at most maxRecords, into out, and clears their
// marks. Bytes at 0x10000 and above get upperRegion as their Region. Returns
// the number of records.
uint32_t TakeUpdateRecords(SimImage& m, uint8_t upperRegion, uint8_t* out, uint32_t maxRecords);

// Copies the 16384 bytes that data block type (6..10) carries into out.
void CopyBlockPayload(const SimImage& m, uint32_t type, uint8_t* out);

// One record of a write batch.
struct WriteRecord {
  uint32_t offset;
  uint32_t size;
  const uint8_t* data;
};

// Checks a write batch payload (records of kind 2: offset, size, data; then
// a 32-bit 0) without changing anything. Returns the number of records, or -1
// with *why set when the payload is malformed: a kind other than 2, a record
// that runs past the payload or the image, or no end marker.
int CheckWriteBatch(const uint8_t* payload, uint32_t n, const char** why);

// Returns record i (0-based) of a batch that CheckWriteBatch accepted.
WriteRecord BatchRecord(const uint8_t* payload, uint32_t i);

// Applies an accepted batch to the image (no dirty marks). Returns the count.
int ApplyWriteBatch(SimImage& m, const uint8_t* payload, uint32_t n);
