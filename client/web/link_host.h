// The link as the gateway's host: its status, its write batches, and the
// address this PC has on the network it reaches the server by.
#pragma once

#include "link/link.h"
#include "link/net.h"
#include "web/gateway_session.h"

class LinkHost final : public GatewayHost {
 public:
  explicit LinkHost(Link& link) : link_(link) {}
  LinkStatus Status() override { return link_.CurrentStatus(); }
  WriteBatchSender& Writes() override { return link_.Writes(); }
  // The one facing the server once the link has chosen it, else the first
  // adapter's, else loopback.
  uint32_t ThisPcAddress() override {
    uint32_t address = link_.Choice().ThisPc();
    if (address == 0 && NetLocalAddresses(&address, 1) != 1) address = NetParseAddress("127.0.0.1");
    return address;
  }

 private:
  Link& link_;
};
