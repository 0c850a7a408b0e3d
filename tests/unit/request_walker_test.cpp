// The request walker on request areas built here, with a fake write-batch
// sender at the link seam: reads filled from the image, write batches, failed
// sends, unknown kinds and records that break a bound of the view, the image
// or the batch; which local writes keep holding the image against the server;
// and an area that the add-on changes while it is walked. The logs are real
// files in a temporary folder.
#include "ipc/request_walker.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "ipc/offset_image.h"
#include "request_walker_fixture.h"

namespace {

TEST_F(Walker, EmptyRequestCountsOnlyWithTheLinkUp) {
  const struct { uint32_t link; Outcome result; uint32_t counted; } cases[] = {{1, Outcome::kDone, 1},
                                                                           {0, Outcome::kNoLink, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.link);
    ResetAccessCounts();
    fake.up = c.link;
    Request r;
    r.End();
    const Outcome result = Walk(r);
    EXPECT_EQ(c.result, result);
    EXPECT_EQ(c.link, uint32_t(RequestMessageResult(result)));
    EXPECT_EQ(c.counted, ReadAccessCounts().requests);
    EXPECT_EQ(c.link, fake.up.load());
  }
  EXPECT_EQ(0, fake.calls);
  EXPECT_EQ("", RequestLog());
  EXPECT_TRUE(EventLines().empty());
}

TEST_F(Walker, ReadsAreFilledWhileTheLinkIsDown) {
  fake.up = 0;
  SetImage(0x0274, {0x34, 0x12});
  SetImage(0x10000, {1, 2, 3});
  SetImage(0x1FFFF, {0x7F});
  Request r;
  r.Read(0x0274, 2, 0xAAAAAAAA).Read(0x10000, 3).Read(0x0100, 0).Read(0x1FFFF, 1, 0x12345678).End();
  const Bytes before = r.area;
  EXPECT_EQ(Outcome::kNoLink, Walk(r));
  EXPECT_EQ((Bytes{0x34, 0x12}), r.ReadData(0));
  EXPECT_EQ((Bytes{1, 2, 3}), r.ReadData(1));
  EXPECT_EQ(Bytes{}, r.ReadData(2));
  EXPECT_EQ(Bytes{0x7F}, r.ReadData(3));
  for (size_t i = 0; i < 4; ++i)
    EXPECT_EQ(Get32(before, r.starts[i] + 12), Get32(r.area, r.starts[i] + 12)) << "client field of record " << i;
  EXPECT_EQ(6u, ReadAccessCounts().readBytes);
  EXPECT_EQ(0u, ReadAccessCounts().requests);
  EXPECT_EQ(0, fake.calls);
  EXPECT_TRUE(EventLines().empty());
}

TEST_F(Walker, UnknownKindStopsTheWalk) {
  const struct { const char* name; bool afterWrite; uint32_t kind; } cases[] = {
      {"kind 3 after a read", false, 3},
      {"kind 3 after a write", true, 3},
      {"kind 0x100 after a read", false, 0x100},  // not 0: the whole 32-bit field counts
      {"kind 0x10002 after a write", true, 0x10002},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Reset();
    SetImage(0x0274, {0x5A});
    Request r;
    if (c.afterWrite) r.Write(0x0100, {0xAB, 0xCD});
    else r.Read(0x0274, 1);
    r.Word(c.kind).Word(0x0274).Word(1).End();
    EXPECT_EQ(Outcome::kBadInput, Walk(r));
    EXPECT_EQ(0u, Get32(r.area, r.starts[1])) << "the bad record's kind is cleared";
    if (c.afterWrite) {
      EXPECT_EQ((Bytes{0xAB, 0xCD}), Image(0x0100, 2));
      EXPECT_EQ(0, WritePending(0x0100)) << "nothing was sent, so nothing waits for an echo";
      EXPECT_EQ(0, WritePending(0x0101));
      EXPECT_EQ(2u, ReadAccessCounts().writeBytes);
    } else {
      EXPECT_EQ(Bytes{0x5A}, r.ReadData(0));
      EXPECT_EQ(1u, ReadAccessCounts().readBytes);
    }
    EXPECT_EQ(0, fake.calls);
    EXPECT_EQ(0u, ReadAccessCounts().requests);
    EXPECT_EQ(1u, fake.up.load());
    EXPECT_EQ(Crlf("default-> FS6IPC_MESSAGE_FAILURE\n"), RequestLog());
    EXPECT_TRUE(EventLines().empty());
  }
}

TEST_F(Walker, WriteBatches) {
  const struct { const char* name; Request request; std::vector<size_t> batched; size_t batchSize; } cases[] = {
      {"one 4-byte write", Request().Write(0x0100, {1, 2, 3, 4}).End(), {0}, 20},
      {"writes of 1 and 2 bytes around a read", Request().Write(0x0200, {9}).Read(0x0300, 5).Write(0x0400, {7, 8}).End(),
       {0, 2}, 31},
      {"write kept from the image", Request().Write(0x330A, {0x55, 0x66}).End(), {0}, 18},
      {"empty write", Request().Write(0x0500, {}).End(), {0}, 16},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Reset();
    Request earlier;  // leaves a longer batch behind in the buffer
    earlier.Write(0x0800, Bytes(200, 0xFF)).End();
    Walk(earlier);
    Request r = c.request;
    EXPECT_EQ(Outcome::kDone, Walk(r));
    EXPECT_EQ(2, fake.calls);
    Bytes expected;
    for (size_t record : c.batched) {
      const Bytes rec = r.RecordBytes(record, kWriteHeadSize + Get32(r.area, r.starts[record] + 8));
      expected.insert(expected.end(), rec.begin(), rec.end());
    }
    expected.insert(expected.end(), 4, 0);
    EXPECT_EQ(c.batchSize, expected.size());
    EXPECT_EQ(expected, SentBatch());
    EXPECT_EQ(2u, ReadAccessCounts().requests);
    EXPECT_EQ((Bytes{0, 0}), Image(0x330A, 2)) << "0x330A is the server's alone";
  }
}

// The sender takes the link down when a batch fails (that, and its log line,
// is the link's part); the walker passes the result on and sends nothing more
// while the link is down.
TEST_F(Walker, AFailedSendEndsTheRequestWithItsResult) {
  const struct { const char* name; Outcome reply, result; } cases[] = {
      {"sent short", Outcome::kSentShort, Outcome::kSentShort},
      {"send error", Outcome::kNoLink, Outcome::kNoLink},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Reset();
    fake.reply = c.reply;
    fake.dropsLink = true;
    Request first, second;
    first.Write(0x0100, {1, 2}).End();
    second.Write(0x0100, {3, 4}).End();
    EXPECT_EQ(c.result, Walk(first));
    EXPECT_EQ(Outcome::kNoLink, Walk(second));
    EXPECT_EQ(1, fake.calls) << "nothing is sent once the link is down";
    EXPECT_EQ(1u, ReadAccessCounts().requests) << "the failed send is counted, the request after it not";
    EXPECT_EQ((Bytes{3, 4}), Image(0x0100, 2)) << "writes still reach the image";
    EXPECT_EQ(std::vector<std::string>{}, EventLines());
    EXPECT_EQ("", RequestLog());
  }
}

TEST_F(Walker, BoundsBreakTheWalkLikeAnUnknownKind) {
  // Every case starts with a handled read of 0x0274 and a handled write at 0x0100.
  const auto start = [] { return Request().Read(0x0274, 1).Write(0x0100, {0xAB}); };
  const int kNoKind = -1;
  const struct { const char* name; Request request; int clearedRecord; const char* line; } cases[] = {
      {"read data beyond the view", start().Read(0x0200, 8).Cut(4), 2, "mapping-> FS6IPC_MESSAGE_FAILURE Offset: 0200 Bytes: 8"},
      {"write data beyond the view", start().Write(0x0200, {1, 2, 3}).Cut(1), 2,
       "mapping-> FS6IPC_MESSAGE_FAILURE Offset: 0200 Bytes: 3"},
      {"size wraps the view", start().Head(kReadKind, 0x0200, 0xFFFFFFFF).End(), 2,
       "mapping-> FS6IPC_MESSAGE_FAILURE Offset: 0200 Bytes: 4294967295"},
      {"read head cut off", start().Word(kReadKind).Word(0x0200).Word(4), 2, "end-> FS6IPC_MESSAGE_FAILURE"},
      {"write head cut off", start().Word(kWriteKind).Word(0x0200), 2, "end-> FS6IPC_MESSAGE_FAILURE"},
      {"kind cut off", start().Word(0).Cut(1), kNoKind, "end-> FS6IPC_MESSAGE_FAILURE"},
      {"no end of list", start(), kNoKind, "end-> FS6IPC_MESSAGE_FAILURE"},
      {"empty view", Request(), kNoKind, "end-> FS6IPC_MESSAGE_FAILURE"},
      {"read beyond the image", start().Read(0x1FFFF, 2).End(), 2, "image-> FS6IPC_MESSAGE_FAILURE Offset: 1FFFF Bytes: 2"},
      {"read offset wraps", start().Read(0xFFFFFFFF, 2).End(), 2, "image-> FS6IPC_MESSAGE_FAILURE Offset: FFFFFFFF Bytes: 2"},
      {"empty read past the image", start().Read(0x20000, 0).End(), 2, "image-> FS6IPC_MESSAGE_FAILURE Offset: 20000 Bytes: 0"},
      {"write beyond the image", start().Write(0x1FFFC, Bytes(8, 1)).End(), 2,
       "image-> FS6IPC_MESSAGE_FAILURE Offset: 1FFFC Bytes: 8"},
      {"write offset wraps", start().Write(0xFFFFFFF0, Bytes(16, 1)).End(), 2,
       "image-> FS6IPC_MESSAGE_FAILURE Offset: FFFFFFF0 Bytes: 16"},
      {"empty write past the image", start().Write(0x20000, {}).End(), 2,
       "image-> FS6IPC_MESSAGE_FAILURE Offset: 20000 Bytes: 0"},
      {"batch overflows", start().Write(0x1000, Bytes(kBatchRecordLimit - 2 * kWriteHeadSize, 2)).End(), 2,
       "batch-> FS6IPC_MESSAGE_FAILURE Offset: 1000 Bytes: 32484"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Reset();
    SetImage(0x0274, {0x5A});
    Request r = c.request;
    const Bytes before = r.area;
    EXPECT_EQ(Outcome::kBadInput, Walk(r));
    Bytes expected = before;
    if (!r.starts.empty()) {  // the two records in front stay handled
      expected[kReadHeadSize] = 0x5A;
      EXPECT_EQ((Bytes{0xAB}), Image(0x0100, 1));
      EXPECT_EQ(1u, ReadAccessCounts().readBytes);
      EXPECT_EQ(1u, ReadAccessCounts().writeBytes);
    }
    if (c.clearedRecord != kNoKind) std::fill_n(expected.begin() + r.starts[c.clearedRecord], 4, 0);
    EXPECT_EQ(expected, r.area) << "only the handled read's data and the bad kind change";
    EXPECT_EQ(Bytes(16, 0), Image(0x0200, 16));
    EXPECT_EQ(Bytes(16, 0), Image(0x1FFF0, 16));
    EXPECT_EQ(Bytes(16, 0), Image(0x1000, 16));
    EXPECT_EQ(0, fake.calls);
    EXPECT_EQ(0u, ReadAccessCounts().requests);
    EXPECT_EQ(1u, fake.up.load());
    EXPECT_EQ(Crlf(std::string(c.line) + "\n"), RequestLog());
  }
}

TEST_F(Walker, RecordsRightAtTheLimitsAreServed) {
  const struct { const char* name; Request request; uint32_t batchSize; } cases[] = {
      {"read of the image's last byte", Request().Read(0x1FFFF, 1).End(), 0},
      {"read of the whole image", Request().Read(0, kImageSize).End(), 0},
      {"write of the image's last byte", Request().Write(0x1FFFF, {9}).End(), 17},
      {"write records filling the batch",
       Request().Write(0x1000, Bytes(100, 1)).Write(0x2000, Bytes(kBatchRecordLimit - 2 * kWriteHeadSize - 100, 2)).End(),
       kBatchBufferSize},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Reset();
    Request r = c.request;
    EXPECT_EQ(Outcome::kDone, Walk(r));
    EXPECT_EQ(c.batchSize != 0 ? 1 : 0, fake.calls);
    EXPECT_EQ(c.batchSize, fake.size);
    EXPECT_EQ("", RequestLog());
  }
}

// A data block of type 6 that carries value at every byte, as the server
// sends it when it holds value everywhere in 0x0000-0x3FFF.
void ServerBlock(uint8_t value) {
  const Bytes block(kDataBlockSize, value);
  ASSERT_EQ(1, TakeDataBlock(6, block.data()));
}

// A write the server never got must not pin the image: unless the request's
// batch went out whole, the next block brings the server's value back. Until
// then the image shows the local write.
TEST_F(Walker, OnlyAWriteSentWholeHoldsTheImageAgainstTheServer) {
  constexpr Outcome kDone = Outcome::kDone, kShort = Outcome::kSentShort, kNoLink = Outcome::kNoLink;
  const struct { const char* name; uint32_t link; Outcome reply; bool badAfter; Outcome result; bool held; } cases[] = {
      {"sent whole", 1, kDone, false, kDone, true},
      {"link down", 0, kDone, false, kNoLink, false},
      {"sent short", 1, kShort, false, kShort, false},
      {"send error", 1, kNoLink, false, kNoLink, false},
      {"a later record of unknown kind", 1, kDone, true, Outcome::kBadInput, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Reset();
    ServerBlock(0x11);
    fake.up = c.link;
    fake.reply = c.reply;
    fake.dropsLink = c.reply != Outcome::kDone;
    Request r;
    r.Write(0x0100, {0x22, 0x22}).Write(0x3FFF, {0x22});
    if (c.badAfter) r.Word(3).Word(0).Word(0);
    r.End();
    EXPECT_EQ(c.result, Walk(r));
    EXPECT_EQ((Bytes{0x22, 0x22}), Image(0x0100, 2)) << "the local write shows until the server speaks";
    EXPECT_EQ(c.held ? 1 : 0, WritePending(0x0100));
    EXPECT_EQ(c.held ? 1 : 0, WritePending(0x3FFF));
    ServerBlock(0x33);  // the server holds 0x33 there: it never got the write, or took another since
    ServerBlock(0x33);
    const Bytes expected = c.held ? Bytes{0x22, 0x22} : Bytes{0x33, 0x33};
    EXPECT_EQ(expected, Image(0x0100, 2));
    EXPECT_EQ(expected[0], Image(0x3FFF, 1)[0]);
  }
}

TEST_F(Walker, AnUnsentWriteTakesBackOnlyWhatItMarked) {
  // An unsent write over a sent one that waits for its echo: the server has
  // the sent value, and the image follows the server again.
  Request sent, unsent;
  sent.Write(0x0200, {0x44}).End();
  unsent.Write(0x0200, {0x55}).End();
  ServerBlock(0x00);
  EXPECT_EQ(Outcome::kDone, Walk(sent));
  fake.up = 0;
  EXPECT_EQ(Outcome::kNoLink, Walk(unsent));
  EXPECT_EQ(0x55, Image(0x0200, 1)[0]);
  ServerBlock(0x44);
  EXPECT_EQ(0x44, Image(0x0200, 1)[0]);

  // An unsent write at 0x330A changed nothing locally, so it leaves the marks
  // that a sent write over 0x3308-0x330B set there.
  Reset();
  Request wide, server;
  wide.Write(0x3308, {1, 2, 3, 4}).End();
  server.Write(0x330A, {9, 9}).End();
  EXPECT_EQ(Outcome::kDone, Walk(wide));
  fake.up = 0;
  EXPECT_EQ(Outcome::kNoLink, Walk(server));
  EXPECT_EQ((Bytes{1, 1, 1, 1}), (Bytes{uint8_t(WritePending(0x3308)), uint8_t(WritePending(0x3309)),
                                        uint8_t(WritePending(0x330A)), uint8_t(WritePending(0x330B))}));
  ServerBlock(0x66);
  EXPECT_EQ((Bytes{1, 2, 3, 4}), Image(0x3308, 4));
}

// Another thread of the add-on (or another process with the same mapping)
// rewrites a write record's offset and data while the walker runs. Whatever
// it catches, the server must get a record the walker accepted, with the very
// bytes the image got.
TEST_F(Walker, AnAreaChangedDuringTheWalkIsSentAsItWasApplied) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the race with the add-on's thread is what this case is about";
#endif
  constexpr uint32_t kGood = 0x1000, kBad = 0x1FFF0, kSize = 4096;  // kBad + kSize lies past the image
  constexpr int kRacedWalks = 2000;
  alignas(4) static uint8_t area[kWriteHeadSize + kSize + 4];
  Bytes head;
  Put32(head, kWriteKind), Put32(head, kGood), Put32(head, kSize);
  std::copy(head.begin(), head.end(), area);
  std::fill_n(area + kWriteHeadSize, kSize, 0xA5);
  std::fill_n(area + kWriteHeadSize + kSize, 4, 0);

  std::atomic<bool> stop{false};
  std::atomic<uint32_t> flips{0};
  std::thread addOn([&] {
    // The offset field changes with one store, so the walker sees one value or the other.
    uint32_t fieldValues[2];
    for (int k = 0; k < 2; ++k) {
      Bytes le;
      Put32(le, k == 0 ? kGood : kBad);
      std::memcpy(&fieldValues[k], le.data(), 4);
    }
    volatile uint32_t* offsetField = reinterpret_cast<volatile uint32_t*>(area + 4);
    for (uint32_t i = 0; !stop.load(std::memory_order_relaxed); ++i) {
      *offsetField = fieldValues[i & 1];
      std::memset(area + kWriteHeadSize, (i & 1) ? 0x5A : 0xA5, kSize);
      flips.store(i + 1, std::memory_order_relaxed);
    }
  });
  // Walks until enough of them overlapped a change by the add-on's thread, or
  // for at most two seconds on a machine too busy to run both threads at once.
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  int accepted = 0, refused = 0, raced = 0;
  for (int walk = 0; raced < kRacedWalks && !HasFailure() && (walk % 1024 != 0 || std::chrono::steady_clock::now() < until);
       ++walk) {
    std::copy(head.begin(), head.begin() + 4, area);  // a refused record's kind was cleared
    fake.size = 0;
    const uint32_t flipsBefore = flips.load(std::memory_order_relaxed);
    const Outcome result = WalkRequest(area, sizeof area, fake);
    if (flips.load(std::memory_order_relaxed) != flipsBefore) ++raced;
    if (result == Outcome::kBadInput) {
      ++refused;
      continue;
    }
    ++accepted;
    const Bytes sent = SentBatch();
    EXPECT_EQ(Outcome::kDone, result);
    if (sent.size() != kWriteHeadSize + kSize + 4) {
      ADD_FAILURE() << "a batch of " << sent.size() << " bytes";
      break;
    }
    // A torn offset (some bytes old, some new) is the add-on's own doing; an
    // offset the walker would refuse, or bytes the image did not get, are not.
    const uint32_t offset = Get32(sent, 4);
    EXPECT_EQ(kWriteKind, Get32(sent, 0));
    EXPECT_EQ(kSize, Get32(sent, 8));
    if (offset > kImageSize - kSize) {
      ADD_FAILURE() << "the server got offset " << offset << ", which the walker refuses";
      break;
    }
    EXPECT_TRUE(Image(offset, kSize) == Bytes(sent.begin() + kWriteHeadSize, sent.end() - 4))
        << "the image and the server got different bytes (walk " << walk << ")";
  }
  stop = true;
  addOn.join();
  if (!HasFailure()) {
    EXPECT_GT(raced, 0) << "the add-on's thread never ran during the walks";
    EXPECT_GT(accepted, 0);
    EXPECT_GT(refused, 0);
  }
}

}  // namespace
