// What the status window shows, as one value: the connection supervisor
// fills it each tick and publishes it on its link's StatusBoard; the window
// takes a copy when it paints and formats the five lines from it. Nothing
// here is window text until FormatStatusLine makes it so.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>

#include "ipc/image_access.h"
#include "link/net.h"

// Connection states of the supervisor, with the values and names the event
// log uses.
enum ConnectionState : uint32_t {
  kNotConnected = 0,     // NOT_CONNECTED: UDP open, waiting for beacons
  kUdpConnected = 3,     // UDP_CONNECTED: beacons seen, connecting TCP every tick
  kUdpTcpConnected = 4,  // UDP_TCP_CONNECTED: link up, watching its activity
  kInit = 5,             // INIT: open UDP
  kDeinit = 6,           // DEINIT: close the link, then INIT again
};

// The state's name as the log writes it ("INIT", "UDP_TCP_CONNECTED", ...).
const char* ConnectionStateName(uint32_t state);

// What the connection line says.
enum class ConnectionShown : uint8_t {
  kNothing,    // no link yet
  kConnected,  // "Connected to Server <serverName>"
  kLost,       // "Connection to Server lost..."
};

// What the UDP line says.
enum class UdpShown : uint8_t {
  kNothing,
  kNoAddressYet,  // this PC set to auto has no address to listen on yet
  kCannotStart,   // the UDP sockets could not be opened
  kBeacons,       // waiting for beacons: udpRate
  kBeaconsFrom,   // beacons heard, connecting: udpRate from sender
  kLinkTraffic,   // the link is up: udpRate from sender, dataRate
};

struct LinkStatus {
  uint32_t state = kInit;  // a ConnectionState
  ConnectionShown connection = ConnectionShown::kNothing;
  // The server's host name once the name service has given it, its dotted
  // address until then.
  char serverName[kNetHostNameSize] = "";
  UdpShown udp = UdpShown::kNothing;
  uint32_t udpRate = 0;  // link activity per second (beacons, blocks, update frames)
  uint32_t sender = 0;   // the server of the link, or before one is known the last sender heard
  double dataRate = 0.0;
  // The request, read and write lines show figures once the link has been up
  // (they keep the last ones after it went down).
  bool counted = false;
  AccessCounts counts;  // totals
  AccessCounts rates;   // per second
};

enum StatusLineId { kConnectionLine, kRequestLine, kReadLine, kWriteLine, kUdpLine, kStatusLineCount };

inline constexpr size_t kStatusLineSize = 1024;  // connection, request, read and write lines
inline constexpr size_t kUdpLineSize = 2048;     // the UDP line

// The text of one line of status (NUL-terminated, cut to the line's size and
// to outSize - 1); returns its character count.
uint32_t FormatStatusLine(const LinkStatus& status, StatusLineId id, char* out, size_t outSize);

// The last status published: written by the supervisor, copied by the
// painter, each under the board's lock for one copy (never with another lock).
class StatusBoard {
 public:
  void Publish(const LinkStatus& status) {
    std::lock_guard<std::mutex> hold(lock_);
    status_ = status;
  }
  LinkStatus Snapshot() const {
    std::lock_guard<std::mutex> hold(lock_);
    return status_;
  }

 private:
  mutable std::mutex lock_;
  LinkStatus status_;
};
