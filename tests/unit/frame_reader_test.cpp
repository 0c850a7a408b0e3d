// The TCP stream reassembler: frames split over receives, several frames in
// one receive, bad frames reported and skipped with the reader back in step
// at the next good frame, and a long stream that makes the buffer wrap.
#include "link/frame_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// A frame whose payload bytes are seed, seed + 1, ... so that a payload that
// comes out shifted or mixed with another is seen.
Bytes MakeFrame(uint32_t type, uint32_t tag, uint32_t n, uint8_t seed) {
  Bytes payload(n), out(n + kFrameOverhead);
  for (uint32_t i = 0; i < n; ++i) payload[i] = uint8_t(seed + i);
  BuildFrame(type, tag, payload.data(), n, out.data(), uint32_t(out.size()));
  return out;
}

Bytes Block(uint32_t type, uint8_t seed) { return MakeFrame(type, kTagBlock1A2B, 16384, seed); }
Bytes Small(uint8_t seed) { return MakeFrame(kTypeUpdate, kTagFADE, 12, seed); }

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

Bytes WithFootSize(Bytes b, int delta) {
  const size_t at = b.size() - 4;
  const uint32_t v = uint32_t(b[at] | b[at + 1] << 8) + uint32_t(delta);
  b[at] = uint8_t(v);
  b[at + 1] = uint8_t(v >> 8);
  return b;
}

Bytes WithTag(Bytes b, uint32_t tag) {
  b[b.size() - 2] = uint8_t(tag);
  b[b.size() - 1] = uint8_t(tag >> 8);
  return b;
}

struct Collected {
  std::vector<uint32_t> types;
  std::vector<uint32_t> sizes;
  int badPayloads = 0;  // frames whose payload is not the seed sequence
  std::vector<BadFrame> bad;
};

void Collect(void* context, const BadFrame& bad) { static_cast<Collected*>(context)->bad.push_back(bad); }

// Feeds the receives one after another, draining the reader after each, as
// the TCP receiver does.
Collected FeedReceives(const std::vector<Bytes>& receives) {
  auto reader = std::make_unique<FrameReader>();
  Collected got;
  ResetFrameReader(*reader, kTcpFrames, Collect, &got);
  for (const Bytes& r : receives) {
    EXPECT_LE(r.size(), kReceiveBufferSize);
    EXPECT_EQ(r.size(), FeedFrameReader(*reader, r.data(), uint32_t(r.size())));
    Frame f{};
    while (NextFrame(*reader, &f) == NextFrameResult::kFrame) {
      got.types.push_back(f.type);
      got.sizes.push_back(f.size);
      for (uint32_t i = 1; i < f.size; ++i)
        if (uint8_t(f.payload[i] - f.payload[i - 1]) != 1) {
          ++got.badPayloads;
          break;
        }
    }
  }
  return got;
}

// The stream cut into receives of piece bytes (0: as few receives as possible).
std::vector<Bytes> Pieces(const Bytes& stream, size_t piece) {
  const size_t step = piece == 0 ? kReceiveBufferSize : piece;
  std::vector<Bytes> out;
  for (size_t at = 0; at < stream.size(); at += step)
    out.emplace_back(stream.begin() + long(at), stream.begin() + long(std::min(stream.size(), at + step)));
  return out;
}

TEST(FrameReader, StreamCases) {
  const struct {
    const char* name;
    Bytes in;
    std::vector<uint32_t> types;
    size_t bad;
  } cases[] = {
      {"one data block", Block(6, 1), {6}, 0},
      {"empty payload", MakeFrame(9, kTagFADE, 0, 0), {9}, 0},
      {"two frames back to back", Cat({Block(7, 2), Small(3)}), {7, kTypeUpdate}, 0},
      {"five blocks of every type", Cat({Block(6, 1), Block(7, 2), Block(8, 3), Block(9, 4), Block(10, 5)}),
       {6, 7, 8, 9, 10}, 0},
      {"the largest frame", MakeFrame(8, kTagFADE, kMaxFramePayload, 9), {8}, 0},
      {"footer size one more", WithFootSize(Block(6, 1), +1), {}, 1},
      {"footer size one less", WithFootSize(Small(1), -1), {}, 1},
      {"beacon tag on TCP", WithTag(Block(6, 1), kTagBeacon), {}, 1},
      {"good frames before a bad one", Cat({Small(1), Small(2), WithTag(Small(3), 0)}), {kTypeUpdate, kTypeUpdate},
       1},
  };
  for (const auto& c : cases)
    for (size_t piece : {size_t(0), size_t(1), size_t(7), size_t(4096), size_t(16393)}) {
      SCOPED_TRACE(testing::Message() << c.name << ", receives of " << piece);
      const Collected got = FeedReceives(Pieces(c.in, piece));
      EXPECT_EQ(c.types, got.types);
      EXPECT_EQ(0, got.badPayloads);
      EXPECT_EQ(c.bad, got.bad.size());
    }
}

// A receiver that reads no more than FrameReaderWanted takes each frame in
// receives of its own: no receive holds bytes of two frames.
TEST(FrameReader, WantedBytesNeverReachIntoTheNextFrame) {
  const Bytes stream = Cat({Small(1), Block(6, 2), MakeFrame(kTypeUpdate, kTagFADE, 0, 3), Small(4)});
  static FrameReader r;
  ResetFrameReader(r, kTcpFrames, nullptr, nullptr);
  size_t at = 0;
  int frames = 0;
  while (at < stream.size()) {
    const uint32_t wanted = FrameReaderWanted(r);
    ASSERT_GT(wanted, 0u);
    at += FeedFrameReader(r, stream.data() + at, std::min<uint32_t>(wanted, uint32_t(stream.size() - at)));
    Frame f{};
    const NextFrameResult got = NextFrame(r, &f);
    if (got == NextFrameResult::kFrame) {
      ++frames;
      EXPECT_EQ(NextFrameResult::kNeedMore, NextFrame(r, &f)) << "two frames in one receive";
    }
  }
  EXPECT_EQ(4, frames);
}

TEST(FrameReader, BadFrameIsReportedWithItsFacts) {
  const Collected got = FeedReceives({WithFootSize(Block(6, 1), +1)});
  ASSERT_EQ(1u, got.bad.size());
  EXPECT_EQ(kFrameBadFooter, got.bad[0].check);
  EXPECT_EQ(16384u, got.bad[0].headSize);
  EXPECT_EQ(16385u, got.bad[0].footSize);
  EXPECT_EQ(kTagBlock1A2B, got.bad[0].footTag);
}

Bytes WithHeadSize(Bytes b, uint32_t size) {
  b[2] = uint8_t(size);
  b[3] = uint8_t(size >> 8);
  return b;
}

// A bad frame costs only itself: every good frame behind it comes out, in
// whatever receives the stream arrives, with one report. (A head size that
// claims more than is there holds the frames behind it until that many
// bytes have come: the stream goes on for more than the largest frame.)
TEST(FrameReader, BackInStepAfterABadFrame) {
  const Bytes block = Block(7, 2);
  const struct {
    const char* name;
    Bytes bad;
  } cases[] = {
      {"a wrong footer tag", WithTag(Block(6, 1), 0)},
      {"a footer size one more", WithFootSize(Block(6, 1), +1)},
      {"a head size inflated", WithHeadSize(Small(1), 0x0100 + 12)},
      {"a head size that claims the largest frame", WithHeadSize(Small(1), 0xFFFF)},
      {"a head size deflated", WithHeadSize(Block(6, 1), 100)},
      {"a frame cut short", Bytes(block.begin(), block.begin() + 9000)},
      {"a header alone", Bytes(block.begin(), block.begin() + 6)},
  };
  for (const auto& c : cases)
    for (size_t piece : {size_t(0), size_t(7), size_t(997), size_t(16394)}) {
      SCOPED_TRACE(testing::Message() << c.name << ", receives of " << piece);
      const Bytes stream = Cat({Block(6, 3), Small(4), c.bad, Block(8, 5), Small(6), Block(9, 7), Block(10, 8),
                                Block(6, 9), Block(7, 10)});
      const Collected got = FeedReceives(Pieces(stream, piece));
      EXPECT_EQ((std::vector<uint32_t>{6, kTypeUpdate, 8, kTypeUpdate, 9, 10, 6, 7}), got.types);
      EXPECT_EQ(0, got.badPayloads);
      EXPECT_EQ(1u, got.bad.size());
    }
}

// The same reader goes on over more bad frames, each reported once.
TEST(FrameReader, EachBadFrameIsReportedOnce) {
  const Bytes stream =
      Cat({WithTag(Small(1), 0), Small(2), WithFootSize(Block(6, 3), -1), Block(7, 4), WithTag(Small(5), 1), Small(6)});
  const Collected got = FeedReceives(Pieces(stream, 4096));
  EXPECT_EQ((std::vector<uint32_t>{kTypeUpdate, 7, kTypeUpdate}), got.types);
  EXPECT_EQ(3u, got.bad.size());
}

TEST(FrameReader, LongStreamWrapsTheBufferWithoutLoss) {
  Bytes stream;
  std::vector<uint32_t> types;
  for (int i = 0; i < 120; ++i) {
    const uint32_t type = kTypeFirstBlock + uint32_t(i % 5);
    for (const Bytes& frame : {Block(type, uint8_t(i)), Small(uint8_t(i * 3))})
      stream.insert(stream.end(), frame.begin(), frame.end());
    types.push_back(type);
    types.push_back(kTypeUpdate);
  }
  for (size_t piece : {size_t(9973), size_t(65535), size_t(65521)}) {
    SCOPED_TRACE(piece);
    const Collected got = FeedReceives(Pieces(stream, piece));
    EXPECT_EQ(types, got.types);
    EXPECT_EQ(0, got.badPayloads);
    EXPECT_TRUE(got.bad.empty());
  }
}

}  // namespace
