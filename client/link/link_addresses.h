// The two addresses the link works with, as dotted text: the local interface
// that the UDP sockets bind to and that joins the beacon group, and the
// server whose beacons are taken and whose listener the TCP link connects
// to. Written once by the settings reader at start-up, before any link
// thread exists; read-only afterwards.
#pragma once

#include <cstddef>

inline constexpr size_t kAddressTextSize = 100;

// Written by the settings reader at start-up, before the connection status
// thread starts; read by the link from then on.
extern char localIpAddress[kAddressTextSize];   // "IP Address of THIS PC"
extern char serverIpAddress[kAddressTextSize];  // "IP Address of server"
