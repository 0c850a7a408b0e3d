// The multicast receiver (beacons: the server is there, where and who it is)
// and the unicast receiver (update frames into the image). Sockets are held
// in atomics: whoever closes one first takes it out of its atomic, so a
// receiver that finds its socket gone ends without touching it again, and the
// socket is closed only after its receiver has ended. Each receiver owns a
// static receive buffer; at most one thread of each kind runs at a time.
#include "link/udp_receivers.h"

#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>

#include "base/event_log.h"
#include "base/timestamp.h"
#include "ipc/offset_image.h"
#include "link/frames.h"
#include "link/link_addresses.h"
#include "link/link_flags.h"
#include "link/net.h"
#include "link/receiver_thread.h"
#include "link/stray_beacons.h"

std::atomic<uint32_t> lastSenderAddress{0};
std::atomic<uint32_t> serverBeaconAddress{0};

namespace {

constexpr uint32_t kSliceMs = 100;         // how long a receiver waits before re-checking its flag
constexpr auto kErrorPause = std::chrono::milliseconds(10);  // after a failed receive, against a busy loop

std::atomic<NetSocket> multicastSocket{kNoSocket};
std::atomic<NetSocket> unicastSocket{kNoSocket};
std::atomic<uint32_t> socketLibraryStarts{0};  // NetStartup calls not yet cleaned up
ReceiverThread multicastReceiver;
ReceiverThread unicastReceiver;

// Beacons from hosts other than the configured server, after each opening.
// Opened by OpenUdp while no multicast receiver runs, then the receiver's.
StrayBeaconWatch strayBeacons;

// The line about other hosts' beacons, once their window has passed.
void LogStrayBeacons() {
  char hosts[kStrayHostsNamed * (kNetAddressTextSize + 2)];
  if (!strayBeacons.Due(MonotonicMs(), hosts, sizeof hosts)) return;
  char now[kTimestampSize];
  LogEvent("%s Beacons heard from %s, but the server is set to %s (see \"IP Address of server\")\n",
           FormatTimestamp(now), hosts, serverIpAddress);
}

// Written by the multicast receiver, copied by the supervisor; guarded by
// hostNameLock (held for one copy, never with another lock), so that a
// reader sees a whole name.
char serverHostName[kNetHostNameSize];
std::mutex hostNameLock;

// Address whose name serverHostName holds; 0 until the first beacon of a
// link passed the filter. Written by the multicast receiver, reset by OpenUdp
// while no multicast receiver runs.
uint32_t serverHostNameFor;

// The name is looked up once per link, for the first beacon that passes the
// filter, not for every beacon: a lookup cannot be interrupted, and closing
// the link waits for the multicast receiver, so a slow name service would
// hold every teardown and the shutdown.
void LookUpServerHostName(uint32_t address) {
  if (address == serverHostNameFor) return;
  static char found[kNetHostNameSize];  // multicast receiver only
  // Where the name service cannot be asked at all the lookup fails instead
  // of giving the numeric address; the dotted text stands in then too.
  if (NetLookupHostName(address, found, sizeof found) == 0) NetFormatAddress(address, found);
  std::lock_guard<std::mutex> hold(hostNameLock);
  std::memcpy(serverHostName, found, sizeof serverHostName);
  serverHostNameFor = address;
}

// One receive on s, waiting at most one slice (the socket's receive time
// limit): a blocking receive that the platform completes as soon as a
// datagram is there. The count received, or -1 (nothing yet, or an error:
// *failed says which).
int ReceiveSlice(NetSocket s, uint8_t* buffer, uint32_t* from, bool* failed) {
  const int n = NetRecvFrom(s, buffer, kReceiveBufferSize, from, nullptr);
  *failed = n == -1;
  return n < 0 ? -1 : n;
}

void MulticastReceiverThread() {
  static uint8_t buffer[kReceiveBufferSize];
  const NetSocket s = multicastSocket.load();
  while (s != kNoSocket && multicastReceiving.load() != 0 && multicastSocket.load() == s) {
    uint32_t from = 0;
    bool failed = false;
    const int n = ReceiveSlice(s, buffer, &from, &failed);
    if (multicastSocket.load() != s) break;  // closed under us: what woke us is no datagram
    if (n >= 0) TakeBeaconDatagram(buffer, n, from);
    LogStrayBeacons();
    if (failed) std::this_thread::sleep_for(kErrorPause);
  }
}

// Takes update frames from the socket that OpenUnicastSocket bound before
// the connection was made; without one (the bind failed) it ends at once.
void UnicastReceiverThread() {
  static uint8_t buffer[kReceiveBufferSize];
  const NetSocket s = unicastSocket.load();
  while (s != kNoSocket && unicastReceiving.load() != 0) {
    uint32_t from = 0;
    bool failed = false;
    const int n = ReceiveSlice(s, buffer, &from, &failed);
    if (unicastReceiving.load() == 0) break;  // stopped: what woke us is no datagram
    if (n >= 0) TakeUpdateDatagram(buffer, n, from);
    if (failed) std::this_thread::sleep_for(kErrorPause);
  }
}

// Takes multicastSocket out of use: leaves the group, wakes and waits for
// the multicast receiver, then closes the socket. Failures are ignored.
void RetireMulticastSocket() {
  const NetSocket s = multicastSocket.exchange(kNoSocket);
  if (s != kNoSocket) {
    NetLeaveGroup(s, NetParseAddress(kBeaconGroupText), NetParseAddress(localIpAddress));
    NetShutdownReceive(s);
  }
  multicastReceiver.Join();  // it finds its socket gone and ends
  NetClose(s);
}

}  // namespace

int SenderIsServer(uint32_t address) {
  char text[kNetAddressTextSize];
  NetFormatAddress(address, text);
  return std::strncmp(text, serverIpAddress, kAddressTextSize) == 0 ? 1 : 0;
}

void TakeBeaconDatagram(const uint8_t* bytes, int received, uint32_t from) {
  lastSenderAddress.store(from);
  Frame frame{};
  BadFrame bad{};
  if (SenderIsServer(from) == 0) {
    // Another host's beacon counts for nothing but the stray-beacon line.
    if (ValidateFrame(bytes, received, kMulticastFrames, &frame, &bad) == kFrameValid && frame.type == kTypeBeacon)
      strayBeacons.Beacon(from, false);
    return;
  }
  LookUpServerHostName(from);
  if (ValidateFrame(bytes, received, kMulticastFrames, &frame, &bad) != kFrameValid) {
    LogBadFrame(kMulticastFrames, bad);
    return;
  }
  if (frame.type != kTypeBeacon) {
    LogWrongType(kMulticastFrames, frame.type);
    return;
  }
  serverBeaconAddress.store(from);
  strayBeacons.Beacon(from, true);
  AddLinkActivity(1);
}

void TakeUpdateDatagram(const uint8_t* bytes, int received, uint32_t from) {
  lastSenderAddress.store(from);
  if (SenderIsServer(from) == 0) return;
  Frame frame{};
  BadFrame bad{};
  if (ValidateFrame(bytes, received, kUnicastFrames, &frame, &bad) != kFrameValid) {
    LogBadFrame(kUnicastFrames, bad);
    return;
  }
  if (frame.type != kTypeUpdate) {
    LogWrongType(kUnicastFrames, frame.type);
    return;
  }
  if (frame.size != 0 && unicastReceiving.load() != 0)
    ApplyUpdateRecords(frame.payload, frame.size / kUpdateRecordSize);
  AddLinkActivity(1);
}

int OpenUdp() {
  RetireMulticastSocket();  // normally CloseLink has done this already
  serverHostNameFor = 0;     // a new link looks the server's name up again
  if (NetStartup() == 0) return 0;
  socketLibraryStarts.fetch_add(1);
  const NetSocket s = NetUdpSocket();
  if (s == kNoSocket) return 0;
  char now[kTimestampSize];
  const uint32_t local = NetParseAddress(localIpAddress);
  if (NetBindMulticast(s, local, kBeaconPort) == 0) {
    LogEvent("%s Bind to %s:%u failed\n", FormatTimestamp(now), localIpAddress, unsigned(kBeaconPort));
    NetClose(s);
    return 0;
  }
  if (NetJoinGroup(s, NetParseAddress(kBeaconGroupText), local) == 0) {
    LogEvent("%s granting multicast to %s failed, wrong IP adress\n", FormatTimestamp(now), localIpAddress);
    NetClose(s);
    return 0;
  }
  LogEvent("%s granting multicast to %s\n", FormatTimestamp(now), localIpAddress);
  NetSetReceiveTimeLimit(s, kSliceMs);
  strayBeacons.Open(MonotonicMs());
  multicastSocket.store(s);
  return 1;
}

int StartMulticastReceiver() {
  multicastReceiving.store(0);  // an earlier receiver ends within a slice
  multicastReceiver.Join();
  multicastReceiving.store(1);
  return multicastReceiver.Start(MulticastReceiverThread);
}

void JoinMulticastReceiver() { multicastReceiver.Join(); }

void CopyServerHostName(char* out, size_t size) {
  if (size == 0) return;
  std::lock_guard<std::mutex> hold(hostNameLock);
  std::strncpy(out, serverHostName, size - 1);
  out[size - 1] = '\0';
}

void CloseUdp() {
  RetireMulticastSocket();
  for (uint32_t n = socketLibraryStarts.exchange(0); n > 0; --n) NetCleanup();
}

int OpenUnicastSocket() {
  if (unicastSocket.load() != kNoSocket) return 1;
  const NetSocket s = NetUdpSocket();
  if (s == kNoSocket) return 0;
  if (NetBind(s, NetParseAddress(localIpAddress), kUpdatePort) == 0) {
    NetClose(s);  // silent: the TCP link goes on without update frames
    return 0;
  }
  NetSetReceiveTimeLimit(s, kSliceMs);
  unicastSocket.store(s);
  return 1;
}

int StartUnicastReceiver() {
  unicastReceiving.store(1);
  return unicastReceiver.Start(UnicastReceiverThread);
}

void StopUnicastReceiver() {
  unicastReceiving.store(0);
  const NetSocket s = unicastSocket.load();
  if (s != kNoSocket) NetShutdownReceive(s);  // wakes a POSIX receive at once
  unicastReceiver.Join();
  NetClose(unicastSocket.exchange(kNoSocket));
}
