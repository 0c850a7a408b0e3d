// The socket seam on POSIX (Linux): thin wrappers over BSD sockets. The
// socket number is the descriptor. The one behavioural difference from
// Winsock lives in NetBindMulticast: see net.h.
#include "link/net.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

namespace {

thread_local int lastError = 0;

// Keeps code (errno unless given) as the thread's last failure; returns result.
template <typename T>
T Failed(T result, int code = errno) {
  lastError = code;
  return result;
}

// 1 when the call succeeded; 0, keeping errno, when it did not.
int Done(bool succeeded) { return succeeded ? 1 : Failed(0); }

sockaddr_in MakeAddress(uint32_t address, uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = address;
  a.sin_port = htons(port);
  return a;
}

void TakeAddress(const sockaddr_in& a, uint32_t* address, uint16_t* port) {
  if (address != nullptr) *address = a.sin_addr.s_addr;
  if (port != nullptr) *port = ntohs(a.sin_port);
}

int Fd(NetSocket s) { return int(s); }

int SetBlocking(int fd, bool blocking) {
  const int flags = fcntl(fd, F_GETFL, 0);
  if (flags < 0) return Failed(0);
  const int wanted = blocking ? flags & ~O_NONBLOCK : flags | O_NONBLOCK;
  return Done(fcntl(fd, F_SETFL, wanted) == 0);
}

int Membership(NetSocket s, int option, uint32_t group, uint32_t interfaceAddress) {
  ip_mreq m{};
  m.imr_multiaddr.s_addr = group;
  m.imr_interface.s_addr = interfaceAddress;
  return Done(setsockopt(Fd(s), IPPROTO_IP, option, &m, sizeof m) == 0);
}

int SetIpOption(NetSocket s, int option, const void* value, socklen_t size) {
  return Done(setsockopt(Fd(s), IPPROTO_IP, option, value, size) == 0);
}

uint64_t NowMs() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return uint64_t(t.tv_sec) * 1000u + uint64_t(t.tv_nsec) / 1000000u;
}

// poll() for one descriptor, retried on EINTR within the same wait.
// 1 ready, 0 timed out, -1 failed (including an invalid descriptor).
int PollOne(int fd, short events, uint32_t waitMs) {
  const uint64_t until = NowMs() + waitMs;
  for (;;) {
    pollfd p{fd, events, 0};
    const uint64_t now = NowMs();
    const int rest = now >= until ? 0 : int(until - now);
    const int n = poll(&p, 1, rest);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Failed(-1);
    if (n == 0) return 0;
    return (p.revents & POLLNVAL) != 0 ? Failed(-1, EBADF) : 1;
  }
}

// SO_SNDTIMEO or SO_RCVTIMEO. 1 set, 0 failed.
int SetTimeLimit(NetSocket s, int option, uint32_t ms) {
  timeval limit{};
  limit.tv_sec = time_t(ms / 1000);
  limit.tv_usec = suseconds_t(ms % 1000) * 1000;
  return Done(setsockopt(Fd(s), SOL_SOCKET, option, &limit, sizeof limit) == 0);
}

}  // namespace

int NetStartup() { return 1; }
void NetCleanup() {}

NetSocket NetUdpSocket() {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
  return fd < 0 ? Failed(kNoSocket) : NetSocket(fd);
}

NetSocket NetTcpSocket() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  return fd < 0 ? Failed(kNoSocket) : NetSocket(fd);
}

void NetClose(NetSocket s) {
  if (s != kNoSocket) close(Fd(s));
}

int NetShutdownBoth(NetSocket s) { return Done(shutdown(Fd(s), SHUT_RDWR) == 0); }

int NetCancelReceive(NetSocket s) {
  // Reception stays shut down: every receive after it gives 0 at once. A
  // datagram socket that is not connected reports ENOTCONN and still wakes.
  return Done(shutdown(Fd(s), SHUT_RD) == 0 || errno == ENOTCONN);
}

int NetBind(NetSocket s, uint32_t address, uint16_t port) {
  const sockaddr_in a = MakeAddress(address, port);
  return Done(bind(Fd(s), reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0);
}

int NetBindMulticast(NetSocket s, uint32_t interfaceAddress, uint16_t port) {
  // A throw-away socket bound to the interface address, port 0, proves that
  // the address is one of ours, as binding it for real does on Winsock
  // (which also refuses the broadcast address that bad text parses to).
  if (interfaceAddress == kNetNoAddress) return Failed(0, EADDRNOTAVAIL);
  const NetSocket probe = NetUdpSocket();
  if (probe == kNoSocket) return 0;
  const int ours = NetBind(probe, interfaceAddress, 0);
  NetClose(probe);
  if (ours == 0) return 0;
#ifdef IP_MULTICAST_ALL
  const int off = 0;
  SetIpOption(s, IP_MULTICAST_ALL, &off, sizeof off);
#endif
  return NetBind(s, kNetAnyAddress, port);
}

int NetJoinGroup(NetSocket s, uint32_t group, uint32_t interfaceAddress) {
  return Membership(s, IP_ADD_MEMBERSHIP, group, interfaceAddress);
}

int NetLeaveGroup(NetSocket s, uint32_t group, uint32_t interfaceAddress) {
  return Membership(s, IP_DROP_MEMBERSHIP, group, interfaceAddress);
}

int NetSetMulticastInterface(NetSocket s, uint32_t interfaceAddress) {
  in_addr a{};
  a.s_addr = interfaceAddress;
  return SetIpOption(s, IP_MULTICAST_IF, &a, sizeof a);
}

int NetSetMulticastTtl(NetSocket s, uint32_t ttl) {
  const unsigned char value = static_cast<unsigned char>(ttl);
  return SetIpOption(s, IP_MULTICAST_TTL, &value, sizeof value);
}

int NetSetMulticastLoop(NetSocket s, uint32_t on) {
  const unsigned char value = on != 0 ? 1 : 0;
  return SetIpOption(s, IP_MULTICAST_LOOP, &value, sizeof value);
}

int NetSetReuseAddress(NetSocket s) {
  const int on = 1;
  return Done(setsockopt(Fd(s), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0);
}

int NetSetNoDelay(NetSocket s) {
  const int on = 1;
  return Done(setsockopt(Fd(s), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) == 0);
}

int NetSetSendTimeLimit(NetSocket s, uint32_t ms) { return SetTimeLimit(s, SO_SNDTIMEO, ms); }
int NetSetReceiveTimeLimit(NetSocket s, uint32_t ms) { return SetTimeLimit(s, SO_RCVTIMEO, ms); }

int NetLocalName(NetSocket s, uint32_t* address, uint16_t* port) {
  sockaddr_in a{};
  socklen_t size = sizeof a;
  if (getsockname(Fd(s), reinterpret_cast<sockaddr*>(&a), &size) != 0) return Failed(0);
  TakeAddress(a, address, port);
  return 1;
}

int NetListen(NetSocket s, int backlog) { return Done(listen(Fd(s), backlog) == 0); }

NetSocket NetAccept(NetSocket s, uint32_t* fromAddress, uint16_t* fromPort) {
  sockaddr_in a{};
  socklen_t size = sizeof a;
  int fd;
  do {
    fd = accept4(Fd(s), reinterpret_cast<sockaddr*>(&a), &size, SOCK_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return Failed(kNoSocket);
  TakeAddress(a, fromAddress, fromPort);
  return NetSocket(fd);
}

int NetConnectStart(NetSocket s, uint32_t address, uint16_t port) {
  if (SetBlocking(Fd(s), false) == 0) return -1;
  const sockaddr_in a = MakeAddress(address, port);
  if (connect(Fd(s), reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0)
    return SetBlocking(Fd(s), true) == 1 ? 1 : -1;
  return errno == EINPROGRESS || errno == EINTR ? 0 : Failed(-1);
}

int NetConnectWait(NetSocket s, uint32_t waitMs) {
  const int ready = PollOne(Fd(s), POLLOUT, waitMs);
  if (ready <= 0) return ready;
  int error = 0;
  socklen_t size = sizeof error;
  if (getsockopt(Fd(s), SOL_SOCKET, SO_ERROR, &error, &size) != 0) return Failed(-1);
  if (error != 0) return Failed(-1, error);
  return SetBlocking(Fd(s), true) == 1 ? 1 : -1;
}

int NetSend(NetSocket s, const uint8_t* data, uint32_t size) {
  // A blocking send that the time limit cuts short returns what went out so
  // far; the rest is sent again until a send takes nothing in its time.
  uint32_t sent = 0;
  while (sent < size) {
    const ssize_t n = send(Fd(s), data + sent, size - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += uint32_t(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    return Failed(-1);  // an error, or EAGAIN: the time limit ran out
  }
  return int(sent);
}

int NetSendTo(NetSocket s, const uint8_t* data, uint32_t size, uint32_t address, uint16_t port) {
  const sockaddr_in a = MakeAddress(address, port);
  const ssize_t n = sendto(Fd(s), data, size, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&a), sizeof a);
  return n < 0 ? Failed(-1) : int(n);
}

int NetWaitReadable(NetSocket s, uint32_t waitMs) { return PollOne(Fd(s), POLLIN, waitMs); }

int NetRecv(NetSocket s, uint8_t* buffer, uint32_t size) {
  ssize_t n;
  do {
    n = recv(Fd(s), buffer, size, 0);
  } while (n < 0 && errno == EINTR);
  return n < 0 ? Failed(-1) : int(n);
}

int NetRecvFrom(NetSocket s, uint8_t* buffer, uint32_t size, uint32_t* fromAddress, uint16_t* fromPort) {
  sockaddr_in a{};
  socklen_t addressSize = sizeof a;
  ssize_t n;
  do {
    n = recvfrom(Fd(s), buffer, size, 0, reinterpret_cast<sockaddr*>(&a), &addressSize);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return Failed(errno == EAGAIN || errno == EWOULDBLOCK ? kNetTimedOut : -1);
  TakeAddress(a, fromAddress, fromPort);
  return int(n);
}

Status NetLookupAddress(const char* name, uint32_t* address) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int code = getaddrinfo(name, nullptr, &hints, &found);
  if (code != 0 || found == nullptr) {
    Failed(0, code == EAI_SYSTEM ? errno : code);
    return Status::Failure(Outcome::kFailed, "%s", code != 0 ? gai_strerror(code) : "no address");
  }
  *address = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
  freeaddrinfo(found);
  return Status::Done();
}

int NetLocalAddresses(uint32_t* out, int max) {
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return Failed(-1);
  int count = 0;
  for (const ifaddrs* i = list; i != nullptr && count < max; i = i->ifa_next) {
    if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET || (i->ifa_flags & IFF_UP) == 0) continue;
    const uint32_t address = reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr;
    if (reinterpret_cast<const uint8_t*>(&address)[0] != 127) out[count++] = address;
  }
  freeifaddrs(list);
  return count;
}

int NetLastError() { return lastError; }

char* NetErrorWords(int code, char* out, size_t size) {
  if (size == 0) return out;
  char buffer[256];
  // The GNU strerror_r may return its own static text instead of filling buffer.
  const char* words = strerror_r(code, buffer, sizeof buffer);
  std::snprintf(out, size, "%s", words != nullptr ? words : "unknown error");
  return out;
}

NetErrorKind NetErrorKindOf(int code) {
  switch (code) {
    case ECONNREFUSED: return NetErrorKind::kRefused;
    case EADDRNOTAVAIL: return NetErrorKind::kAddressNotAvailable;
    case EADDRINUSE: return NetErrorKind::kAddressInUse;
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
    case ETIMEDOUT: return NetErrorKind::kTimedOut;
    case ECONNRESET:
    case EPIPE: return NetErrorKind::kReset;
    default: return NetErrorKind::kOther;
  }
}

uint32_t NetParseAddress(const char* text) {
  in_addr a{};
  return inet_aton(text, &a) != 0 ? a.s_addr : kNetNoAddress;
}

char* NetFormatAddress(uint32_t address, char* out) {
  in_addr a{};
  a.s_addr = address;
  if (inet_ntop(AF_INET, &a, out, kNetAddressTextSize) == nullptr) out[0] = '\0';
  return out;
}

int NetLookupHostName(uint32_t address, char* out, size_t size) {
  if (size == 0) return 0;
  const sockaddr_in a = MakeAddress(address, 0);
  char service[32];
  const socklen_t hostSize = socklen_t(size < kNetHostNameSize ? size : kNetHostNameSize);
  if (getnameinfo(reinterpret_cast<const sockaddr*>(&a), sizeof a, out, hostSize, service, sizeof service,
                  NI_NUMERICSERV) != 0) {
    out[0] = '\0';
    return 0;
  }
  return 1;
}
