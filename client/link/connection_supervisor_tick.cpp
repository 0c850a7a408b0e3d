// The supervisor's five states. Each handler is one tick of its state,
// waits included; the figures it shows are per-tick differences doubled, a
// tick being taken as half a second whatever time really passed. Link
// activity and the image words are sampled under the image lock (inside
// SampleLink), the request counters are read as whole atomic values.
#include "link/connection_supervisor_tick.h"

#include "base/event_log.h"
#include "base/timestamp.h"
#include "ipc/offset_image.h"
#include "ipc/request_walker.h"
#include "link/link_flags.h"
#include "link/link_session.h"
#include "link/net.h"
#include "link/status_lines.h"
#include "link/udp_receivers.h"

namespace {

constexpr size_t kHostNameSize = 1025;
constexpr int kAddressesNamed = 16;  // addresses of this PC the line lists at most

// Waits until ms have passed on clock. With untilShutdown the wait also ends
// once programRunning is clear. Returns 1 when the whole time passed.
int WaitUntilPassed(SupervisorClock& clock, uint32_t ms, bool untilShutdown) {
  const uint64_t deadline = clock.NowMs() + ms;
  for (;;) {
    if (untilShutdown && programRunning.load() == 0) return 0;
    const uint64_t now = clock.NowMs();
    if (now >= deadline) return 1;
    const uint32_t left = uint32_t(deadline - now);
    if (untilShutdown)
      clock.SleepWhileRunning(left);
    else
      clock.Sleep(left);
  }
}

void SetState(ConnectionState state) { connectionState.store(state); }

// Per-second rate of a counter sampled once per tick, in 32 bits.
uint32_t Rate(uint32_t current, uint32_t previous) { return (current - previous) * 2; }

// Data rate from the 16-bit word K (kDataRateCountOffset), scaled by the word
// W (kDataRateScaleOffset):
// A / (32768 / W), with A the growth of K per second. K's growth is taken
// modulo 65536, so a wrap of K (or a server restart) shows a sensible figure.
double DataRate(uint16_t k, uint16_t previousK, uint16_t w) {
  if (w == 0) return 0.0;  // 32768 / 0 is infinite: the rate is 0
  const uint32_t a = uint32_t(uint16_t(k - previousK)) * 2;
  return double(a) / (32768.0 / double(w));
}

// After the UDP failure: the addresses that "IP Address of THIS PC" could
// have named.
void LogAddressesOfThisPc(Supervisor& s) {
  uint32_t addresses[kAddressesNamed];
  const int count = s.link->LocalAddresses(addresses, kAddressesNamed);
  char list[kAddressesNamed * (kNetAddressTextSize + 2)];
  NetFormatAddressList(addresses, count, list, sizeof list);
  char ts[kTimestampSize];
  LogEvent("%s Addresses of this PC: %s\n", FormatTimestamp(ts), count > 0 ? list : "none");
}

// Opens UDP. After a failed opening the client goes on without a link and
// tries again every kUdpRetryMs without a line, so that the link comes back
// by itself once the address is there. The box, once per run, is for a
// typed address that is wrong; with auto and no address yet (OpenUdp's
// line says so) there is nothing for the user to mend.
void TickInit(Supervisor& s) {
  char ts[kTimestampSize];
  ResetLinkActivity();
  s.previousActivity = 0;
  const bool retry = s.udpFailing;
  if (retry && PauseWhileRunning(*s.clock, kUdpRetryMs) == 0) return;
  if (!retry) LogEvent("%s Status INIT\n", FormatTimestamp(ts));
  const int opened = s.link->OpenUdp(retry ? 1 : 0);
  if (opened == 1) {
    s.udpFailing = false;
    s.udpOpenedMs = s.clock->NowMs();
    s.link->StartMulticastReceiver();
    SetState(kNotConnected);
    LogEvent("%s Status NOT_CONNECTED\n", FormatTimestamp(ts));
    return;
  }
  if (retry) return;
  s.udpFailing = true;
  if (opened == kUdpNoAddressYet) {
    SetStatusLine(kUdpLine, "UDP waits for an address of this PC              ");
    s.window->RequestRepaint();
    return;
  }
  LogEvent("%s Can't open UDP\n", FormatTimestamp(ts));
  LogAddressesOfThisPc(s);
  SetStatusLine(kUdpLine, "Can't start UDP, please restart Kestrovaline    ");
  s.window->RequestRepaint();
  s.link->CloseLink();
  multicastReceiving.store(0);
  PauseWhileRunning(*s.clock, kSettleMs);
  // Once the shutdown has begun nobody would be there to close the box.
  if (!s.errorBoxShown && programRunning.load() != 0) {
    s.errorBoxShown = true;
    s.window->ShowError("Can't open UDP, wrong IP address!\nPlease restart Kestrovaline", "Kestrovaline Error");
  }
}

// While no link is up: the addresses the UDP sockets listen on are no longer
// this PC's (an adapter went, or with auto came): open them anew.
bool LeftForChangedAddresses(Supervisor& s) {
  if (s.link->ListenAddressesChanged() == 0) return false;
  char ts[kTimestampSize];
  LogEvent("%s Addresses of this PC changed => Status DEINIT \n", FormatTimestamp(ts));
  SetState(kDeinit);
  return true;
}

void TickNotConnected(Supervisor& s) {
  char ts[kTimestampSize];
  if (LeftForChangedAddresses(s)) return;
  s.link->FindServer();
  const uint32_t activity = SampleLink().activity;
  const uint32_t r = Rate(activity, s.previousActivity);
  SetStatusLine(kUdpLine, "UDP = %u per/sec                                 ", r);
  s.window->RequestRepaint();
  s.previousActivity = activity;
  if (r > 1) {  // at least one beacon since the previous tick
    LogEvent("%s Status UDP_CONNECTED\n", FormatTimestamp(ts));
    SetState(kUdpConnected);
  }
  PauseWhileRunning(*s.clock, kTickMs);
}

// The address the window's "from" and the closing line name: the server of
// the link, or before one is known the last sender heard.
uint32_t ShownSender(Supervisor& s) {
  const uint32_t server = s.link->Server();
  return server != 0 ? server : lastSenderAddress.load();
}

// Tries once per tick, whether beacons still come or not. The connection
// goes to the server whose beacons passed the sender filter.
void TickUdpConnected(Supervisor& s) {
  char ts[kTimestampSize], sender[kNetAddressTextSize], server[kNetAddressTextSize];
  if (LeftForChangedAddresses(s)) return;
  const uint32_t activity = SampleLink().activity;
  const uint32_t r = Rate(activity, s.previousActivity);
  NetFormatAddress(ShownSender(s), sender);
  SetStatusLine(kUdpLine, "UDP = %u per/sec from %s", r, sender);
  s.window->RequestRepaint();
  s.previousActivity = activity;

  if (s.link->Server() == 0) s.link->FindServer();  // a name given up is looked up again
  const uint32_t serverAddress = s.link->Server();
  if (serverAddress == 0 || s.link->ConnectToServer(serverAddress) == 0) {
    if (serverAddress != 0 && programRunning.load() != 0) s.link->ServerTakesNoConnection();
    PauseWhileRunning(*s.clock, kTickMs);
    return;
  }
  NetFormatAddress(serverAddress, server);
  // A connection made while the shutdown began gets no receiver: the shutdown
  // has already waited for the TCP receiver, and the ending closes the socket.
  if (programRunning.load() == 0) return;
  // The link is up before its receiver runs: a receiver that finds the
  // connection closed at once clears linkUp, and that must stay cleared.
  linkUp.store(1);
  s.linkWasUp = true;
  s.link->StartTcpReceiver();
  LogEvent("%s Connection to Server %s OK\n", FormatTimestamp(ts), server);  // the address connected
  SetState(kUdpTcpConnected);
  LogEvent("%s Status UDP_TCP_CONNECTED\n", FormatTimestamp(ts));
  LogEvent("%s Link up after %.1f s\n", FormatTimestamp(ts), double(s.clock->NowMs() - s.udpOpenedMs) / 1000.0);
  char hostName[kHostNameSize];
  s.link->CopyServerHostName(hostName, sizeof hostName);
  SetStatusLine(kConnectionLine, "Connected to Server %s", hostName);
  s.window->RequestRepaint();
  s.link->StopBeacons();
  PauseWhileRunning(*s.clock, kSettleMs);
  PauseWhileRunning(*s.clock, kTickMs);
}

void TickUdpTcpConnected(Supervisor& s) {
  char hostName[kHostNameSize];
  s.link->CopyServerHostName(hostName, sizeof hostName);  // the name shows once the name service has it
  SetStatusLine(kConnectionLine, "Connected to Server %s", hostName);
  const uint32_t requests = requestCount.load();
  const uint32_t readBytes = readByteCount.load();
  const uint32_t writeBytes = writeByteCount.load();
  const LinkSample sample = SampleLink();
  const uint32_t r = Rate(sample.activity, s.previousActivity);
  char sender[kNetAddressTextSize];
  NetFormatAddress(ShownSender(s), sender);

  SetStatusLine(kRequestLine, "Request:\t%i\t\t%i per/sec", int(requests), int(Rate(requests, s.previousRequests)));
  SetStatusLine(kReadLine, "Read:\t%u\t\t%u per/sec", readBytes, Rate(readBytes, s.previousReadBytes));
  SetStatusLine(kWriteLine, "Write:\t%u\t\t%u per/sec", writeBytes, Rate(writeBytes, s.previousWriteBytes));
  SetStatusLine(kUdpLine, "UDP=%u per/sec from %s Datarate=%1.2f", r, sender,
                DataRate(sample.dataRateCount, s.previousDataRateCount, sample.dataRateScale));
  s.window->RequestRepaint();

  s.previousRequests = requests;
  s.previousReadBytes = readBytes;
  s.previousWriteBytes = writeBytes;
  s.previousActivity = sample.activity;
  s.previousDataRateCount = sample.dataRateCount;
  PauseWhileRunning(*s.clock, kTickMs);

  // linkUp is read after the wait. Only a lost link clears it in this state
  // (the server closed or reset the connection, a receive or a write batch
  // failed, this PC's address is gone): there is nothing left to wait for, so
  // the teardown starts now. A quiet but open link gets the watchdog's eleven
  // ticks.
  // The adapters are asked only after a wait that brought nothing: an address
  // that goes stops the link's data at once, and asking costs the platform a
  // round of requests (some 25 wineserver calls under Wine) every tick.
  char ts[kTimestampSize];
  uint32_t thisPc = 0;
  const bool quiet = SampleLink().activity == sample.activity;
  if (linkUp.load() != 0 && quiet && s.link->ThisPcGone(&thisPc) != 0) {
    linkUp.store(0);  // before the line: no write is answered 1 from here on
    char text[kNetAddressTextSize];
    LogEvent("%s This PC's address %s is gone\n", FormatTimestamp(ts), NetFormatAddress(thisPc, text));
  }
  if (linkUp.load() == 0) {
    s.missCount = 0;
    SetState(kDeinit);
    LogEvent("%s Link lost => Status DEINIT \n", FormatTimestamp(ts));
    return;
  }
  if (r > 0) {
    s.missCount = 0;
    return;
  }
  if (s.missCount < kMissesBeforeDeinit) {
    ++s.missCount;
    return;
  }
  s.missCount = 0;
  linkUp.store(0);
  SetState(kDeinit);
  LogEvent("%s udpBytesPerSecond < 10 => Status DEINIT \n", FormatTimestamp(ts));
}

// Closes everything and waits for the TCP receiver (which ends once the
// closed socket has woken it), so that a reconnection never runs two TCP or
// unicast receivers side by side. Local writes that still wait for their
// echo are given up: the lost link may never have delivered them, and the
// next server's blocks are the truth.
void TickDeinit(Supervisor& s) {
  char sender[kNetAddressTextSize];
  LogEvent("Closing connection IP %s\n", NetFormatAddress(ShownSender(s), sender));
  SetStatusLine(kConnectionLine, "Connection to Server lost...                               ");
  s.window->RequestRepaint();
  s.link->CloseLink();
  multicastReceiving.store(0);
  PauseWhileRunning(*s.clock, kSettleMs);
  tcpReceiving.store(0);
  PauseWhileRunning(*s.clock, kSettleMs);
  s.link->JoinTcpReceiver();
  if (s.linkWasUp) {  // what the link brought decides how its server ranks
    s.linkWasUp = false;
    s.link->LinkEnded();
  }
  ClearWriteMarks();
  SetState(kInit);
}

}  // namespace

int PauseWhileRunning(SupervisorClock& clock, uint32_t ms) { return WaitUntilPassed(clock, ms, true); }

void SupervisorTick(Supervisor& s) {
  switch (connectionState.load()) {
    case kInit: TickInit(s); break;
    case kNotConnected: TickNotConnected(s); break;
    case kUdpConnected: TickUdpConnected(s); break;
    case kUdpTcpConnected: TickUdpTcpConnected(s); break;
    case kDeinit: TickDeinit(s); break;
    default: SetState(kDeinit); break;  // not a state of ours: start over cleanly
  }
}

void EndSupervisor(Supervisor& s) {
  s.link->CloseLink();
  multicastReceiving.store(0);
  // Also ends a TCP receiver that a connection made during the shutdown might
  // have started; the closed socket wakes it.
  tcpReceiving.store(0);
  WaitUntilPassed(*s.clock, kSettleMs, false);
}

void RunSupervisor(Supervisor& s) {
  char ts[kTimestampSize];
  LogEvent("Connection status thread running\n");
  LogEvent("%s Waiting for UDP from server\n", FormatTimestamp(ts));
  while (programRunning.load() != 0) SupervisorTick(s);
  EndSupervisor(s);
}
