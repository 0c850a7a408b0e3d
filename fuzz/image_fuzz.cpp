// The offset image against a byte-by-byte model of its rules, over any
// sequence of local writes, data blocks and update records. The image keeps a
// count of pending local writes per quarter and copies a quarter without any
// in one go; a count that drifts would let a data block overwrite a value that
// a local program has just written, or keep a byte from following the server.
// The model applies the rules literally, one byte at a time, and the image and
// the write shadow must match it after every operation.
//
// The input is a list of operations, each opened by one byte (its low two bits
// pick the kind):
//   0  local write:  offset (3 bytes, modulo the image), size (1 byte, 1..8), data;
//      with bit 2 of the opening byte set, a local write taken back instead
//      (its request's batch did not go out whole): offset and size, no data
//   1  data block:   type (1 byte, 6..10 mostly, sometimes outside), edits (1 byte,
//                    0..15), then per edit a position (2 bytes) and a value; the
//                    block is the model's current quarter with those edits, so
//                    that blocks that agree with pending writes are common
//   2  update frame: records (1 byte, 1..4), 6 bytes each
//   3  every byte of the image and the shadow is compared
// At most kMaxBlocks data blocks count in one input (a block is 16 KB of work
// on both sides); later block operations are skipped.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "ipc/offset_image.h"

namespace {

uint8_t modelImage[kImageSize];
bool modelShadow[kImageSize];
uint8_t block[kDataBlockSize];
constexpr int kMaxBlocks = 24;
int blocksLeft;

struct Input {
  const uint8_t* at;
  const uint8_t* end;
  bool Has(size_t n) const { return size_t(end - at) >= n; }
  uint8_t Byte() { return *at++; }
};

// The model and the comparison are trusted code, left out of the coverage
// feedback and the sanitizers: only the image's own paths should steer the
// fuzzer, and their byte loops would otherwise cost most of each run.
#define KV_MODEL __attribute__((no_sanitize("coverage", "address", "undefined")))

uint8_t seenImage[kImageSize];
uint8_t seenPending[kImageSize];

KV_MODEL void Compare(uint32_t from, uint32_t count) {
  for (uint32_t o = from; o < from + count; ++o)
    if (seenImage[o] != modelImage[o] || (seenPending[o] != 0) != modelShadow[o]) __builtin_trap();
}

void Check(uint32_t from, uint32_t count) {
  ReadImageBytes(from, count, seenImage + from);
  ReadPendingWrites(from, count, seenPending + from);
  Compare(from, count);
}

void LocalWrite(Input& in) {
  if (!in.Has(4)) return;
  const uint32_t offset = (in.Byte() | uint32_t(in.Byte()) << 8 | uint32_t(in.Byte()) << 16) % kImageSize;
  uint32_t size = in.Byte() % 8 + 1;
  if (size > kImageSize - offset) size = kImageSize - offset;
  if (!in.Has(size)) return;
  const uint8_t* data = in.at;
  in.at += size;
  const int applied = ApplyLocalWrite(offset, size, data);
  const bool refused = offset == 0x330A || offset == 0x330B;  // the server's own bytes
  if (applied != (refused ? 0 : 1)) __builtin_trap();
  if (!refused)
    for (uint32_t i = 0; i < size; ++i) {
      modelImage[offset + i] = data[i];
      modelShadow[offset + i] = true;
    }
  Check(offset, size);
}

void TakeBack(Input& in) {
  if (!in.Has(4)) return;
  const uint32_t offset = (in.Byte() | uint32_t(in.Byte()) << 8 | uint32_t(in.Byte()) << 16) % kImageSize;
  uint32_t size = in.Byte() % 8 + 1;
  if (size > kImageSize - offset) size = kImageSize - offset;
  ReleaseLocalWrite(offset, size);
  if (offset != 0x330A && offset != 0x330B)  // a write there marked nothing, so nothing is taken back
    for (uint32_t i = 0; i < size; ++i) modelShadow[offset + i] = false;
  Check(offset, size);
}

KV_MODEL void ModelBlock(uint32_t base) {
  for (uint32_t i = 0; i < kDataBlockSize; ++i) {
    const uint32_t o = base + i;
    if (!modelShadow[o]) modelImage[o] = block[i];
    else if (modelImage[o] == block[i]) modelShadow[o] = false;
  }
}

void DataBlock(Input& in) {
  if (!in.Has(2) || blocksLeft-- <= 0) return;
  const uint8_t pick = in.Byte();
  const uint32_t type = pick < 250 ? kTypeFirstBlock + pick % 5 : pick;  // a few outside 6..10
  const uint32_t quarter = (type - kTypeFirstBlock) % 5;
  const uint32_t base = quarter * kDataBlockSize;
  std::memcpy(block, modelImage + base, kDataBlockSize);
  for (uint32_t edits = in.Byte() % 16; edits > 0 && in.Has(3); --edits) {
    const uint32_t position = (in.Byte() | uint32_t(in.Byte()) << 8) % kDataBlockSize;
    block[position] = in.Byte();
  }
  const bool valid = type >= kTypeFirstBlock && type <= kTypeLastBlock;
  const int applied = TakeDataBlock(type, block);
  if (applied != (valid ? 1 : 0)) __builtin_trap();
  if (valid) ModelBlock(base);
  Check(base, kDataBlockSize);
}

void UpdateFrame(Input& in) {
  if (!in.Has(1)) return;
  uint32_t count = in.Byte() % 4 + 1;
  if (!in.Has(6 * count)) count = uint32_t(in.end - in.at) / 6;
  const uint8_t* records = in.at;
  in.at += 6 * count;
  ApplyUpdateRecords(records, count);
  for (uint32_t r = 0; r < count; ++r) {
    const uint8_t* record = records + 6 * r;
    modelImage[(record[0] != 0 ? 0x10000u : 0u) + (record[2] | uint32_t(record[3]) << 8)] = record[4];
  }
  for (uint32_t r = 0; r < count; ++r) {
    const uint8_t* record = records + 6 * r;
    Check((record[0] != 0 ? 0x10000u : 0u) + (record[2] | uint32_t(record[3]) << 8), 1);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  InitOffsetImage();
  std::memset(modelImage, 0, sizeof modelImage);
  std::memset(modelShadow, 0, sizeof modelShadow);
  blocksLeft = kMaxBlocks;
  Input in{data, data + size};
  while (in.Has(1)) {
    const uint8_t op = in.Byte();
    switch (op & 3) {
      case 0: (op & 4) != 0 ? TakeBack(in) : LocalWrite(in); break;
      case 1: DataBlock(in); break;
      case 2: UpdateFrame(in); break;
      default: Check(0, kImageSize); break;
    }
  }
  Check(0, kImageSize);
  return 0;
}
