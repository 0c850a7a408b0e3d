// Abortive close with Winsock: SO_LINGER with a zero time, then closesocket().
#include "sim_abort.h"

#include <winsock2.h>

int AbortConnection(NetSocket s) {
  linger off{};
  off.l_onoff = 1;
  off.l_linger = 0;
  const SOCKET socket = SOCKET(s);
  const int ok = setsockopt(socket, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&off), sizeof off) == 0;
  closesocket(socket);
  return ok ? 1 : 0;
}
