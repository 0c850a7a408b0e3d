// The multicast receiver (beacons: the server is there, where and who it is)
// and the unicast receiver (update frames into the image). Each waits in one
// blocking receive per datagram, with no time limit: nothing wakes it but a
// datagram or its stopper. Sockets are held in atomics: whoever stops a
// receiver takes its socket out of the atomic, cancels the receive until the
// receiver has ended (it then finds its socket gone and touches it no more),
// and only then closes the socket, so its handle cannot be reused under the
// receiver. Each receiver owns a static receive buffer; at most one thread of
// each kind runs at a time.
#include "link/udp_receivers.h"

#include <chrono>
#include <cstring>
#include <thread>

#include "base/event_log.h"
#include "base/timestamp.h"
#include "ipc/offset_image.h"
#include "link/frames.h"
#include "link/link_addresses.h"
#include "link/link_choice.h"
#include "link/link_flags.h"
#include "link/net.h"
#include "link/receiver_thread.h"
#include "link/stray_beacons.h"

std::atomic<uint32_t> lastSenderAddress{0};

namespace {

constexpr auto kErrorPause = std::chrono::milliseconds(10);  // after a failed receive, against a busy loop

std::atomic<NetSocket> multicastSocket{kNoSocket};
std::atomic<NetSocket> unicastSocket{kNoSocket};
// The addresses multicastSocket joined the group on; written while no
// multicast receiver runs, read when the socket is retired.
uint32_t joinedOn[kMaxAdapters];
int joinedCount = 0;
ReceiverThread multicastReceiver;
ReceiverThread unicastReceiver;

// Beacons from hosts other than the configured server, after each opening.
// Opened by TakeMulticastSocket while no multicast receiver runs, then the
// receiver's.
StrayBeaconWatch strayBeacons;

// The line about other hosts' beacons, once their window has passed.
void LogStrayBeacons() {
  char hosts[kStrayHostsNamed * (kNetAddressTextSize + 2)];
  if (!strayBeacons.Due(MonotonicMs(), hosts, sizeof hosts)) return;
  char now[kTimestampSize];
  LogEvent("%s Beacons heard from %s, but the server is set to %s (see \"IP Address of server\")\n",
           FormatTimestamp(now), hosts, serverIpAddress);
}

// Runs take(datagram) for each datagram on s until keepGoing reads 0 or the
// socket is taken out of socketInUse. A failed receive pauses briefly, against
// a busy loop on a socket that keeps failing.
template <class Take>
void ReceiveDatagrams(const std::atomic<NetSocket>& socketInUse, const std::atomic<uint32_t>& keepGoing,
                      uint8_t* buffer, Take take) {
  const NetSocket s = socketInUse.load();
  while (s != kNoSocket && keepGoing.load() != 0 && socketInUse.load() == s) {
    uint32_t from = 0;
    const int n = NetRecvFrom(s, buffer, kReceiveBufferSize, &from, nullptr);
    if (keepGoing.load() == 0 || socketInUse.load() != s) break;  // stopped: what woke us is no datagram
    if (n >= 0) take(n, from);
    if (n < 0) std::this_thread::sleep_for(kErrorPause);
  }
}

// Takes s out of use: cancels the receive of receiver until it has ended,
// then closes s. Returns at once for kNoSocket and no receiver.
void StopReceiving(NetSocket s, ReceiverThread& receiver) {
  receiver.Join([s] {
    if (s != kNoSocket) NetCancelReceive(s);
  });
  NetClose(s);
}

void MulticastReceiverThread() {
  static uint8_t buffer[kReceiveBufferSize];
  ReceiveDatagrams(multicastSocket, multicastReceiving, buffer, [](int n, uint32_t from) {
    TakeBeaconDatagram(buffer, n, from);
    LogStrayBeacons();
  });
}

// Takes update frames from the socket that OpenUnicastSocket bound before
// the connection was made; without one (the bind failed) it ends at once.
void UnicastReceiverThread() {
  static uint8_t buffer[kReceiveBufferSize];
  ReceiveDatagrams(unicastSocket, unicastReceiving, buffer,
                   [](int n, uint32_t from) { TakeUpdateDatagram(buffer, n, from); });
}

// Takes multicastSocket out of use: leaves the group, stops the multicast
// receiver and closes the socket. Failures are ignored.
void RetireMulticastSocket() {
  multicastReceiving.store(0);
  const NetSocket s = multicastSocket.exchange(kNoSocket);
  if (s != kNoSocket)
    for (int i = 0; i < joinedCount; ++i) NetLeaveGroup(s, NetParseAddress(kBeaconGroupText), joinedOn[i]);
  StopReceiving(s, multicastReceiver);
}

// A beacon from a host other than the server: the line that names it (server
// set to auto), else the stray-beacon watch.
void TakeOtherBeacon(BeaconVerdict verdict, uint32_t from) {
  if (linkChoice.ServerSetting().kind != SettingKind::kAuto) {
    strayBeacons.Beacon(from, false);
    return;
  }
  if (verdict != BeaconVerdict::kOtherNew) return;
  char now[kTimestampSize], other[kNetAddressTextSize], server[kNetAddressTextSize];
  LogEvent("%s Beacons also heard from %s; staying with %s (set \"IP Address of server\" to choose)\n",
           FormatTimestamp(now), NetFormatAddress(from, other), NetFormatAddress(linkChoice.Server(), server));
}

}  // namespace

void TakeBeaconDatagram(const uint8_t* bytes, int received, uint32_t from) {
  lastSenderAddress.store(from);
  Frame frame{};
  BadFrame bad{};
  const bool valid = ValidateFrame(bytes, received, kMulticastFrames, &frame, &bad) == kFrameValid;
  if (!linkChoice.IsServer(from)) {
    // Only a valid beacon from an address a server can have can choose a
    // server or name a host; anything else from another host counts for
    // nothing.
    if (!valid || frame.type != kTypeBeacon || !CanBeServer(from)) return;
    const BeaconVerdict verdict = linkChoice.Beacon(from, MonotonicMs());
    if (verdict != BeaconVerdict::kChosen) {
      TakeOtherBeacon(verdict, from);
      return;
    }
    char now[kTimestampSize], server[kNetAddressTextSize];
    LogEvent("%s Server %s found by its beacons\n", FormatTimestamp(now), NetFormatAddress(from, server));
  }
  if (!valid) {
    LogBadFrame(kMulticastFrames, bad);
    return;
  }
  if (frame.type != kTypeBeacon) {
    LogWrongType(kMulticastFrames, frame.type);
    return;
  }
  strayBeacons.Beacon(from, true);
  AddLinkActivity(1);
}

void TakeUpdateDatagram(const uint8_t* bytes, int received, uint32_t from) {
  lastSenderAddress.store(from);
  if (!linkChoice.IsServer(from)) return;
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

void TakeMulticastSocket(NetSocket s, const uint32_t* joined, int count) {
  RetireMulticastSocket();  // normally CloseLink has done this already
  joinedCount = count < kMaxAdapters ? count : kMaxAdapters;
  for (int i = 0; i < joinedCount; ++i) joinedOn[i] = joined[i];
  strayBeacons.Open(MonotonicMs());
  multicastSocket.store(s);
}

int StartMulticastReceiver() {
  multicastReceiver.Join();  // at once: the opening (CloseUdp) has stopped the one before
  multicastReceiving.store(1);
  return multicastReceiver.Start(MulticastReceiverThread);
}

void JoinMulticastReceiver() { multicastReceiver.Join(); }

void CloseUdp() { RetireMulticastSocket(); }

int OpenUnicastSocket(uint32_t address) {
  if (unicastSocket.load() != kNoSocket) return 1;
  const NetSocket s = NetUdpSocket();
  if (s == kNoSocket) return 0;
  if (NetBind(s, address, kUpdatePort) == 0) {
    NetClose(s);  // silent: the TCP link goes on without update frames
    return 0;
  }
  unicastSocket.store(s);
  return 1;
}

int StartUnicastReceiver() {
  unicastReceiving.store(1);
  return unicastReceiver.Start(UnicastReceiverThread);
}

void StopUnicastReceiver() {
  unicastReceiving.store(0);
  StopReceiving(unicastSocket.exchange(kNoSocket), unicastReceiver);
}
