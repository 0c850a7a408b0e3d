// The watch over beacons from hosts other than the configured server.
#include "link/stray_beacons.h"

#include "link/net.h"

void StrayBeaconWatch::Open(uint64_t nowMs) {
  openedMs_ = nowMs;
  open_ = true;
  serverHeard_ = false;
  hostCount_ = 0;
}

void StrayBeaconWatch::Beacon(uint32_t from, bool fromServer) {
  if (!open_) return;
  if (fromServer) {
    serverHeard_ = true;
    return;
  }
  for (int i = 0; i < hostCount_; ++i)
    if (hosts_[i] == from) return;
  if (hostCount_ < kStrayHostsNamed) hosts_[hostCount_++] = from;
}

bool StrayBeaconWatch::Due(uint64_t nowMs, char* hosts, size_t size) {
  if (!open_ || nowMs - openedMs_ < kStrayBeaconWindowMs) return false;
  open_ = false;
  if (serverHeard_ || hostCount_ == 0 || size == 0) return false;
  NetFormatAddressList(hosts_, hostCount_, hosts, size);
  return true;
}
