// The link as the gateway's host: its status and its write batches.
#pragma once

#include "link/link.h"
#include "web/gateway_session.h"

class LinkHost final : public GatewayHost {
 public:
  explicit LinkHost(Link& link) : link_(link) {}
  LinkStatus Status() override { return link_.CurrentStatus(); }
  WriteBatchSender& Writes() override { return link_.Writes(); }

 private:
  Link& link_;
};
