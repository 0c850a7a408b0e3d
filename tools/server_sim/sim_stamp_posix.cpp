// Receive stamps on Linux: the kernel's SO_TIMESTAMPNS stamp of the newest
// packet whose bytes a recvmsg returns.
#include "sim_stamp.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstring>

int EnableReceiveStamps(NetSocket s) {
  const int on = 1;
  return setsockopt(int(s), SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on) == 0 ? 1 : 0;
}

int ReceiveStamped(NetSocket s, uint8_t* buffer, uint32_t size, uint64_t* stampNs) {
  iovec data{buffer, size};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
  msghdr m{};
  m.msg_iov = &data;
  m.msg_iovlen = 1;
  m.msg_control = control;
  m.msg_controllen = sizeof control;
  ssize_t n;
  do {
    n = recvmsg(int(s), &m, 0);
  } while (n < 0 && errno == EINTR);
  *stampNs = WallClockNs();
  for (cmsghdr* c = CMSG_FIRSTHDR(&m); c != nullptr; c = CMSG_NXTHDR(&m, c)) {
    if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_TIMESTAMPNS) continue;
    timespec t;
    std::memcpy(&t, CMSG_DATA(c), sizeof t);
    *stampNs = uint64_t(t.tv_sec) * 1000000000u + uint64_t(t.tv_nsec);
  }
  return n < 0 ? -1 : int(n);
}
