// Receive stamps on Windows: Winsock stamps nothing on a stream socket, so
// the stamp is the precise wall clock right after the receive.
#include <windows.h>

#include "sim_stamp.h"

uint64_t WallClockNs() {
  FILETIME t;
  GetSystemTimePreciseAsFileTime(&t);
  const uint64_t ticks = uint64_t(t.dwHighDateTime) << 32 | t.dwLowDateTime;  // 100 ns since 1601
  constexpr uint64_t kUnixEpochTicks = 116444736000000000u;
  return (ticks - kUnixEpochTicks) * 100u;
}

int EnableReceiveStamps(NetSocket) { return 0; }

int ReceiveStamped(NetSocket s, uint8_t* buffer, uint32_t size, uint64_t* stampNs) {
  const int n = NetRecv(s, buffer, size);
  *stampNs = WallClockNs();
  return n;
}
