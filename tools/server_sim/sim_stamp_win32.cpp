// Receive stamps on Windows: Winsock stamps nothing on a stream socket, so
// the stamp is the precise wall clock right after the receive.
#include "sim_stamp.h"

int EnableReceiveStamps(NetSocket) { return 0; }

int ReceiveStamped(NetSocket s, uint8_t* buffer, uint32_t size, uint64_t* stampNs) {
  const int n = NetRecv(s, buffer, size);
  *stampNs = WallClockNs();
  return n;
}
