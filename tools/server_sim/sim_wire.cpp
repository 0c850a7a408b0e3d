// Broken frames for the fault commands of the simulated server.
#include "sim_wire.h"

#include <cstring>

#include "base/byte_order.h"

namespace {

const uint32_t kWriteBatchTags[] = {kTagWriteBatch};

uint32_t GoodType(Transport t) {
  switch (t) {
    case Transport::kTcp: return kTypeFirstBlock;
    case Transport::kUnicast: return kTypeUpdate;
    case Transport::kMulticast: return kTypeBeacon;
  }
  return 0;
}

uint32_t GoodTag(Transport t) {
  switch (t) {
    case Transport::kTcp: return kTagBlock1A2B;
    case Transport::kUnicast: return kTagFADE;
    case Transport::kMulticast: return kTagBeacon;
  }
  return 0;
}

// A tag the receiver on this transport refuses, although it is one of ours.
uint32_t WrongTag(Transport t) {
  switch (t) {
    case Transport::kTcp: return kTagWriteBatch;
    case Transport::kUnicast: return kTagBlock1A2B;
    case Transport::kMulticast: return kTagFADE;
  }
  return 0;
}

// A type the receiver on this transport does not take, under a tag it does.
uint32_t WrongType(Transport t) {
  switch (t) {
    case Transport::kTcp: return kTypeWriteBatch;
    case Transport::kUnicast: return kTypeBeacon;
    case Transport::kMulticast: return kTypeUpdate;
  }
  return 0;
}

// A data block's worth on TCP (so the stream looks like the real thing), one
// update record on the UDP ports.
uint32_t GoodSize(Transport t) { return t == Transport::kTcp ? kDataBlockSize : kUpdateRecordSize; }

uint8_t fill[kMaxSendPayload];

}  // namespace

const FrameReceiver kWriteBatchFrames = {"TCP", kWriteBatchTags, 1};

uint32_t BuildBadFrame(Transport t, BadKind kind, uint8_t* out) {
  std::memset(fill, 0xEE, sizeof fill);
  const uint32_t n = GoodSize(t);
  uint32_t length = 0;
  switch (kind) {
    case BadKind::kShort:
      BuildFrame(GoodType(t), GoodTag(t), nullptr, 0, out, kMaxFrameSize);
      return kFrameOverhead - 1;
    case BadKind::kSize:
      length = BuildFrame(GoodType(t), GoodTag(t), fill, n, out, kMaxFrameSize);
      WriteLe16(out + kFrameHeaderSize + n, n + 1);
      return length;
    case BadKind::kTag:
      return BuildFrame(GoodType(t), WrongTag(t), fill, n, out, kMaxFrameSize);
    case BadKind::kType:
      return BuildFrame(WrongType(t), GoodTag(t), fill, n, out, kMaxFrameSize);
    case BadKind::kTruncated: {
      const uint32_t claimed = t == Transport::kTcp ? kDataBlockSize : 100;
      BuildFrame(GoodType(t), GoodTag(t), fill, claimed, out, kMaxFrameSize);
      return kFrameHeaderSize + claimed / 2;
    }
    case BadKind::kBlockSize:
      if (t != Transport::kTcp) return 0;
      return BuildFrame(kTypeFirstBlock, GoodTag(t), fill, 100, out, kMaxFrameSize);
  }
  return 0;
}
