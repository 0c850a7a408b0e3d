// Opening and closing the link, and what the connection status thread asks
// of it in between: the addresses chosen at each opening (linkChoice), the
// beacon socket joined on them, the server's name looked up, the connection
// made from the address that faces the server, the server's host name for
// the window, and whether this PC's addresses are still there. Everything
// here runs on the connection status thread (ConfigureLink at start-up);
// name lookups run on threads of their own and never hold it up.
#pragma once

#include <cstddef>
#include <cstdint>

// Start-up, once the settings are read: the two settings into linkChoice.
void ConfigureLink();

// What OpenUdp gives with this PC's address set to auto when no address of
// this PC could join the group: it has none yet (an adapter reconnecting, a
// DHCP change), which fixes itself.
inline constexpr int kUdpNoAddressYet = -1;

// Starts the socket library, chooses the addresses of this opening and opens
// the beacon socket: bound to port 54942 (on the set address of this PC, or
// on any with auto) and a member of 239.192.0.10 on each address it listens
// on. Returns 1 opened, 0 failed, kUdpNoAddressYet; a failure leaves nothing
// open and is logged unless quiet (the retries after a failed opening).
int OpenUdp(int quiet);

// With the server set by name: asks for its address when a lookup is due and
// takes the answer when it is in ("Server %s is %s", "Cannot find server
// %s: %s"). Nothing to do otherwise.
void FindServer();

// Connects to server from the address that faces it, with the unicast port
// bound there first; asks for the server's host name on the way. With this
// PC's address set to auto, logs the address connected from. 1 connected, 0
// failed.
int ConnectLink(uint32_t server);

// The server of this link failed a try: it refused or did not answer the
// connection. After kTriesBeforeGivingUp in a row (server set to auto or by
// name) it is given up for its back-off, with a line that says so, and the
// choice passes to another host heard (auto) or to a new lookup (a name).
// Returns 1 when it was given up.
int ServerTakesNoConnection();

// The link to the server has ended: a link that brought data clears the
// server's record; one that brought none counts as a failed try, as above.
void LinkEnded();

// The server's host name for the window: the name once the name service has
// given it, the dotted address until then (and where it gives none).
void CopyServerHostName(char* out, size_t size);

// 1 when this PC's address of the link (put into *address) was among the
// adapters at the opening and is gone from them now.
int ThisPcGone(uint32_t* address);

// 1 when an opening now would listen on other addresses than this one does.
int ListenAddressesChanged();

// Closes the link: logs "%s Closing connection to server OK", closes the TCP
// connection and the unicast socket, leaves the group and closes the beacon
// socket, cleans up the socket library. Every receiver has ended when it
// returns. Always returns 1.
int CloseLink();
