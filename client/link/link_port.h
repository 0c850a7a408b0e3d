// What the connection supervisor asks of the link: the Link does it, the
// supervisor's tests record it. Everything here is called on the connection
// status thread.
#pragma once

#include <cstddef>
#include <cstdint>

#include "link/link_status.h"

// What Open gives with this PC's address set to auto when no address of this
// PC could join the group: it has none yet (an adapter reconnecting, a DHCP
// change), which fixes itself.
inline constexpr int kUdpNoAddressYet = -1;

// How a try at connecting to the server went.
enum class ConnectResult {
  kNoServer,  // no server known yet (no beacon, no address for the name)
  kRefused,   // the server refused or did not answer: a failed try, counted
  kStopping,  // connected while the shutdown began: no receiver, the ending closes it
  kUp,        // the link is up: write batches go out, the TCP receiver runs, beacons stopped
};

class LinkPort {
 public:
  // Opens the beacon socket on the addresses chosen for this opening and
  // starts its receiver. quiet: a retry after a failed opening, which writes
  // no lines. 1 opened, 0 failed, kUdpNoAddressYet.
  virtual int Open(int quiet) = 0;
  // While waiting for beacons: the server's name looked up when one is due.
  virtual void FindServer() = 0;
  // One try at the server of the link (a name given up is looked up again).
  virtual ConnectResult Connect() = 0;
  // The server of the link, 0 while not known.
  virtual uint32_t Server() = 0;
  // The address the window and the closing line name: the server, or before
  // one is known the last sender heard.
  virtual uint32_t ShownSender() = 0;
  // Whether write batches go out; TakeDown stops them (the link is lost).
  virtual bool Up() = 0;
  virtual void TakeDown() = 0;
  // Closes everything: logs "Closing connection to server OK", every receiver
  // has ended when it returns, the server of a link that was up is ranked by
  // what the link brought, and the writes that waited for their echo are
  // given up.
  virtual void Close() = 0;
  virtual void CopyServerHostName(char* out, size_t size) = 0;
  // This PC's IPv4 addresses: the count put into out.
  virtual int LocalAddresses(uint32_t* out, int max) = 0;
  // 1 when this PC's address of the link (into *address) is gone from its
  // adapters; 1 when an opening now would listen on other addresses.
  virtual int ThisPcGone(uint32_t* address) = 0;
  virtual int ListenAddressesChanged() = 0;
  // What the status window shows from now on.
  virtual void Publish(const LinkStatus& status) = 0;

 protected:
  ~LinkPort() = default;
};
