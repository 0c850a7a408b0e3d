// The offset image rules: local writes against data blocks (the write shadow),
// update records, the ownership map, where each block type lands, the link
// activity count, and spans read as one moment.
#include "ipc/offset_image.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

class OffsetImage : public ::testing::Test {
 protected:
  void SetUp() override { InitOffsetImage(); }
};

// A data block payload: every byte fill, with the given bytes at image offsets.
Bytes Block(uint32_t type, uint8_t fill, std::initializer_list<std::pair<uint32_t, uint8_t>> at = {}) {
  Bytes b(kDataBlockSize, fill);
  const uint32_t base = (type - kTypeFirstBlock) * kDataBlockSize;
  for (auto [offset, value] : at) b.at(offset - base) = value;
  return b;
}

void Send(uint32_t type, const Bytes& payload) { ASSERT_EQ(1, TakeDataBlock(type, payload.data())); }

Bytes Read(uint32_t offset, uint32_t size) {
  Bytes b(size);
  ReadImageBytes(offset, size, b.data());
  return b;
}

Bytes Update(uint8_t region, uint16_t offset, uint8_t value) {
  return {region, 0xEE, uint8_t(offset), uint8_t(offset >> 8), value, 0xEE};
}

TEST_F(OffsetImage, LocalWriteIsHeldUntilTheServerEchoesIt) {
  const uint8_t written[] = {0xAB, 0xCD};
  ASSERT_EQ(1, ApplyLocalWrite(0x0100, 2, written));
  EXPECT_EQ((Bytes{0xAB, 0xCD}), Read(0x0100, 2));

  Send(6, Block(6, 0x00));  // the old values: held
  Send(6, Block(6, 0x77));  // other values: held
  EXPECT_EQ((Bytes{0xAB, 0xCD}), Read(0x0100, 2));
  EXPECT_EQ(0x77, Read(0x00FF, 1)[0]) << "unmarked neighbours follow the block";

  Send(6, Block(6, 0x77, {{0x0100, 0xAB}}));  // echoes the first byte only
  EXPECT_EQ(0, WritePending(0x0100));
  EXPECT_EQ(1, WritePending(0x0101));

  Send(6, Block(6, 0x11, {{0x0101, 0xCD}}));  // first byte follows the server now; second released
  EXPECT_EQ((Bytes{0x11, 0xCD}), Read(0x0100, 2));
  EXPECT_EQ(0, WritePending(0x0101));

  Send(6, Block(6, 0x22));
  EXPECT_EQ((Bytes{0x22, 0x22}), Read(0x0100, 2));
}

TEST_F(OffsetImage, WriteAfterReleaseIsHeldAgain) {
  const uint8_t one[] = {0x01}, two[] = {0x02};
  ApplyLocalWrite(0x4100, 1, one);
  Send(7, Block(7, 0x01));  // releases
  ApplyLocalWrite(0x4100, 1, two);
  Send(7, Block(7, 0x03));
  EXPECT_EQ(0x02, Read(0x4100, 1)[0]);
  ApplyLocalWrite(0x4100, 1, two);  // marking a marked byte again changes nothing
  Send(7, Block(7, 0x02));
  Send(7, Block(7, 0x04));
  EXPECT_EQ(0x04, Read(0x4100, 1)[0]);
}

TEST_F(OffsetImage, UpdateRecordsOverwriteHeldBytesAndLeaveTheShadow) {
  const uint8_t written[] = {0x55};
  ApplyLocalWrite(0x0274, 1, written);
  const Bytes records = Update(0, 0x0274, 0x66);
  ApplyUpdateRecords(records.data(), 1);
  EXPECT_EQ(0x66, Read(0x0274, 1)[0]);
  EXPECT_EQ(1, WritePending(0x0274));

  Send(6, Block(6, 0x99));  // still held, now against the updated value
  EXPECT_EQ(0x66, Read(0x0274, 1)[0]);
  Send(6, Block(6, 0x66));  // agrees with the byte: released
  Send(6, Block(6, 0x99));
  EXPECT_EQ(0x99, Read(0x0274, 1)[0]);
}

TEST_F(OffsetImage, UpdateRecordRegions) {
  const struct { uint8_t region; uint16_t offset; uint32_t imageOffset; } cases[] = {
      {0, 0x0274, 0x0274}, {1, 0x0274, 0x10274}, {2, 0x0274, 0x10274},
      {0xFF, 0xFFFF, 0x1FFFF}, {0, 0xFFFF, 0xFFFF}, {1, 0x0000, 0x10000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.imageOffset);
    InitOffsetImage();
    // Two records in one frame: the first sets a marker, the second the byte under test.
    Bytes records = Update(0, 0x0001, 0x42);
    const Bytes second = Update(c.region, c.offset, 0xA5);
    records.insert(records.end(), second.begin(), second.end());
    ApplyUpdateRecords(records.data(), 2);
    EXPECT_EQ(0xA5, Read(c.imageOffset, 1)[0]);
    EXPECT_EQ(0x42, Read(0x0001, 1)[0]);
    Bytes all = Read(0, kImageSize);
    all[c.imageOffset] = 0;
    all[0x0001] = 0;
    EXPECT_EQ(Bytes(kImageSize, 0), all) << "no other byte changes";
  }
}

TEST_F(OffsetImage, OwnershipIsConsultedAtTheFirstOffsetOnly) {
  const uint8_t data[] = {1, 2, 3, 4};
  const struct { uint32_t offset; uint32_t size; int applied; } cases[] = {
      {0x3308, 4, 1},  // covers 0x330A-0x330B, applied whole
      {0x3309, 3, 1},
      {0x330A, 2, 0},
      {0x330A, 1, 0},
      {0x330B, 1, 0},
      {0x330B, 4, 0},
      {0x330C, 1, 1},
      {0x3309, 1, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.offset << "/" << c.size);
    InitOffsetImage();
    EXPECT_EQ(c.applied, ApplyLocalWrite(c.offset, c.size, data));
    const Bytes expected = c.applied ? Bytes(data, data + c.size) : Bytes(c.size, 0);
    EXPECT_EQ(expected, Read(c.offset, c.size));
    EXPECT_EQ(c.applied ? 1 : 0, WritePending(c.offset));
  }
}

TEST_F(OffsetImage, StartStateRefusesOnlyTheTwoServerOffsets) {
  EXPECT_EQ(Bytes(kImageSize, 0), Read(0, kImageSize));
  std::vector<uint32_t> refused;
  const uint8_t value = 0x5A;
  for (uint32_t o = 0; o < kImageSize; ++o)
    if (ApplyLocalWrite(o, 1, &value) == 0) refused.push_back(o);
  EXPECT_EQ((std::vector<uint32_t>{0x330A, 0x330B}), refused);
  Bytes expected(kImageSize, 0x5A);
  expected[0x330A] = expected[0x330B] = 0;
  EXPECT_EQ(expected, Read(0, kImageSize));
}

TEST_F(OffsetImage, BlockTypesLandOnTheirQuarter) {
  for (uint32_t type = kTypeFirstBlock; type <= kTypeLastBlock; ++type) {
    SCOPED_TRACE(type);
    InitOffsetImage();
    Bytes payload(kDataBlockSize);
    for (uint32_t i = 0; i < kDataBlockSize; ++i) payload[i] = uint8_t(i * 7 + type);
    Send(type, payload);
    const uint32_t base = (type - kTypeFirstBlock) * kDataBlockSize;
    Bytes expected(kImageSize, 0);
    std::copy(payload.begin(), payload.end(), expected.begin() + base);
    EXPECT_EQ(expected, Read(0, kImageSize));
  }
  InitOffsetImage();
  const Bytes payload(kDataBlockSize, 0xEE);
  for (uint32_t type : {0u, 5u, 11u, 18u, 103u}) EXPECT_EQ(0, TakeDataBlock(type, payload.data()));
  EXPECT_EQ(Bytes(kImageSize, 0), Read(0, kImageSize)) << "a type outside 6..10 changes nothing";
}

TEST_F(OffsetImage, BlockSeesOnlyTheShadowOfItsOwnQuarter) {
  // Marks just outside quarter 0x4000-0x7FFF must not hold bytes of a type 7
  // block; marks inside hold exactly their bytes.
  const struct { std::vector<uint32_t> marks; std::vector<uint32_t> heldIn7; } cases[] = {
      {{0x3FFF}, {}},
      {{0x8000}, {}},
      {{0x3FFF, 0x8000, 0x14000}, {}},
      {{0x4000}, {0x4000}},
      {{0x7FFF, 0x8000}, {0x7FFF}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.marks.size());
    InitOffsetImage();
    const uint8_t mine = 0xC3;
    for (uint32_t o : c.marks) ApplyLocalWrite(o, 1, &mine);
    Send(7, Block(7, 0x3C));
    for (uint32_t o = 0x4000; o < 0x8000; ++o) {
      const bool held = std::find(c.heldIn7.begin(), c.heldIn7.end(), o) != c.heldIn7.end();
      ASSERT_EQ(held ? 0xC3 : 0x3C, Read(o, 1)[0]) << std::hex << o;
    }
    for (uint32_t o : c.marks) {
      if (o < 0x4000 || o >= 0x8000) {
        EXPECT_EQ(0xC3, Read(o, 1)[0]);
      }
    }
  }
}

TEST_F(OffsetImage, WriteAcrossAQuarterBoundaryIsHeldByBothBlocks) {
  const uint8_t data[] = {1, 2, 3, 4};
  ApplyLocalWrite(0xFFFE, 4, data);  // 0xFFFE-0xFFFF in type 9, 0x10000-0x10001 in type 10
  Send(9, Block(9, 0xF0));
  Send(10, Block(10, 0xF0));
  EXPECT_EQ((Bytes{1, 2, 3, 4}), Read(0xFFFE, 4));
  Send(10, Block(10, 0xF0, {{0x10000, 3}, {0x10001, 4}}));
  Send(10, Block(10, 0xF0));
  EXPECT_EQ((Bytes{1, 2, 0xF0, 0xF0}), Read(0xFFFE, 4));
}

TEST_F(OffsetImage, LinkActivityAndSample) {
  const uint8_t held[] = {0x12};
  ApplyLocalWrite(0x0274, 1, held);
  Send(6, Block(6, 0x34, {{0x0275, 0x56}, {0x337E, 0x9A}, {0x337F, 0xBC}}));  // every marked byte held back
  AddLinkActivity(1);
  LinkSample s = SampleLink();
  EXPECT_EQ(kBlockActivity + 1, s.activity);
  EXPECT_EQ(0x5612, s.dataRateScale);
  EXPECT_EQ(0xBC9A, s.dataRateCount);
  ResetLinkActivity();
  EXPECT_EQ(0u, SampleLink().activity);

  // Every addition counts, also from several receivers at once.
  constexpr int kThreads = 4, kAdds = 20000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([] {
      for (int i = 0; i < kAdds; ++i) AddLinkActivity(1);
    });
  const Bytes block = Block(8, 0);
  for (int i = 0; i < 10; ++i) TakeDataBlock(8, block.data());
  for (auto& th : threads) th.join();
  EXPECT_EQ(uint32_t(kThreads * kAdds) + 10 * kBlockActivity, SampleLink().activity);
}

}  // namespace

namespace {

// A write the server never applies: the blocks that contradict it win once
// kWriteEchoLimitMs has passed since the write; an echo or a new write before
// that behaves as ever.
TEST_F(OffsetImage, WriteMarkEndsWhenBlocksContradictItTooLong) {
  constexpr uint64_t t0 = 0xFFFFF000ull;  // the 32-bit stamp wraps during the case
  const uint8_t mine = 0xAB;
  const struct {
    const char* name;
    std::vector<std::pair<uint64_t, uint8_t>> blocks;  // (time after the write, value at 0x0100)
    uint64_t rewriteAt;                                 // a second write of the same byte (0: none)
    uint8_t value;
    int pending;
  } cases[] = {
      {"contradicted, inside the limit", {{100, 0x11}, {kWriteEchoLimitMs - 1, 0x11}}, 0, mine, 1},
      {"contradicted up to the limit", {{100, 0x11}, {kWriteEchoLimitMs, 0x22}}, 0, 0x22, 0},
      {"first block long after the write", {{3 * kWriteEchoLimitMs, 0x33}}, 0, 0x33, 0},
      {"echoed before the limit", {{100, mine}, {kWriteEchoLimitMs + 1, 0x44}}, 0, 0x44, 0},
      {"written again: the wait starts over", {{100, 0x11}, {kWriteEchoLimitMs + 1, 0x11}}, 2000, mine, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    InitOffsetImage();
    ASSERT_EQ(1, ApplyLocalWrite(0x0100, 1, &mine, t0));
    bool rewritten = c.rewriteAt == 0;
    for (auto [after, value] : c.blocks) {
      if (!rewritten && after > c.rewriteAt) rewritten = ApplyLocalWrite(0x0100, 1, &mine, t0 + c.rewriteAt);
      ASSERT_EQ(1, TakeDataBlock(6, Block(6, 0x00, {{0x0100, value}}).data(), t0 + after));
    }
    EXPECT_EQ(c.value, Read(0x0100, 1)[0]);
    EXPECT_EQ(c.pending, WritePending(0x0100));
  }
}

TEST_F(OffsetImage, ClearedMarksLetTheNextBlockThrough) {
  const uint8_t mine[] = {1, 2, 3, 4};
  ApplyLocalWrite(0x3FFE, 4, mine);  // across the quarters of types 6 and 7
  ApplyLocalWrite(0x8000, 1, mine);
  ClearWriteMarks();
  uint8_t pending[4];
  ReadPendingWrites(0x3FFE, 4, pending);
  EXPECT_EQ((Bytes{0, 0, 0, 0}), Bytes(pending, pending + 4));
  EXPECT_EQ((Bytes{1, 2, 3, 4}), Read(0x3FFE, 4)) << "the image keeps the bytes until a block comes";
  for (uint32_t type : {6u, 7u, 8u}) Send(type, Block(type, 0x5A));
  EXPECT_EQ((Bytes{0x5A, 0x5A, 0x5A, 0x5A}), Read(0x3FFE, 4));
  EXPECT_EQ(0x5A, Read(0x8000, 1)[0]);
  // The per-quarter counts are back to 0: a new mark is held, and its echo clears it.
  ApplyLocalWrite(0x8000, 1, mine);
  Send(8, Block(8, 0x5A));
  EXPECT_EQ(1, Read(0x8000, 1)[0]);
  Send(8, Block(8, 0x5A, {{0x8000, 1}}));
  EXPECT_EQ(0, WritePending(0x8000));
}

}  // namespace

// Spans read at once land at their places and are one moment's bytes: two
// fields of one block never show two different blocks.
TEST_F(OffsetImage, SpansAreReadAsOneMoment) {
  Send(6, Block(6, 0x00, {{0x0010, 0x11}, {0x0011, 0x22}, {0x0F00, 0x33}}));
  const ImageSpan spans[] = {{0x0F00, 1, 0}, {0x0010, 2, 1}};
  uint8_t got[3] = {};
  ReadImageSpans(spans, 2, got);
  EXPECT_EQ((Bytes{0x33, 0x11, 0x22}), Bytes(got, got + 3));

  Send(6, Block(6, 0x00));
  std::atomic<bool> sending{true};
  std::thread server([&] {
    for (uint8_t fill = 1; sending.load(); ++fill) Send(6, Block(6, fill));
  });
  int torn = 0;
  for (int i = 0; i < 20000; ++i) {
    ReadImageSpans(spans, 2, got);
    torn += got[0] != got[1] || got[1] != got[2];
  }
  sending = false;
  server.join();
  EXPECT_EQ(0, torn);
}
