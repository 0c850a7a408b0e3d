// The status lines' texts, as the window has always shown them.
#include "link/link_status.h"

#include <cstdarg>
#include <cstdio>

namespace {

// printf into out, cut to capacity and outSize; the count stored.
__attribute__((format(printf, 4, 5))) uint32_t Put(char* out, size_t outSize, size_t capacity, const char* format,
                                                   ...) {
  const size_t room = outSize < capacity ? outSize : capacity;
  va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(out, room, format, args);
  va_end(args);
  if (n < 0) {
    out[0] = '\0';
    return 0;
  }
  return size_t(n) < room ? uint32_t(n) : uint32_t(room - 1);
}

uint32_t FormatUdpLine(const LinkStatus& s, char* out, size_t outSize) {
  char sender[kNetAddressTextSize];
  NetFormatAddress(s.sender, sender);
  switch (s.udp) {
    case UdpShown::kNothing: break;
    case UdpShown::kNoAddressYet:
      return Put(out, outSize, kUdpLineSize, "UDP waits for an address of this PC              ");
    case UdpShown::kCannotStart:
      return Put(out, outSize, kUdpLineSize, "Can't start UDP, please restart Kestrovaline    ");
    case UdpShown::kBeacons:
      return Put(out, outSize, kUdpLineSize, "UDP = %u per/sec                                 ", s.udpRate);
    case UdpShown::kBeaconsFrom: return Put(out, outSize, kUdpLineSize, "UDP = %u per/sec from %s", s.udpRate, sender);
    case UdpShown::kLinkTraffic:
      return Put(out, outSize, kUdpLineSize, "UDP=%u per/sec from %s Datarate=%1.2f", s.udpRate, sender, s.dataRate);
  }
  return Put(out, outSize, kUdpLineSize, "%s", "");
}

}  // namespace

const char* ConnectionStateName(uint32_t state) {
  switch (state) {
    case kNotConnected: return "NOT_CONNECTED";
    case kUdpConnected: return "UDP_CONNECTED";
    case kUdpTcpConnected: return "UDP_TCP_CONNECTED";
    case kInit: return "INIT";
    case kDeinit: return "DEINIT";
  }
  return "UNKNOWN";
}

uint32_t FormatStatusLine(const LinkStatus& s, StatusLineId id, char* out, size_t outSize) {
  if (outSize == 0) return 0;
  const size_t line = kStatusLineSize;
  switch (id) {
    case kConnectionLine:
      if (s.connection == ConnectionShown::kConnected) return Put(out, outSize, line, "Connected to Server %s", s.serverName);
      if (s.connection == ConnectionShown::kLost)
        return Put(out, outSize, line, "Connection to Server lost...                               ");
      break;
    case kRequestLine:
      if (s.counted)
        return Put(out, outSize, line, "Request:\t%i\t\t%i per/sec", int(s.counts.requests), int(s.rates.requests));
      break;
    case kReadLine:
      if (s.counted) return Put(out, outSize, line, "Read:\t%u\t\t%u per/sec", s.counts.readBytes, s.rates.readBytes);
      break;
    case kWriteLine:
      if (s.counted) return Put(out, outSize, line, "Write:\t%u\t\t%u per/sec", s.counts.writeBytes, s.rates.writeBytes);
      break;
    case kUdpLine: return FormatUdpLine(s, out, outSize);
    case kStatusLineCount: break;
  }
  return Put(out, outSize, line, "%s", "");
}
