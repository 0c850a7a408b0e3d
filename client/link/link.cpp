// The link's opening, connection and closing over the choice of addresses.
// The socket library is started once per opening and cleaned up by the
// closing; an opening that fails cleans up its own start.
#include "link/link.h"

#include <cstdio>

#include "base/event_log.h"
#include "base/protocol.h"
#include "base/shared_flags.h"
#include "base/timestamp.h"
#include "ipc/offset_image.h"
#include "link/net.h"

namespace {

constexpr int kAdaptersAsked = 2 * kMaxAdapters;

}  // namespace

void Link::Configure(const char* thisPc, const char* server) {
  std::snprintf(thisPcSetting_, sizeof thisPcSetting_, "%s", thisPc);
  std::snprintf(serverSetting_, sizeof serverSetting_, "%s", server);
  choice_.Configure(ParseLocalSetting(thisPcSetting_), ParseServerSetting(serverSetting_));
}

void Link::AskHostName(uint32_t server) {
  if (server == 0 || server == hostNameAskedFor_) return;
  hostNameAskedFor_ = server;
  hostNameLookup_.AskName(server);
}

// Binds s to the beacon port (on the set address of this PC, or on any) and
// joins the group on each of listen[0..count), the joins that held into
// joinedOn; *bound tells whether the bind held. Returns how many joins held;
// 0 is a failure, logged unless quiet.
int Link::BindAndJoin(NetSocket s, const uint32_t* listen, int count, uint32_t* joinedOn, int quiet, bool* bound) {
  char now[kTimestampSize];
  const bool fixed = choice_.LocalSetting().kind == SettingKind::kAddress;
  if (NetBindMulticast(s, fixed ? listen[0] : kNetAnyAddress, kBeaconPort) == 0) {
    if (!quiet)
      LogEvent("%s Bind to %s:%u failed\n", FormatTimestamp(now), fixed ? thisPcSetting_ : "0.0.0.0",
               unsigned(kBeaconPort));
    return 0;
  }
  *bound = true;
  int joined = 0;
  for (int i = 0; i < count; ++i)
    if (NetJoinGroup(s, NetParseAddress(kBeaconGroupText), listen[i]) != 0) joinedOn[joined++] = listen[i];
  if (joined == 0 && !quiet) {
    if (fixed)
      LogEvent("%s granting multicast to %s failed, wrong IP adress\n", FormatTimestamp(now), thisPcSetting_);
    else
      LogEvent("%s No address of this PC to listen for the server on yet; trying again\n", FormatTimestamp(now));
  }
  return joined;
}

// Starts the socket library, chooses the addresses of this opening and opens
// the beacon socket: bound to port 54942 (on the set address of this PC, or
// on any with auto) and a member of 239.192.0.10 on each address it listens
// on; then its receiver.
int Link::Open(int quiet) {
  udp_.StopBeacons();  // the previous opening's receiver has ended before the choice is made anew
  if (NetStartup() == 0) return 0;
  uint32_t adapters[kAdaptersAsked];
  uint32_t listen[kMaxAdapters];
  const int listening = choice_.Open(adapters, NetLocalAddresses(adapters, kAdaptersAsked), listen);
  serverLookupAsked_ = false;

  const NetSocket s = NetUdpSocket();
  uint32_t joinedOn[kMaxAdapters];
  bool bound = false;
  const int joined = s == kNoSocket ? 0 : BindAndJoin(s, listen, listening, joinedOn, quiet, &bound);
  if (joined == 0) {
    NetClose(s);
    NetCleanup();
    return bound && choice_.LocalSetting().kind == SettingKind::kAuto ? kUdpNoAddressYet : 0;
  }
  ++socketLibraryStarts_;
  char now[kTimestampSize], list[kMaxAdapters * (kNetAddressTextSize + 2)];
  LogEvent("%s granting multicast to %s\n", FormatTimestamp(now),
           choice_.LocalSetting().kind == SettingKind::kAddress
               ? thisPcSetting_
               : NetFormatAddressList(joinedOn, joined, list, sizeof list));
  udp_.TakeMulticastSocket(s, joinedOn, joined);
  udp_.StartMulticastReceiver();
  return 1;
}

// With the server set by name: asks for its address when a lookup is due and
// takes the answer when it is in ("Server %s is %s", "Cannot find server
// %s: %s"). Nothing to do otherwise.
void Link::FindServer() {
  if (choice_.ServerSetting().kind != SettingKind::kName) return;
  char now[kTimestampSize];
  if (serverLookupAsked_) {
    uint32_t address = 0;
    char reason[256];
    const LookupState state = serverLookup_.Answer(&address, reason, sizeof reason);
    if (state == LookupState::kFound) {
      serverLookupAsked_ = false;
      choice_.LookupFound(address);
      char text[kNetAddressTextSize];
      LogEvent("%s Server %s is %s\n", FormatTimestamp(now), serverSetting_, NetFormatAddress(address, text));
    } else if (state == LookupState::kFailed) {
      serverLookupAsked_ = false;
      choice_.LookupFailed(MonotonicMs());
      LogEvent("%s Cannot find server %s: %s\n", FormatTimestamp(now), serverSetting_, reason);
    }
  }
  if (choice_.LookupDue(MonotonicMs())) {
    serverLookup_.AskAddress(serverSetting_);
    serverLookupAsked_ = true;
  }
}

Status Link::ConnectTo(uint32_t server) {
  AskHostName(server);
  const bool automatic = choice_.LocalSetting().kind == SettingKind::kAuto;
  uint32_t route = 0;
  if (automatic) NetRouteSource(server, &route);
  tcp_.Close();  // an earlier connection's receivers end, and its unicast socket with them
  udp_.OpenUnicastSocket(choice_.ReceiveAddress(route));  // kept over failed attempts
  uint32_t localEnd = 0;
  const Status connected = tcp_.Connect(server, &localEnd);
  if (!connected.ok()) return connected;
  choice_.Connected(localEnd);
  if (automatic) {
    char now[kTimestampSize], text[kNetAddressTextSize];
    LogEvent("%s This PC's address towards the server: %s\n", FormatTimestamp(now), NetFormatAddress(localEnd, text));
  }
  return connected;
}

// A failed try at the server; why is the line's word for it, reason (may be
// empty) what the platform said of the last try. After
// kTriesBeforeGivingUp in a row (server set to auto or by name) it is given up
// for its back-off, with a line that says so, and the choice passes to
// another host heard (auto) or to a new lookup (a name). Returns 1 when it
// was given up.
int Link::TryFailed(const char* why, const char* reason) {
  const uint32_t server = choice_.Server();
  uint32_t backOffMs = 0;
  if (choice_.TryFailed(MonotonicMs(), &backOffMs) != TryVerdict::kGivenUp) return 0;
  char now[kTimestampSize], text[kNetAddressTextSize];
  LogEvent("%s Server %s %s%s%s%s; trying another for %u s\n", FormatTimestamp(now), NetFormatAddress(server, text),
           why, reason[0] != '\0' ? " (" : "", reason, reason[0] != '\0' ? ")" : "", unsigned(backOffMs / 1000));
  return 1;
}

// The link is up before its receiver runs: a receiver that finds the
// connection closed at once takes it down, and that must stay so.
ConnectResult Link::Connect() {
  if (choice_.Server() == 0) FindServer();  // a name given up is looked up again
  const uint32_t server = choice_.Server();
  if (server == 0) return ConnectResult::kNoServer;
  const Status connected = ConnectTo(server);
  if (!connected.ok()) {
    if (programRunning.load() != 0) TryFailed("takes no connection", connected.text());
    return ConnectResult::kRefused;
  }
  // A connection made while the shutdown began gets no receiver: the shutdown
  // has already closed the TCP link, and the ending closes this socket.
  if (programRunning.load() == 0) return ConnectResult::kStopping;
  tcp_.SetUp();
  wasUp_ = true;
  tcp_.StartReceiver();
  udp_.StopBeacons();
  return ConnectResult::kUp;
}

uint32_t Link::ShownSender() {
  const uint32_t server = choice_.Server();
  return server != 0 ? server : udp_.LastSender();
}

void Link::CopyServerHostName(char* out, size_t size) {
  if (size == 0) return;
  const uint32_t server = choice_.Server();
  AskHostName(server);
  uint32_t about = 0;
  char name[kNetHostNameSize];
  if (hostNameLookup_.Answer(&about, name, sizeof name) == LookupState::kFound && about == server && name[0] != '\0') {
    std::snprintf(out, size, "%s", name);
    return;
  }
  char text[kNetAddressTextSize];
  std::snprintf(out, size, "%s", NetFormatAddress(server, text));
}

int Link::LocalAddresses(uint32_t* out, int max) { return NetLocalAddresses(out, max); }

int Link::ThisPcGone(uint32_t* address) {
  uint32_t adapters[kAdaptersAsked];
  const int count = NetLocalAddresses(adapters, kAdaptersAsked);
  *address = choice_.ThisPc();
  return count >= 0 && choice_.ThisPcGone(adapters, count) ? 1 : 0;
}

int Link::ListenAddressesChanged() {
  uint32_t adapters[kAdaptersAsked];
  const int count = NetLocalAddresses(adapters, kAdaptersAsked);
  return count >= 0 && choice_.ListenAddressesChanged(adapters, count) ? 1 : 0;
}

// The TCP connection and the unicast socket close, the beacon socket leaves
// the group and closes, the socket library is cleaned up. Local writes that
// still wait for their echo are given up: the lost link may never have
// delivered them, and the next server's blocks are the truth.
void Link::Close() {
  char now[kTimestampSize];
  LogEvent("%s Closing connection to server OK\n", FormatTimestamp(now));
  tcp_.TakeDown();
  tcp_.Close();
  udp_.StopUnicastReceiver();  // a socket bound for an attempt that never got its receiver
  udp_.StopBeacons();
  for (; socketLibraryStarts_ > 0; --socketLibraryStarts_) NetCleanup();
  if (wasUp_) {  // what the link brought decides how its server ranks
    wasUp_ = false;
    if (tcp_.BroughtData() != 0)
      choice_.LinkHeld();
    else
      TryFailed("gives no data", "");
  }
  ClearWriteMarks();
}
