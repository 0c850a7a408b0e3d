// Abortive close on POSIX: SO_LINGER with a zero time, then close().
#include "sim_abort.h"

#include <sys/socket.h>
#include <unistd.h>

int AbortConnection(NetSocket s) {
  const linger off{1, 0};
  const int ok = setsockopt(int(s), SOL_SOCKET, SO_LINGER, &off, sizeof off) == 0 ? 1 : 0;
  close(int(s));
  return ok;
}
