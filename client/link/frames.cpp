// Frame building, validation and the invalid-frame log lines. Validation
// reads only the bytes a receive gave: a field that lies (partly) beyond
// them reads as 0, exactly as it would from a zero-filled receive buffer.
#include "link/frames.h"

#include <cstring>

#include "base/byte_order.h"
#include "base/event_log.h"
#include "base/timestamp.h"

namespace {

constexpr uint32_t kTcpTags[] = {kTagBlock1A2B, kTagFADE, kTagBlock1B2C};
constexpr uint32_t kMulticastTags[] = {kTagBeacon};
constexpr uint32_t kUnicastTags[] = {kTagFADE};

// The 16-bit field at pos, with bytes at or beyond received taken as 0.
uint32_t FieldAt(const uint8_t* bytes, int64_t received, int64_t pos) {
  const uint32_t low = pos < received ? bytes[pos] : 0;
  const uint32_t high = pos + 1 < received ? bytes[pos + 1] : 0;
  return low | high << 8;
}

bool TagAccepted(const FrameReceiver& who, uint32_t tag) {
  for (uint32_t i = 0; i < who.tagCount; ++i)
    if (who.tags[i] == tag) return true;
  return false;
}

bool IsTcp(const FrameReceiver& who) { return who.word[0] == 'T'; }

}  // namespace

const FrameReceiver kTcpFrames{"TCP", kTcpTags, 3};
const FrameReceiver kMulticastFrames{"UDP", kMulticastTags, 1};
const FrameReceiver kUnicastFrames{"UDP", kUnicastTags, 1};

Outcome ValidateFrame(const uint8_t* bytes, int received, const FrameReceiver& who, Frame* frame, BadFrame* bad) {
  const int64_t have = received;
  if (have < int64_t(kFrameOverhead)) {
    *bad = BadFrame{kFrameShort, received, FieldAt(bytes, have, kFrameSizeAt), 0, 0};
    return Outcome::kBadInput;
  }
  const uint32_t n = ReadLe16(bytes + kFrameSizeAt);
  const int64_t footAt = int64_t(kFrameHeaderSize) + n;
  const uint32_t footSize = FieldAt(bytes, have, footAt);
  const uint32_t footTag = FieldAt(bytes, have, footAt + 2);
  if (footAt + int64_t(kFrameFooterSize) > have || !TagAccepted(who, footTag) || footSize != n) {
    *bad = BadFrame{kFrameBadFooter, received, n, footTag, footSize};
    return Outcome::kBadInput;
  }
  *frame = Frame{bytes[0], n, bytes + kFrameHeaderSize};
  return Outcome::kDone;
}

uint32_t BuildFrame(uint32_t type, uint32_t tag, const uint8_t* payload, uint32_t size, uint8_t* out,
                    uint32_t outSize) {
  if (size > kMaxFramePayload || outSize < kFrameOverhead || size > outSize - kFrameOverhead) return 0;
  out[0] = uint8_t(type);
  out[1] = 0;
  WriteLe16(out + kFrameSizeAt, size);
  WriteLe16(out + 4, 0);
  if (size > 0) std::memmove(out + kFrameHeaderSize, payload, size);
  WriteLe16(out + kFrameHeaderSize + size, size);
  WriteLe16(out + kFrameHeaderSize + size + 2, tag);
  return kFrameOverhead + size;
}

uint32_t BuildWriteBatchFrame(const uint8_t* payload, uint32_t size, uint8_t* out, uint32_t outSize) {
  return BuildFrame(kTypeWriteBatch, kTagWriteBatch, payload, size, out, outSize);
}

// Bad frames come as fast as a host can send them: each kind of line has its
// limit (base/line_limit.h).
namespace {
LineLimit tcpShortLines{"TCP bad datagram length"};
LineLimit udpShortLines{"UDP bad datagram length"};
LineLimit tcpFooterLines{"TCP Bad footer batch"};
LineLimit udpFooterLines{"UDP Bad footer batch"};
LineLimit tcpTypeLines{"TCP data wrong header"};
LineLimit udpTypeLines{"UDP bad messagetype"};
LineLimit blockSizeLines{"TCP data block dropped"};
}  // namespace

void LogBadFrame(const FrameReceiver& who, const BadFrame& bad) {
  char now[kTimestampSize];
  FormatTimestamp(now);
  const bool tcp = IsTcp(who);
  if (bad.check == kFrameShort) {
    if (tcp)
      LogEventLimited(tcpShortLines, "%s TCP bad datagram length = %i instead of = %i\n", now, bad.received, int(bad.headSize));
    else
      LogEventLimited(udpShortLines, "%s UDP bad datagram length = %i instead of = %i\n", now, bad.received, int(bad.headSize));
    return;
  }
  if (tcp)
    LogEventLimited(tcpFooterLines, "%s TCP Bad footer batch head->Size=%i foot->Checksum=%X foot->Size=%i\n", now, int(bad.headSize),
             unsigned(bad.footTag), int(bad.footSize));
  else
    LogEventLimited(udpFooterLines, "%s UDP Bad footer batch head->Size=%i foot->Checksum=%X foot->Size=%i\n", now, int(bad.headSize),
             unsigned(bad.footTag), int(bad.footSize));
}

void LogWrongType(const FrameReceiver& who, uint32_t type) {
  char now[kTimestampSize];
  FormatTimestamp(now);
  if (IsTcp(who))
    LogEventLimited(tcpTypeLines, "%s TCP data wrong header = %i\n", now, int(type));
  else
    LogEventLimited(udpTypeLines, "%s UDP bad messagetype %i\n", now, int(type));
}

void LogWrongBlockSize(uint32_t type, uint32_t size) {
  char now[kTimestampSize];
  LogEventLimited(blockSizeLines, "%s TCP data block %i dropped: head->Size = %i instead of = 16384\n", FormatTimestamp(now), int(type),
           int(size));
}
