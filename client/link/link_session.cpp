// The link's opening and closing over the choice of addresses. The socket
// library is started once per opening and cleaned up by the closing; an
// opening that fails cleans up its own start.
#include "link/link_session.h"

#include <atomic>
#include <cstdio>

#include "base/event_log.h"
#include "base/protocol.h"
#include "base/timestamp.h"
#include "link/link_addresses.h"
#include "link/link_choice.h"
#include "link/name_lookup.h"
#include "link/net.h"
#include "link/tcp_link.h"
#include "link/udp_receivers.h"

namespace {

constexpr int kAdaptersAsked = 2 * kMaxAdapters;

std::atomic<uint32_t> socketLibraryStarts{0};  // NetStartup calls not yet cleaned up

NameLookup serverLookup;     // the address of the server's name
bool serverLookupAsked = false;  // a question of this opening not yet answered
NameLookup hostNameLookup;   // the host name of the server's address
uint32_t hostNameAskedFor = 0;

void AskHostName(uint32_t server) {
  if (server == 0 || server == hostNameAskedFor) return;
  hostNameAskedFor = server;
  hostNameLookup.AskName(server);
}

}  // namespace

void ConfigureLink() { linkChoice.Configure(ParseLocalSetting(localIpAddress), ParseServerSetting(serverIpAddress)); }

namespace {

// Binds s to the beacon port (on the set address of this PC, or on any) and
// joins the group on each of listen[0..count), the joins that held into
// joinedOn; *bound tells whether the bind held. Returns how many joins held;
// 0 is a failure, logged unless quiet.
int BindAndJoin(NetSocket s, const uint32_t* listen, int count, uint32_t* joinedOn, int quiet, bool* bound) {
  char now[kTimestampSize];
  const bool fixed = linkChoice.LocalSetting().kind == SettingKind::kAddress;
  if (NetBindMulticast(s, fixed ? listen[0] : kNetAnyAddress, kBeaconPort) == 0) {
    if (!quiet)
      LogEvent("%s Bind to %s:%u failed\n", FormatTimestamp(now), fixed ? localIpAddress : "0.0.0.0",
               unsigned(kBeaconPort));
    return 0;
  }
  *bound = true;
  int joined = 0;
  for (int i = 0; i < count; ++i)
    if (NetJoinGroup(s, NetParseAddress(kBeaconGroupText), listen[i]) != 0) joinedOn[joined++] = listen[i];
  if (joined == 0 && !quiet) {
    if (fixed)
      LogEvent("%s granting multicast to %s failed, wrong IP adress\n", FormatTimestamp(now), localIpAddress);
    else
      LogEvent("%s No address of this PC to listen for the server on yet; trying again\n", FormatTimestamp(now));
  }
  return joined;
}

}  // namespace

int OpenUdp(int quiet) {
  CloseUdp();  // the previous opening's receiver has ended before the choice is made anew
  if (NetStartup() == 0) return 0;
  uint32_t adapters[kAdaptersAsked];
  uint32_t listen[kMaxAdapters];
  const int listening = linkChoice.Open(adapters, NetLocalAddresses(adapters, kAdaptersAsked), listen);
  serverLookupAsked = false;

  const NetSocket s = NetUdpSocket();
  uint32_t joinedOn[kMaxAdapters];
  bool bound = false;
  const int joined = s == kNoSocket ? 0 : BindAndJoin(s, listen, listening, joinedOn, quiet, &bound);
  if (joined == 0) {
    NetClose(s);
    NetCleanup();
    return bound && linkChoice.LocalSetting().kind == SettingKind::kAuto ? kUdpNoAddressYet : 0;
  }
  socketLibraryStarts.fetch_add(1);
  char now[kTimestampSize], list[kMaxAdapters * (kNetAddressTextSize + 2)];
  LogEvent("%s granting multicast to %s\n", FormatTimestamp(now),
           linkChoice.LocalSetting().kind == SettingKind::kAddress
               ? localIpAddress
               : NetFormatAddressList(joinedOn, joined, list, sizeof list));
  TakeMulticastSocket(s, joinedOn, joined);
  return 1;
}

void FindServer() {
  if (linkChoice.ServerSetting().kind != SettingKind::kName) return;
  char now[kTimestampSize];
  if (serverLookupAsked) {
    uint32_t address = 0;
    char reason[256];
    const LookupState state = serverLookup.Answer(&address, reason, sizeof reason);
    if (state == LookupState::kFound) {
      serverLookupAsked = false;
      linkChoice.LookupFound(address);
      char text[kNetAddressTextSize];
      LogEvent("%s Server %s is %s\n", FormatTimestamp(now), serverIpAddress, NetFormatAddress(address, text));
    } else if (state == LookupState::kFailed) {
      serverLookupAsked = false;
      linkChoice.LookupFailed(MonotonicMs());
      LogEvent("%s Cannot find server %s: %s\n", FormatTimestamp(now), serverIpAddress, reason);
    }
  }
  if (linkChoice.LookupDue(MonotonicMs())) {
    serverLookup.AskAddress(serverIpAddress);
    serverLookupAsked = true;
  }
}

int ConnectLink(uint32_t server) {
  AskHostName(server);
  const bool automatic = linkChoice.LocalSetting().kind == SettingKind::kAuto;
  uint32_t route = 0;
  if (automatic) NetRouteSource(server, &route);
  CloseTcpSocket();  // an earlier connection's receivers end, and its unicast socket with them
  OpenUnicastSocket(linkChoice.ReceiveAddress(route));  // kept over failed attempts
  uint32_t localEnd = 0;
  if (ConnectToServer(server, &localEnd) == 0) return 0;
  linkChoice.Connected(localEnd);
  if (automatic) {
    char now[kTimestampSize], text[kNetAddressTextSize];
    LogEvent("%s This PC's address towards the server: %s\n", FormatTimestamp(now), NetFormatAddress(localEnd, text));
  }
  return 1;
}

namespace {

// A failed try at the server; why is the line's word for it.
int TryFailed(const char* why) {
  const uint32_t server = linkChoice.Server();
  uint32_t backOffMs = 0;
  if (linkChoice.TryFailed(MonotonicMs(), &backOffMs) != TryVerdict::kGivenUp) return 0;
  char now[kTimestampSize], text[kNetAddressTextSize];
  LogEvent("%s Server %s %s; trying another for %u s\n", FormatTimestamp(now), NetFormatAddress(server, text), why,
           unsigned(backOffMs / 1000));
  return 1;
}

}  // namespace

int ServerTakesNoConnection() { return TryFailed("takes no connection"); }

void LinkEnded() {
  if (ConnectionBroughtData() != 0)
    linkChoice.LinkHeld();
  else
    TryFailed("gives no data");
}

void CopyServerHostName(char* out, size_t size) {
  if (size == 0) return;
  const uint32_t server = linkChoice.Server();
  AskHostName(server);
  uint32_t about = 0;
  char name[kNetHostNameSize];
  if (hostNameLookup.Answer(&about, name, sizeof name) == LookupState::kFound && about == server && name[0] != '\0') {
    std::snprintf(out, size, "%s", name);
    return;
  }
  char text[kNetAddressTextSize];
  std::snprintf(out, size, "%s", NetFormatAddress(server, text));
}

int ThisPcGone(uint32_t* address) {
  uint32_t adapters[kAdaptersAsked];
  const int count = NetLocalAddresses(adapters, kAdaptersAsked);
  *address = linkChoice.ThisPc();
  return count >= 0 && linkChoice.ThisPcGone(adapters, count) ? 1 : 0;
}

int ListenAddressesChanged() {
  uint32_t adapters[kAdaptersAsked];
  const int count = NetLocalAddresses(adapters, kAdaptersAsked);
  return count >= 0 && linkChoice.ListenAddressesChanged(adapters, count) ? 1 : 0;
}

int CloseLink() {
  char now[kTimestampSize];
  LogEvent("%s Closing connection to server OK\n", FormatTimestamp(now));
  CloseTcpSocket();
  StopUnicastReceiver();  // a socket bound for an attempt that never got its receiver
  CloseUdp();
  for (uint32_t n = socketLibraryStarts.exchange(0); n > 0; --n) NetCleanup();
  return 1;
}
