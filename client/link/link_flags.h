// Process-wide flags shared between the main thread, the connection
// supervisor and the receivers. Each is one whole 32-bit atomic value:
// whoever stops a thread clears its flag and closes the socket it blocks on.
#pragma once

#include <atomic>
#include <cstdint>

// Connection states of the supervisor, with the values and names the event
// log uses.
enum ConnectionState : uint32_t {
  kNotConnected = 0,     // NOT_CONNECTED: UDP open, waiting for beacons
  kUdpConnected = 3,     // UDP_CONNECTED: beacons seen, connecting TCP every tick
  kUdpTcpConnected = 4,  // UDP_TCP_CONNECTED: link up, watching its activity
  kInit = 5,             // INIT: open UDP
  kDeinit = 6,           // DEINIT: close the link, then INIT again
};

extern std::atomic<uint32_t> programRunning;      // cleared by the shutdown
extern std::atomic<uint32_t> connectionState;     // a ConnectionState; only the supervisor changes it
extern std::atomic<uint32_t> linkUp;              // 1 while the TCP link takes write batches
extern std::atomic<uint32_t> tcpReceiving;        // the TCP receiver goes on while set
extern std::atomic<uint32_t> multicastReceiving;  // the multicast receiver goes on while set
extern std::atomic<uint32_t> unicastReceiving;    // the unicast receiver goes on while set

// The state's name as the log writes it ("INIT", "UDP_TCP_CONNECTED", ...).
const char* ConnectionStateName(uint32_t state);
