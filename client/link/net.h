// The socket seam: the few IPv4 socket operations the link (and the server
// simulator) use, with one Winsock implementation (net_win32.cpp) and one
// POSIX implementation (net_posix.cpp). Callers see an opaque socket number,
// never a platform header. The single socket calls give small integers as
// the platform's calls do, and keep the platform's reason for a failure
// (NetLastError); a caller that reports a failure turns it into a Status with
// the platform's words at once (NetFailure). The calls made of several steps
// (NetConnect, NetLookupAddress) return a Status themselves.
// Addresses are IPv4 in network byte order (as inet_addr gives them; the
// text "10.0.0.1" is the uint32_t whose first byte in memory is 10); ports
// are in host order. Every function may be called from any thread; one
// socket may be used by one receiving and one sending thread at once.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "base/result.h"

using NetSocket = intptr_t;                      // opaque; Winsock SOCKET or POSIX descriptor
inline constexpr NetSocket kNoSocket = -1;       // "holds no socket"
inline constexpr uint32_t kNetNoAddress = 0xFFFFFFFFu;  // what NetParseAddress gives for bad text
inline constexpr uint32_t kNetAnyAddress = 0;    // INADDR_ANY
inline constexpr size_t kNetAddressTextSize = 16;   // "255.255.255.255" and the NUL
inline constexpr size_t kNetHostNameSize = 1025;    // the largest host name a lookup gives, with NUL

// Socket library start-up and clean-up, paired like WSAStartup (version 2.2)
// and WSACleanup; calls nest. Start-up returns 1 or 0. POSIX: no-ops (1).
int NetStartup();
void NetCleanup();

// New IPv4 sockets: datagram/UDP or stream/TCP, blocking. kNoSocket on failure.
NetSocket NetUdpSocket();
NetSocket NetTcpSocket();

// Closes the socket; kNoSocket is ignored. Wake a thread blocked in a
// receive on it first (NetCancelReceive) and let it end: a closed handle may
// be reused by the next socket at once.
void NetClose(NetSocket s);

// shutdown() of both directions (SD_BOTH / SHUT_RDWR): the peer of a stream
// sees its end. 1 done, 0 failed.
int NetShutdownBoth(NetSocket s);

// Wakes a thread blocked in a receive on s (NetRecv, NetRecvFrom) without
// closing s, so that the socket's handle stays ours until its receiver has
// ended: Winsock cancels the receive (CancelIoEx), POSIX shuts reception
// down (SHUT_RD). The woken receive gives 0 or -1. A receive that starts
// after the call may block again on Winsock, where nothing of it stays:
// call it again until the receiver has ended. 1 done, 0 failed.
int NetCancelReceive(NetSocket s);

// Binds to address:port. 1 bound, 0 failed.
int NetBind(NetSocket s, uint32_t address, uint16_t port);

// Binds a UDP socket that is to receive a multicast group's datagrams
// arriving on the interface of interfaceAddress, port. Winsock binds the
// interface address itself; POSIX, where a socket bound to a unicast address
// filters out group datagrams, checks that interfaceAddress is an address of
// this host and binds INADDR_ANY (and, on Linux, takes only the groups this
// socket joined). 1 bound, 0 failed (the address is not ours, the port is busy).
int NetBindMulticast(NetSocket s, uint32_t interfaceAddress, uint16_t port);

// IP_ADD_MEMBERSHIP / IP_DROP_MEMBERSHIP of group on the interface of
// interfaceAddress. 1 done, 0 failed.
int NetJoinGroup(NetSocket s, uint32_t group, uint32_t interfaceAddress);
int NetLeaveGroup(NetSocket s, uint32_t group, uint32_t interfaceAddress);

// Options for sending to a multicast group: the outgoing interface
// (IP_MULTICAST_IF), the TTL and whether this host's own sockets get a copy
// (IP_MULTICAST_LOOP). 1 set, 0 failed.
int NetSetMulticastInterface(NetSocket s, uint32_t interfaceAddress);
int NetSetMulticastTtl(NetSocket s, uint32_t ttl);
int NetSetMulticastLoop(NetSocket s, uint32_t on);

// SO_REUSEADDR, for a listener that must bind again at once after a restart.
int NetSetReuseAddress(NetSocket s);

// TCP_NODELAY on a connected stream socket: every send leaves at once
// instead of waiting for the peer's acknowledgement of earlier data. Set it
// once connected (one platform drops it when set before a non-blocking
// connect). 1 set, 0 failed.
int NetSetNoDelay(NetSocket s);

// SO_SNDTIMEO: how long one NetSend on the socket may wait for the platform
// to take its bytes. Set it once per socket, not before every send (on some
// platforms each option call is a round trip of its own). 1 set, 0 failed.
int NetSetSendTimeLimit(NetSocket s, uint32_t ms);

// SO_RCVTIMEO: how long one NetRecvFrom on a datagram socket may wait for a
// datagram before it gives kNetTimedOut. (On a stream socket Winsock leaves
// the connection in an undefined state after such a time-out.) 1 set, 0
// failed.
int NetSetReceiveTimeLimit(NetSocket s, uint32_t ms);
inline constexpr int kNetTimedOut = -2;  // NetRecvFrom: the receive time limit ran out

// The address and port the socket is bound to (after bind with port 0, or
// after connect). 1 with *address and *port filled, 0 failed.
int NetLocalName(NetSocket s, uint32_t* address, uint16_t* port);

// listen() with the given backlog: 1 or 0. NetAccept blocks until a
// connection arrives and returns its socket (blocking) and the peer's address
// and port (either pointer may be null), or kNoSocket on failure.
int NetListen(NetSocket s, int backlog);
NetSocket NetAccept(NetSocket s, uint32_t* fromAddress, uint16_t* fromPort);

// A connection attempt in two halves, so that the caller decides how long to
// wait and can give up between waits (see NetConnect). NetConnectStart makes
// the socket non-blocking and starts connecting: 1 connected at once, 0 under
// way, -1 failed. NetConnectWait waits up to waitMs for the attempt to end:
// 1 connected (the socket is blocking again), 0 still under way, -1 failed.
int NetConnectStart(NetSocket s, uint32_t address, uint16_t port);
int NetConnectWait(NetSocket s, uint32_t waitMs);

// Sends size bytes on a blocking socket, waiting for the platform to take
// them no longer than the socket's send time limit (NetSetSendTimeLimit;
// without one, as long as it takes). Returns size when everything went out,
// a smaller count when the platform took only part of it, -1 on an error or
// when the time ran out. Never raises SIGPIPE.
int NetSend(NetSocket s, const uint8_t* data, uint32_t size);

// Sends one datagram to address:port. The count sent, or -1.
int NetSendTo(NetSocket s, const uint8_t* data, uint32_t size, uint32_t address, uint16_t port);

// Waits up to waitMs until a receive on the socket would not block (data, a
// datagram, the peer's close, a shutdown or an error). 1 ready, 0 timed out,
// -1 failed (for instance on a closed socket).
int NetWaitReadable(NetSocket s, uint32_t waitMs);

// recv(): up to size bytes. The count received, 0 when the peer closed the
// stream (or the socket was shut down), -1 on an error.
int NetRecv(NetSocket s, uint8_t* buffer, uint32_t size);

// recvfrom(): one datagram of up to size bytes (a longer one is cut), with
// its source address and port (either pointer may be null). The count
// received (0 for an empty datagram or a shut-down socket), kNetTimedOut when
// the socket's receive time limit ran out, -1 on an error.
int NetRecvFrom(NetSocket s, uint8_t* buffer, uint32_t size, uint32_t* fromAddress, uint16_t* fromPort);

// Dotted text to an address with inet_addr's rules (so "10.0.0.040" is
// 10.0.0.32 and "1.2.3" is 1.2.0.3); kNetNoAddress for text it rejects.
uint32_t NetParseAddress(const char* text);

// The address as dotted text ("10.0.0.1") in out, which holds at least
// kNetAddressTextSize bytes; thread-safe. Returns out.
char* NetFormatAddress(uint32_t address, char* out);

// The host name of address by getnameinfo (NI_NUMERICSERV) into out (size
// bytes, at most kNetHostNameSize are used), NUL-terminated. Where no name is
// known the platform gives the numeric address. May wait for the name
// service. 1 found, 0 failed (out then holds "").
int NetLookupHostName(uint32_t address, char* out, size_t size);

// The address of name (a host name or dotted text) by getaddrinfo (IPv4):
// done with *address filled, or kFailed with the platform's reason as the
// status's text. May wait for the name service as long as the platform lets
// it.
Status NetLookupAddress(const char* name, uint32_t* address);

// This host's IPv4 unicast addresses on adapters that are up, other than
// loopback (127.x.x.x), up to max of them, in the platform's order, into out.
// Returns the count (0 when there is none), or -1 when the platform cannot
// tell.
int NetLocalAddresses(uint32_t* out, int max);

// addresses[0..count) as dotted text with ", " between them into out (size
// bytes, cut to fit, NUL-terminated; "" for none). Returns out. Core logic,
// the same on every platform.
inline char* NetFormatAddressList(const uint32_t* addresses, int count, char* out, size_t size) {
  if (size == 0) return out;
  out[0] = '\0';
  size_t used = 0;
  for (int i = 0; i < count && used < size; ++i) {
    char text[kNetAddressTextSize];
    const int n =
        std::snprintf(out + used, size - used, "%s%s", i == 0 ? "" : ", ", NetFormatAddress(addresses[i], text));
    if (n < 0) break;
    used += size_t(n);
  }
  return out;
}

// Why the calling thread's most recent failed call above failed: the
// platform's own code (WSAGetLastError on Windows, errno on POSIX), taken at
// the failure; calls that succeed leave it. 0 before the thread's first
// failure. For log lines and diagnostics that name the reason; the results
// above stay the small integers they are.
int NetLastError();

// The reasons that callers and tests tell apart, from either platform's code.
enum class NetErrorKind { kOther, kRefused, kAddressNotAvailable, kAddressInUse, kTimedOut, kReset };
NetErrorKind NetErrorKindOf(int code);

// The platform's words for code (strerror, FormatMessage), without a
// trailing period or line end, into out (size bytes, NUL-terminated).
// Returns out.
char* NetErrorWords(int code, char* out, size_t size);

// The calling thread's last failure as a status: kFailed, its text the
// printf-style what, ": " and the platform's words for NetLastError(). Core
// logic, the same on every platform.
#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
inline Status NetFailure(const char* format, ...) {
  char what[Status::kTextSize], words[Status::kTextSize];
  va_list args;
  va_start(args, format);
  std::vsnprintf(what, sizeof what, format, args);
  va_end(args);
  return Status::Failure(Outcome::kFailed, "%s: %s", what, NetErrorWords(NetLastError(), words, sizeof words));
}

// The address of this host that a datagram to address would leave from (the
// route's source), found without sending anything: a datagram socket's
// connect only picks the route. 1 with *source filled, 0 when there is no
// route. Core logic, the same on every platform.
inline int NetRouteSource(uint32_t address, uint32_t* source) {
  const NetSocket s = NetUdpSocket();
  if (s == kNoSocket) return 0;
  const int found = NetConnectStart(s, address, 9) == 1 && NetLocalName(s, source, nullptr) == 1 ? 1 : 0;
  NetClose(s);
  return found;
}

// A bounded connection attempt built on the two halves above: waits in
// slices of sliceMs for at most timeLimitMs, and gives up early once
// *keepGoing reads 0 (keepGoing may be null). Done when connected; kFailed
// with the platform's reason ("connection refused", say), "no answer within
// N ms", or "given up". Core logic, the same on every platform.
inline Status NetConnect(NetSocket s, uint32_t address, uint16_t port, uint32_t timeLimitMs,
                         const std::atomic<uint32_t>* keepGoing, uint32_t sliceMs = 100) {
  int state = NetConnectStart(s, address, port);
  for (uint32_t waited = 0; state == 0 && waited < timeLimitMs; waited += sliceMs) {
    if (keepGoing != nullptr && keepGoing->load() == 0) return Status::Failure(Outcome::kFailed, "given up");
    const uint32_t rest = timeLimitMs - waited;
    state = NetConnectWait(s, rest < sliceMs ? rest : sliceMs);
  }
  if (state == 1) return Status::Done();
  if (state == 0) return Status::Failure(Outcome::kFailed, "no answer within %u ms", unsigned(timeLimitMs));
  char words[Status::kTextSize];
  return Status::Failure(Outcome::kFailed, "%s", NetErrorWords(NetLastError(), words, sizeof words));
}
