#include "link/link_flags.h"

std::atomic<uint32_t> connectionState{kInit};
std::atomic<uint32_t> tcpReceiving{0};
std::atomic<uint32_t> multicastReceiving{0};
std::atomic<uint32_t> unicastReceiving{0};

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
