// The socket seam on Windows: thin wrappers over Windows Sockets 2. The
// socket number is the SOCKET value (INVALID_SOCKET reads as kNoSocket).
// The one behavioural difference from POSIX lives in NetBindMulticast: see net.h.
#include <winsock2.h>
#include <ws2tcpip.h>
// After the socket headers, which it needs first.
#include <iphlpapi.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "link/net.h"

namespace {

thread_local int lastError = 0;

// Keeps code (WSAGetLastError unless given) as the thread's last failure;
// returns result.
template <typename T>
T Failed(T result, int code = WSAGetLastError()) {
  lastError = code;
  return result;
}

// 1 when the call succeeded; 0, keeping the reason, when it did not.
int Done(bool succeeded) { return succeeded ? 1 : Failed(0); }

SOCKET Sock(NetSocket s) { return SOCKET(s); }

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

int SetBlocking(NetSocket s, bool blocking) {
  u_long nonBlocking = blocking ? 0 : 1;
  return Done(ioctlsocket(Sock(s), FIONBIO, &nonBlocking) == 0);
}

int Membership(NetSocket s, int option, uint32_t group, uint32_t interfaceAddress) {
  ip_mreq m{};
  m.imr_multiaddr.s_addr = group;
  m.imr_interface.s_addr = interfaceAddress;
  return Done(setsockopt(Sock(s), IPPROTO_IP, option, reinterpret_cast<const char*>(&m), sizeof m) == 0);
}

int SetIpOption(NetSocket s, int option, const void* value, int size) {
  return Done(setsockopt(Sock(s), IPPROTO_IP, option, static_cast<const char*>(value), size) == 0);
}

timeval MakeTimeval(uint32_t ms) {
  timeval t{};
  t.tv_sec = long(ms / 1000);
  t.tv_usec = long(ms % 1000) * 1000;
  return t;
}

// SO_SNDTIMEO or SO_RCVTIMEO. 1 set, 0 failed.
int SetTimeLimit(NetSocket s, int option, uint32_t ms) {
  const DWORD limit = ms;
  return Done(setsockopt(Sock(s), SOL_SOCKET, option, reinterpret_cast<const char*>(&limit), sizeof limit) == 0);
}

}  // namespace

int NetStartup() {
  WSADATA data;
  return Done(WSAStartup(MAKEWORD(2, 2), &data) == 0);
}

void NetCleanup() { WSACleanup(); }

NetSocket NetUdpSocket() {
  const SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  return s == INVALID_SOCKET ? Failed(kNoSocket) : NetSocket(s);
}

NetSocket NetTcpSocket() {
  const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  return s == INVALID_SOCKET ? Failed(kNoSocket) : NetSocket(s);
}

void NetClose(NetSocket s) {
  if (s != kNoSocket) closesocket(Sock(s));
}

int NetShutdownBoth(NetSocket s) { return Done(shutdown(Sock(s), SD_BOTH) == 0); }

int NetCancelReceive(NetSocket s) {
  // A blocking receive is I/O on the socket's handle like any other: it
  // ends with WSA_OPERATION_ABORTED (or WSAEINTR), and the socket stays open.
  if (CancelIoEx(reinterpret_cast<HANDLE>(Sock(s)), nullptr) != 0) return 1;
  return GetLastError() == ERROR_NOT_FOUND ? 1 : Failed(0, int(GetLastError()));  // nothing pending yet
}

int NetBind(NetSocket s, uint32_t address, uint16_t port) {
  const sockaddr_in a = MakeAddress(address, port);
  return Done(bind(Sock(s), reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0);
}

int NetBindMulticast(NetSocket s, uint32_t interfaceAddress, uint16_t port) {
  // Winsock delivers the group's datagrams to a socket bound to the
  // interface address once it has joined on that interface.
  return NetBind(s, interfaceAddress, port);
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
  const DWORD value = ttl;
  return SetIpOption(s, IP_MULTICAST_TTL, &value, sizeof value);
}

int NetSetMulticastLoop(NetSocket s, uint32_t on) {
  const DWORD value = on != 0 ? 1 : 0;
  return SetIpOption(s, IP_MULTICAST_LOOP, &value, sizeof value);
}

int NetSetReuseAddress(NetSocket s) {
  const BOOL on = TRUE;
  return Done(setsockopt(Sock(s), SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&on), sizeof on) == 0);
}

int NetSetNoDelay(NetSocket s) {
  const BOOL on = TRUE;
  return Done(setsockopt(Sock(s), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on) == 0);
}

int NetSetSendTimeLimit(NetSocket s, uint32_t ms) { return SetTimeLimit(s, SO_SNDTIMEO, ms); }
int NetSetReceiveTimeLimit(NetSocket s, uint32_t ms) { return SetTimeLimit(s, SO_RCVTIMEO, ms); }

int NetLocalName(NetSocket s, uint32_t* address, uint16_t* port) {
  sockaddr_in a{};
  int size = sizeof a;
  if (getsockname(Sock(s), reinterpret_cast<sockaddr*>(&a), &size) != 0) return Failed(0);
  TakeAddress(a, address, port);
  return 1;
}

int NetListen(NetSocket s, int backlog) { return Done(listen(Sock(s), backlog) == 0); }

NetSocket NetAccept(NetSocket s, uint32_t* fromAddress, uint16_t* fromPort) {
  sockaddr_in a{};
  int size = sizeof a;
  const SOCKET c = accept(Sock(s), reinterpret_cast<sockaddr*>(&a), &size);
  if (c == INVALID_SOCKET) return Failed(kNoSocket);
  TakeAddress(a, fromAddress, fromPort);
  return NetSocket(c);
}

int NetConnectStart(NetSocket s, uint32_t address, uint16_t port) {
  if (SetBlocking(s, false) == 0) return -1;
  const sockaddr_in a = MakeAddress(address, port);
  if (connect(Sock(s), reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0)
    return SetBlocking(s, true) == 1 ? 1 : -1;
  const int error = WSAGetLastError();
  return error == WSAEWOULDBLOCK || error == WSAEINPROGRESS ? 0 : Failed(-1, error);
}

int NetConnectWait(NetSocket s, uint32_t waitMs) {
  // A non-blocking connect reports success in the write set and failure in
  // the exception set.
  fd_set writable, failed;
  FD_ZERO(&writable);
  FD_ZERO(&failed);
  FD_SET(Sock(s), &writable);
  FD_SET(Sock(s), &failed);
  timeval wait = MakeTimeval(waitMs);
  const int n = select(0, nullptr, &writable, &failed, &wait);
  if (n < 0) return Failed(-1);
  if (n == 0) return 0;
  int error = 0;
  int size = sizeof error;
  if (getsockopt(Sock(s), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &size) != 0) return Failed(-1);
  if (error != 0 || FD_ISSET(Sock(s), &failed)) return Failed(-1, error);
  return SetBlocking(s, true) == 1 ? 1 : -1;
}

int NetSend(NetSocket s, const uint8_t* data, uint32_t size) {
  // A blocking send bounded by the socket's SO_SNDTIMEO: running out is an error.
  const int n = send(Sock(s), reinterpret_cast<const char*>(data), int(size), 0);
  return n == SOCKET_ERROR ? Failed(-1) : n;
}

int NetSendTo(NetSocket s, const uint8_t* data, uint32_t size, uint32_t address, uint16_t port) {
  const sockaddr_in a = MakeAddress(address, port);
  const int n = sendto(Sock(s), reinterpret_cast<const char*>(data), int(size), 0,
                       reinterpret_cast<const sockaddr*>(&a), sizeof a);
  return n == SOCKET_ERROR ? Failed(-1) : n;
}

int NetWaitReadable(NetSocket s, uint32_t waitMs) {
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(Sock(s), &readable);
  timeval wait = MakeTimeval(waitMs);
  const int n = select(0, &readable, nullptr, nullptr, &wait);
  return n < 0 ? Failed(-1) : n == 0 ? 0 : 1;
}

int NetRecv(NetSocket s, uint8_t* buffer, uint32_t size) {
  const int n = recv(Sock(s), reinterpret_cast<char*>(buffer), int(size), 0);
  return n == SOCKET_ERROR ? Failed(-1) : n;
}

int NetRecvFrom(NetSocket s, uint8_t* buffer, uint32_t size, uint32_t* fromAddress, uint16_t* fromPort) {
  sockaddr_in a{};
  int addressSize = sizeof a;
  const int n = recvfrom(Sock(s), reinterpret_cast<char*>(buffer), int(size), 0, reinterpret_cast<sockaddr*>(&a),
                         &addressSize);
  if (n == SOCKET_ERROR) {
    const int error = WSAGetLastError();
    if (error == WSAETIMEDOUT) return Failed(kNetTimedOut, error);
    // A datagram longer than the buffer arrives cut, as on POSIX.
    if (error != WSAEMSGSIZE) return Failed(-1, error);
    TakeAddress(a, fromAddress, fromPort);
    return int(size);
  }
  TakeAddress(a, fromAddress, fromPort);
  return n;
}

Status NetLookupAddress(const char* name, uint32_t* address) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int code = getaddrinfo(name, nullptr, &hints, &found);
  if (code != 0 || found == nullptr) {
    Failed(0, code);
    char reason[Status::kTextSize];
    return Status::Failure(Outcome::kFailed, "%s", NetErrorWords(code, reason, sizeof reason));
  }
  *address = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
  freeaddrinfo(found);
  return Status::Done();
}

int NetLocalAddresses(uint32_t* out, int max) {
  // The adapters' list, asked again with the size the platform says it needs.
  std::vector<unsigned char> buffer(16384);
  const ULONG flags = GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER;
  ULONG size = ULONG(buffer.size());
  ULONG result = ERROR_BUFFER_OVERFLOW;
  for (int attempt = 0; attempt < 3 && result == ERROR_BUFFER_OVERFLOW; ++attempt) {
    buffer.resize(size);
    auto* list = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data());
    result = GetAdaptersAddresses(AF_INET, flags, nullptr, list, &size);
  }
  if (result == ERROR_NO_DATA) return 0;
  if (result != NO_ERROR) return Failed(-1, int(result));
  int count = 0;
  for (auto* a = reinterpret_cast<const IP_ADAPTER_ADDRESSES*>(buffer.data()); a != nullptr; a = a->Next) {
    if (a->OperStatus != IfOperStatusUp) continue;
    for (const IP_ADAPTER_UNICAST_ADDRESS* u = a->FirstUnicastAddress; u != nullptr && count < max; u = u->Next) {
      if (u->Address.lpSockaddr == nullptr || u->Address.lpSockaddr->sa_family != AF_INET) continue;
      const uint32_t address = reinterpret_cast<const sockaddr_in*>(u->Address.lpSockaddr)->sin_addr.s_addr;
      if (reinterpret_cast<const uint8_t*>(&address)[0] != 127) out[count++] = address;
    }
  }
  return count;
}

int NetLastError() { return lastError; }

char* NetErrorWords(int code, char* out, size_t size) {
  if (size == 0) return out;
  const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, DWORD(code), 0,
                                 out, DWORD(size), nullptr);
  size_t end = n < size ? n : 0;
  while (end > 0 && (out[end - 1] == '\r' || out[end - 1] == '\n' || out[end - 1] == ' ' || out[end - 1] == '.')) --end;
  if (end == 0) return std::snprintf(out, size, "error %d", code), out;
  out[end] = '\0';
  return out;
}

NetErrorKind NetErrorKindOf(int code) {
  switch (code) {
    case WSAECONNREFUSED: return NetErrorKind::kRefused;
    case WSAEADDRNOTAVAIL: return NetErrorKind::kAddressNotAvailable;
    case WSAEADDRINUSE: return NetErrorKind::kAddressInUse;
    case WSAEWOULDBLOCK:
    case WSAETIMEDOUT: return NetErrorKind::kTimedOut;
    case WSAECONNRESET:
    case WSAECONNABORTED: return NetErrorKind::kReset;
    default: return NetErrorKind::kOther;
  }
}

uint32_t NetParseAddress(const char* text) { return inet_addr(text); }

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
  const DWORD hostSize = DWORD(size < kNetHostNameSize ? size : kNetHostNameSize);
  if (getnameinfo(reinterpret_cast<const sockaddr*>(&a), sizeof a, out, hostSize, service, sizeof service,
                  NI_NUMERICSERV) != 0) {
    out[0] = '\0';
    return 0;
  }
  return 1;
}
