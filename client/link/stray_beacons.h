// Beacons from the wrong host: for the first seconds after the UDP sockets
// open, the multicast receiver notes every host whose beacons it hears other
// than the configured server. If none of the server's own came in that time,
// one event-log line names those hosts beside the server's setting, the
// commonest reason why a client never connects. Multicast receiver only (and
// the link's opening, while no receiver runs).
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr uint64_t kStrayBeaconWindowMs = 5000;
inline constexpr int kStrayHostsNamed = 8;  // hosts a line names at most

class StrayBeaconWatch {
 public:
  // The UDP sockets opened at nowMs: a new watch, with nothing heard.
  void Open(uint64_t nowMs);
  // A beacon from the configured server (fromServer) or from another host.
  void Beacon(uint32_t from, bool fromServer);
  // Once the window has passed: true, once per opening, when other hosts
  // beaconed and the server did not; *hosts then holds their dotted
  // addresses, ", " between them, each once, in the order first heard.
  bool Due(uint64_t nowMs, char* hosts, size_t size);

 private:
  uint64_t openedMs_ = 0;
  bool open_ = false;  // between Open and the verdict
  bool serverHeard_ = false;
  int hostCount_ = 0;
  uint32_t hosts_[kStrayHostsNamed] = {};
};
