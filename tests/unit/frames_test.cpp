// Frames: validation of received bytes per receiver, the write batch frame
// byte for byte, and the invalid-frame log lines in the log's exact words.
#include "link/frames.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "link_log_capture.h"

namespace {

// A case whose bytes are a valid frame (the others name their FrameFault).
constexpr int kFrameValid = 1;

using Bytes = std::vector<uint8_t>;

Bytes Make(uint32_t type, uint32_t tag, uint32_t n, uint8_t fill = 0x5A) {
  Bytes payload(n, fill), out(n + kFrameOverhead);
  EXPECT_EQ(out.size(), BuildFrame(type, tag, payload.data(), n, out.data(), uint32_t(out.size())));
  return out;
}

Bytes WithByte(Bytes b, size_t at, uint8_t v) {
  b[at] = v;
  return b;
}

Bytes Cut(Bytes b, size_t n) {
  b.resize(n);
  return b;
}

Bytes Plus(Bytes b, const Bytes& tail) {
  b.insert(b.end(), tail.begin(), tail.end());
  return b;
}

TEST(ValidateFrame, Cases) {
  const Bytes update0 = Make(kTypeUpdate, kTagFADE, 0);
  const Bytes update12 = Make(kTypeUpdate, kTagFADE, 12);
  const Bytes block = Make(8, kTagFADE, 16384);
  const struct {
    const char* name;
    Bytes bytes;
    const FrameReceiver* who;
    int check;
    uint32_t type, size;                       // when valid
    int received;                              // when invalid: the facts logged
    uint32_t headSize, footTag, footSize;
  } cases[] = {
      {"10-byte frame, N = 0, right tag", update0, &kUnicastFrames, kFrameValid, kTypeUpdate, 0, 0, 0, 0, 0},
      {"update with two records", update12, &kUnicastFrames, kFrameValid, kTypeUpdate, 12, 0, 0, 0, 0},
      {"trailing bytes after a good footer", Plus(update12, {1, 2, 3}), &kUnicastFrames, kFrameValid,
       kTypeUpdate, 12, 0, 0, 0, 0},
      {"9 bytes: short, head->Size received", Cut(update12, 9), &kUnicastFrames, kFrameShort, 0, 0, 9, 12, 0, 0},
      {"3 bytes: half of head->Size", Cut(update12, 3), &kUnicastFrames, kFrameShort, 0, 0, 3, 12, 0, 0},
      {"2 bytes: no head->Size", Cut(WithByte(update12, 3, 0x44), 2), &kUnicastFrames, kFrameShort, 0, 0, 2, 0,
       0, 0},
      {"empty datagram", {}, &kMulticastFrames, kFrameShort, 0, 0, 0, 0, 0, 0},
      {"footer beyond the bytes", Cut(update12, 18), &kUnicastFrames, kFrameBadFooter, 0, 0, 18, 12, 0, 0},
      {"footer partly there", Cut(update12, 19), &kUnicastFrames, kFrameBadFooter, 0, 0, 19, 12, 0, 12},
      {"tag half there", Cut(update12, 21), &kUnicastFrames, kFrameBadFooter, 0, 0, 21, 12, 0xDE, 12},
      {"foot->Size one more", WithByte(update12, 18, 13), &kUnicastFrames, kFrameBadFooter, 0, 0, 22, 12,
       0xFADE, 13},
      {"foot->Size one less", WithByte(update12, 18, 11), &kUnicastFrames, kFrameBadFooter, 0, 0, 22, 12,
       0xFADE, 11},
      {"head->Size one more than sent", WithByte(update12, 2, 13), &kUnicastFrames, kFrameBadFooter, 0, 0, 22,
       13, 0xFA, 0xDE00},
      {"data block tagged 0xFADE on TCP", block, &kTcpFrames, kFrameValid, 8, 16384, 0, 0, 0, 0},
      {"data block tagged 0x1A2B on TCP", Make(6, kTagBlock1A2B, 16384), &kTcpFrames, kFrameValid, 6, 16384, 0,
       0, 0, 0},
      {"data block tagged 0x1B2C on TCP", Make(10, kTagBlock1B2C, 16384), &kTcpFrames, kFrameValid, 10, 16384,
       0, 0, 0, 0},
      {"beacon tag on TCP", Make(7, kTagBeacon, 4), &kTcpFrames, kFrameBadFooter, 0, 0, 14, 4, 0xDEFA, 4},
      {"write batch tag on TCP", Make(7, kTagWriteBatch, 4), &kTcpFrames, kFrameBadFooter, 0, 0, 14, 4, 0xAFFE,
       4},
      {"beacon on the multicast port", Make(kTypeBeacon, kTagBeacon, 7), &kMulticastFrames, kFrameValid,
       kTypeBeacon, 7, 0, 0, 0, 0},
      {"beacon tagged 0xFADE on multicast", Make(kTypeBeacon, kTagFADE, 7), &kMulticastFrames, kFrameBadFooter,
       0, 0, 17, 7, 0xFADE, 7},
      {"update on the multicast port", update0, &kMulticastFrames, kFrameBadFooter, 0, 0, 10, 0, 0xFADE, 0},
      {"beacon on the unicast port", Make(kTypeBeacon, kTagBeacon, 0), &kUnicastFrames, kFrameBadFooter, 0, 0,
       10, 0, 0xDEFA, 0},
      {"update tagged 0x1A2B on unicast", Make(kTypeUpdate, kTagBlock1A2B, 6), &kUnicastFrames, kFrameBadFooter,
       0, 0, 16, 6, 0x1A2B, 6},
      {"type 20 tagged 0xFADE on unicast", Make(kTypeBeacon, kTagFADE, 0), &kUnicastFrames, kFrameValid,
       kTypeBeacon, 0, 0, 0, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    // The bytes live in a buffer of exactly their size, so a read past them
    // shows up under the address sanitizer.
    std::vector<uint8_t> exact(c.bytes);
    Frame frame{};
    BadFrame bad{};
    ASSERT_EQ(c.check == kFrameValid ? Outcome::kDone : Outcome::kBadInput,
              ValidateFrame(exact.data(), int(exact.size()), *c.who, &frame, &bad));
    if (c.check == kFrameValid) {
      EXPECT_EQ(c.type, frame.type);
      EXPECT_EQ(c.size, frame.size);
      EXPECT_EQ(exact.data() + 6, frame.payload);
    } else {
      EXPECT_EQ(c.check, bad.check);
      EXPECT_EQ(c.received, bad.received);
      EXPECT_EQ(c.headSize, bad.headSize);
      EXPECT_EQ(c.footTag, bad.footTag);
      EXPECT_EQ(c.footSize, bad.footSize);
    }
  }
}

TEST(BuildWriteBatchFrame, OneFourByteWriteIsThirtyBytes) {
  // kind 2, offset 0x0100, size 4, data 11 22 33 44, then the 32-bit end marker.
  const Bytes batch = {2, 0, 0, 0, 0x00, 0x01, 0, 0, 4, 0, 0, 0, 0x11, 0x22, 0x33, 0x44, 0, 0, 0, 0};
  uint8_t out[kWriteFrameBufferSize];
  ASSERT_EQ(30u, BuildWriteBatchFrame(batch.data(), uint32_t(batch.size()), out, sizeof out));
  const Bytes expected = {0x12, 0x00, 0x14, 0x00, 0x00, 0x00, 2,    0,    0,    0, 0x00, 0x01, 0, 0, 4,
                          0,    0,    0,    0x11, 0x22, 0x33, 0x44, 0,    0,    0, 0,    0x14, 0, 0xFE, 0xAF};
  EXPECT_EQ(expected, Bytes(out, out + 30));
}

TEST(BuildWriteBatchFrame, Limits) {
  static uint8_t payload[kMaxFramePayload + 1];
  static uint8_t out[kMaxFrameSize + 1];
  const struct {
    uint32_t size, outSize, length;
  } cases[] = {
      {0, 10, 10},                                     // the smallest frame
      {31, 41, 41},                                    // exactly fits
      {31, 40, 0},                                     // one byte short
      {32512, kWriteFrameBufferSize, 32522},           // the largest batch
      {kMaxFramePayload, kMaxFrameSize, kMaxFrameSize},  // what head->Size can hold
      {kMaxFramePayload + 1, kMaxFrameSize + 1, 0},    // head->Size cannot say it
      {4, 9, 0},                                       // no room even for the header
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.size);
    EXPECT_EQ(c.length, BuildWriteBatchFrame(payload, c.size, out, c.outSize));
  }
}

TEST(FrameLog, LinesInTheLogsWords) {
  LinkLogCapture log;
  ASSERT_EQ(1, log.Restart());
  LogBadFrame(kUnicastFrames, BadFrame{kFrameShort, 9, 12, 0, 0});
  LogBadFrame(kTcpFrames, BadFrame{kFrameShort, 0, 0, 0, 0});
  LogBadFrame(kMulticastFrames, BadFrame{kFrameBadFooter, 17, 7, 0xFADE, 7});
  LogBadFrame(kTcpFrames, BadFrame{kFrameBadFooter, 100, 16384, 0, 0});
  LogWrongType(kUnicastFrames, kTypeBeacon);
  LogWrongType(kTcpFrames, kTypeUpdate);
  LogWrongBlockSize(7, 100);
  const std::vector<std::string> expected = {
      "UDP bad datagram length = 9 instead of = 12",
      "TCP bad datagram length = 0 instead of = 0",
      "UDP Bad footer batch head->Size=7 foot->Checksum=FADE foot->Size=7",
      "TCP Bad footer batch head->Size=16384 foot->Checksum=0 foot->Size=0",
      "UDP bad messagetype 20",
      "TCP data wrong header = 103",
      "TCP data block 7 dropped: head->Size = 100 instead of = 16384",
  };
  EXPECT_EQ(expected, log.Lines());
}

}  // namespace
