// The link's flags, shared between the connection supervisor, the receivers
// and the shutdown. Each is one whole 32-bit atomic value: whoever stops a
// thread clears its flag and closes the socket it blocks on. (programRunning
// and linkUp, which the other layers read too, are in base/shared_flags.h.)
#pragma once

#include <atomic>
#include <cstdint>

#include "base/shared_flags.h"

// Connection states of the supervisor, with the values and names the event
// log uses.
enum ConnectionState : uint32_t {
  kNotConnected = 0,     // NOT_CONNECTED: UDP open, waiting for beacons
  kUdpConnected = 3,     // UDP_CONNECTED: beacons seen, connecting TCP every tick
  kUdpTcpConnected = 4,  // UDP_TCP_CONNECTED: link up, watching its activity
  kInit = 5,             // INIT: open UDP
  kDeinit = 6,           // DEINIT: close the link, then INIT again
};

// A ConnectionState; set to INIT by the start-up before the supervisor's
// thread exists, then written by the supervisor alone; read by the status
// window.
extern std::atomic<uint32_t> connectionState;
// Each receiver goes on while its flag is set. Each flag is set by its Start
// function (StartTcpReceiver, StartMulticastReceiver, StartUnicastReceiver)
// once the receiver before has ended. tcpReceiving is cleared by the
// supervisor (DEINIT, its ending) and by the shutdown; multicastReceiving by
// the supervisor and by CloseUdp; unicastReceiving by StopUnicastReceiver
// alone.
extern std::atomic<uint32_t> tcpReceiving;
extern std::atomic<uint32_t> multicastReceiving;
extern std::atomic<uint32_t> unicastReceiving;

// The state's name as the log writes it ("INIT", "UDP_TCP_CONNECTED", ...).
const char* ConnectionStateName(uint32_t state);
