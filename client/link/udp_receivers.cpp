// The multicast receiver (beacons: the server is there, where and who it is)
// and the unicast receiver (update frames into the image). Each waits in one
// blocking receive per datagram, with no time limit: nothing wakes it but a
// datagram or its stopper. Sockets are held in atomics: whoever stops a
// receiver takes its socket out of the atomic, cancels the receive until the
// receiver has ended (it then finds its socket gone and touches it no more),
// and only then closes the socket, so its handle cannot be reused under the
// receiver. Each receiver has a receive buffer of its own; at most one
// thread of each kind runs at a time.
#include "link/udp_receivers.h"

#include <chrono>
#include <thread>

#include "base/event_log.h"
#include "base/timestamp.h"
#include "ipc/offset_image.h"
#include "link/frames.h"

namespace {

constexpr auto kErrorPause = std::chrono::milliseconds(10);  // after a failed receive, against a busy loop

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

}  // namespace

// The line about other hosts' beacons, once their window has passed.
void UdpReceivers::LogStrayBeacons() {
  char hosts[kStrayHostsNamed * (kNetAddressTextSize + 2)];
  if (!strayBeacons_.Due(MonotonicMs(), hosts, sizeof hosts)) return;
  char now[kTimestampSize];
  LogEvent("%s Beacons heard from %s, but the server is set to %s (see \"IP Address of server\")\n",
           FormatTimestamp(now), hosts, serverSetting_);
}

void UdpReceivers::MulticastReceiverLoop() {
  ReceiveDatagrams(multicastSocket_, multicastReceiving_, multicastBuffer_, [this](int n, uint32_t from) {
    TakeBeaconDatagram(multicastBuffer_, n, from);
    LogStrayBeacons();
  });
}

// Takes update frames from the socket that OpenUnicastSocket bound before
// the connection was made; without one (the bind failed) it ends at once.
void UdpReceivers::UnicastReceiverLoop() {
  ReceiveDatagrams(unicastSocket_, unicastReceiving_, unicastBuffer_,
                   [this](int n, uint32_t from) { TakeUpdateDatagram(unicastBuffer_, n, from); });
}

// A beacon from a host other than the server: the line that names it (server
// set to auto), else the stray-beacon watch.
void UdpReceivers::TakeOtherBeacon(BeaconVerdict verdict, uint32_t from) {
  if (choice_.ServerSetting().kind != SettingKind::kAuto) {
    strayBeacons_.Beacon(from, false);
    return;
  }
  if (verdict != BeaconVerdict::kOtherNew) return;
  char now[kTimestampSize], other[kNetAddressTextSize], server[kNetAddressTextSize];
  LogEvent("%s Beacons also heard from %s; staying with %s (set \"IP Address of server\" to choose)\n",
           FormatTimestamp(now), NetFormatAddress(from, other), NetFormatAddress(choice_.Server(), server));
}

void UdpReceivers::TakeBeaconDatagram(const uint8_t* bytes, int received, uint32_t from) {
  lastSender_.store(from);
  Frame frame{};
  BadFrame bad{};
  const bool valid = ValidateFrame(bytes, received, kMulticastFrames, &frame, &bad) == Outcome::kDone;
  if (!choice_.IsServer(from)) {
    // Only a valid beacon from an address a server can have can choose a
    // server or name a host; anything else from another host counts for
    // nothing.
    if (!valid || frame.type != kTypeBeacon || !CanBeServer(from)) return;
    const BeaconVerdict verdict = choice_.Beacon(from, MonotonicMs());
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
  strayBeacons_.Beacon(from, true);
  AddLinkActivity(1);
}

void UdpReceivers::TakeUpdateDatagram(const uint8_t* bytes, int received, uint32_t from) {
  lastSender_.store(from);
  if (!choice_.IsServer(from)) return;
  Frame frame{};
  BadFrame bad{};
  if (ValidateFrame(bytes, received, kUnicastFrames, &frame, &bad) != Outcome::kDone) {
    LogBadFrame(kUnicastFrames, bad);
    return;
  }
  if (frame.type != kTypeUpdate) {
    LogWrongType(kUnicastFrames, frame.type);
    return;
  }
  if (frame.size != 0 && unicastReceiving_.load() != 0)
    ApplyUpdateRecords(frame.payload, frame.size / kUpdateRecordSize);
  AddLinkActivity(1);
}

void UdpReceivers::TakeMulticastSocket(NetSocket s, const uint32_t* joined, int count) {
  StopBeacons();  // normally the closing has done this already
  joinedCount_ = count < kMaxAdapters ? count : kMaxAdapters;
  for (int i = 0; i < joinedCount_; ++i) joinedOn_[i] = joined[i];
  strayBeacons_.Open(MonotonicMs());
  multicastSocket_.store(s);
}

int UdpReceivers::StartMulticastReceiver() {
  multicastReceiver_.Join();  // at once: the opening (StopBeacons) has stopped the one before
  multicastReceiving_.store(1);
  return multicastReceiver_.Start([this] { MulticastReceiverLoop(); });
}

void UdpReceivers::StopBeacons() {
  multicastReceiving_.store(0);
  const NetSocket s = multicastSocket_.exchange(kNoSocket);
  if (s != kNoSocket)
    for (int i = 0; i < joinedCount_; ++i) NetLeaveGroup(s, NetParseAddress(kBeaconGroupText), joinedOn_[i]);
  StopReceiving(s, multicastReceiver_);
}

int UdpReceivers::OpenUnicastSocket(uint32_t address) {
  if (unicastSocket_.load() != kNoSocket) return 1;
  const NetSocket s = NetUdpSocket();
  if (s == kNoSocket) return 0;
  if (NetBind(s, address, kUpdatePort) == 0) {
    NetClose(s);  // silent: the TCP link goes on without update frames
    return 0;
  }
  unicastSocket_.store(s);
  return 1;
}

int UdpReceivers::StartUnicastReceiver() {
  unicastReceiving_.store(1);
  return unicastReceiver_.Start([this] { UnicastReceiverLoop(); });
}

void UdpReceivers::StopUnicastReceiver() {
  unicastReceiving_.store(0);
  StopReceiving(unicastSocket_.exchange(kNoSocket), unicastReceiver_);
}
