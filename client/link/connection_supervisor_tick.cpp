// The supervisor's five states. Each handler is one tick of its state,
// waits included; the figures it shows are per-tick differences doubled, a
// tick being taken as half a second whatever time really passed. Link
// activity and the image words are sampled under the image lock (inside
// SampleLink), the access counts are read as whole atomic values.
#include "link/connection_supervisor_tick.h"

#include "base/event_log.h"
#include "base/timestamp.h"
#include "base/shared_flags.h"
#include "ipc/image_access.h"
#include "ipc/offset_image.h"
#include "link/net.h"

namespace {

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

// What the window shows now: published, and the window asked to repaint.
void Show(Supervisor& s) {
  s.link->Publish(s.shown);
  s.window->RequestRepaint();
}

void SetState(Supervisor& s, ConnectionState state) {
  s.shown.state = state;
  s.link->Publish(s.shown);
}

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
// typed address that is wrong; with auto and no address yet (the opening's
// line says so) there is nothing for the user to mend.
void TickInit(Supervisor& s) {
  char ts[kTimestampSize];
  ResetLinkActivity();
  s.previousActivity = 0;
  const bool retry = s.udpFailing;
  if (retry && PauseWhileRunning(*s.clock, kUdpRetryMs) == 0) return;
  if (!retry) LogEvent("%s Status INIT\n", FormatTimestamp(ts));
  const int opened = s.link->Open(retry ? 1 : 0);
  if (opened == 1) {
    s.udpFailing = false;
    s.udpOpenedMs = s.clock->NowMs();
    SetState(s, kNotConnected);
    LogEvent("%s Status NOT_CONNECTED\n", FormatTimestamp(ts));
    return;
  }
  if (retry) return;
  s.udpFailing = true;
  if (opened == kUdpNoAddressYet) {
    s.shown.udp = UdpShown::kNoAddressYet;
    Show(s);
    return;
  }
  LogEvent("%s Can't open UDP\n", FormatTimestamp(ts));
  LogAddressesOfThisPc(s);
  s.shown.udp = UdpShown::kCannotStart;
  Show(s);
  s.link->Close();
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
  SetState(s, kDeinit);
  return true;
}

void TickNotConnected(Supervisor& s) {
  char ts[kTimestampSize];
  if (LeftForChangedAddresses(s)) return;
  s.link->FindServer();
  const uint32_t activity = SampleLink().activity;
  const uint32_t r = Rate(activity, s.previousActivity);
  s.shown.udp = UdpShown::kBeacons;
  s.shown.udpRate = r;
  Show(s);
  s.previousActivity = activity;
  if (r > 1) {  // at least one beacon since the previous tick
    LogEvent("%s Status UDP_CONNECTED\n", FormatTimestamp(ts));
    SetState(s, kUdpConnected);
  }
  PauseWhileRunning(*s.clock, kTickMs);
}

// Tries once per tick, whether beacons still come or not. The connection
// goes to the server whose beacons passed the sender filter.
void TickUdpConnected(Supervisor& s) {
  char ts[kTimestampSize], server[kNetAddressTextSize];
  if (LeftForChangedAddresses(s)) return;
  const uint32_t activity = SampleLink().activity;
  s.shown.udp = UdpShown::kBeaconsFrom;
  s.shown.udpRate = Rate(activity, s.previousActivity);
  s.shown.sender = s.link->ShownSender();
  Show(s);
  s.previousActivity = activity;

  switch (s.link->Connect()) {
    case ConnectResult::kNoServer:
    case ConnectResult::kRefused: PauseWhileRunning(*s.clock, kTickMs); return;
    case ConnectResult::kStopping: return;
    case ConnectResult::kUp: break;
  }
  LogEvent("%s Connection to Server %s OK\n", FormatTimestamp(ts), NetFormatAddress(s.link->Server(), server));
  SetState(s, kUdpTcpConnected);
  LogEvent("%s Status UDP_TCP_CONNECTED\n", FormatTimestamp(ts));
  LogEvent("%s Link up after %.1f s\n", FormatTimestamp(ts), double(s.clock->NowMs() - s.udpOpenedMs) / 1000.0);
  s.link->CopyServerHostName(s.shown.serverName, sizeof s.shown.serverName);
  s.shown.connection = ConnectionShown::kConnected;
  Show(s);
  PauseWhileRunning(*s.clock, kSettleMs);
  PauseWhileRunning(*s.clock, kTickMs);
}

void TickUdpTcpConnected(Supervisor& s) {
  // The name shows once the name service has it.
  s.link->CopyServerHostName(s.shown.serverName, sizeof s.shown.serverName);
  const AccessCounts counts = ReadAccessCounts();
  const LinkSample sample = SampleLink();
  const uint32_t r = Rate(sample.activity, s.previousActivity);
  s.shown.counted = true;
  s.shown.counts = counts;
  s.shown.rates = {Rate(counts.requests, s.previousCounts.requests), Rate(counts.readBytes, s.previousCounts.readBytes),
                   Rate(counts.writeBytes, s.previousCounts.writeBytes)};
  s.shown.udp = UdpShown::kLinkTraffic;
  s.shown.udpRate = r;
  s.shown.sender = s.link->ShownSender();
  s.shown.dataRate = DataRate(sample.dataRateCount, s.previousDataRateCount, sample.dataRateScale);
  Show(s);

  s.previousCounts = counts;
  s.previousActivity = sample.activity;
  s.previousDataRateCount = sample.dataRateCount;
  PauseWhileRunning(*s.clock, kTickMs);

  // Whether the link is up is read after the wait. Only a lost link takes it
  // down in this state (the server closed or reset the connection, a receive
  // or a write batch failed, this PC's address is gone): there is nothing
  // left to wait for, so the teardown starts now. A quiet but open link gets
  // the watchdog's eleven ticks.
  // The adapters are asked only after a wait that brought nothing: an address
  // that goes stops the link's data at once, and asking costs the platform a
  // round of requests (some 25 wineserver calls under Wine) every tick.
  char ts[kTimestampSize];
  uint32_t thisPc = 0;
  const bool quiet = SampleLink().activity == sample.activity;
  if (s.link->Up() && quiet && s.link->ThisPcGone(&thisPc) != 0) {
    s.link->TakeDown();  // before the line: no write is answered 1 from here on
    char text[kNetAddressTextSize];
    LogEvent("%s This PC's address %s is gone\n", FormatTimestamp(ts), NetFormatAddress(thisPc, text));
  }
  if (!s.link->Up()) {
    s.missCount = 0;
    SetState(s, kDeinit);
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
  s.link->TakeDown();
  SetState(s, kDeinit);
  LogEvent("%s udpBytesPerSecond < 10 => Status DEINIT \n", FormatTimestamp(ts));
}

// Closes everything (every receiver has ended when Close returns), so that a
// reconnection never runs two TCP or unicast receivers side by side.
void TickDeinit(Supervisor& s) {
  char sender[kNetAddressTextSize];
  LogEvent("Closing connection IP %s\n", NetFormatAddress(s.link->ShownSender(), sender));
  s.shown.connection = ConnectionShown::kLost;
  Show(s);
  s.link->Close();
  PauseWhileRunning(*s.clock, kSettleMs);
  PauseWhileRunning(*s.clock, kSettleMs);
  SetState(s, kInit);
}

}  // namespace

int PauseWhileRunning(SupervisorClock& clock, uint32_t ms) { return WaitUntilPassed(clock, ms, true); }

void SupervisorTick(Supervisor& s) {
  switch (s.shown.state) {
    case kInit: TickInit(s); break;
    case kNotConnected: TickNotConnected(s); break;
    case kUdpConnected: TickUdpConnected(s); break;
    case kUdpTcpConnected: TickUdpTcpConnected(s); break;
    case kDeinit: TickDeinit(s); break;
    default: SetState(s, kDeinit); break;  // not a state of ours: start over cleanly
  }
}

void EndSupervisor(Supervisor& s) {
  s.link->Close();  // also a connection made while the shutdown began
  WaitUntilPassed(*s.clock, kSettleMs, false);
}

void RunSupervisor(Supervisor& s) {
  char ts[kTimestampSize];
  s.link->Publish(s.shown);
  LogEvent("Connection status thread running\n");
  LogEvent("%s Waiting for UDP from server\n", FormatTimestamp(ts));
  while (programRunning.load() != 0) SupervisorTick(s);
  EndSupervisor(s);
}
