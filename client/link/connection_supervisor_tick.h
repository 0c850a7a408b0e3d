// The connection supervisor's state machine, one tick at a time. Everything
// runs on the connection status thread; the link, the window and the clock
// come in through three small interfaces, so the whole machine can be driven
// with fakes. The state itself is the process-wide connectionState.
#pragma once

#include <cstddef>
#include <cstdint>

#include "link/connection_supervisor.h"

inline constexpr uint32_t kTickMs = 500;         // one supervisor tick
inline constexpr uint32_t kSettleMs = 100;       // pause after stopping a receiver
inline constexpr uint32_t kMissesBeforeDeinit = 10;  // the eleventh missed tick in a row tears down
inline constexpr uint32_t kUdpRetryMs = 2000;    // between openings after one failed

// The link operations the supervisor drives; the thread's real one calls the
// link's session, TCP link and UDP receivers, tests record the calls. Results
// as those functions give them (1 done, 0 failed). The Start functions set
// their own receiving flag once an earlier receiver has ended, so the
// supervisor never sets tcpReceiving or multicastReceiving itself.
class LinkPort {
 public:
  // quiet: a retry after a failed opening, which writes no lines. 1 opened,
  // 0 failed, kUdpNoAddressYet (link_session.h): auto found no address of
  // this PC to listen on.
  virtual int OpenUdp(int quiet) = 0;
  virtual int StartMulticastReceiver() = 0;
  // Once the link is up: beacons are no longer taken (the multicast receiver
  // ends, its socket leaves the group and is closed).
  virtual void StopBeacons() = 0;
  // Each tick while waiting for beacons: the server's name looked up.
  virtual void FindServer() = 0;
  // The server of this link, 0 while not known.
  virtual uint32_t Server() = 0;
  virtual int ConnectToServer(uint32_t server) = 0;
  // The connection to Server() failed: 1 when the server was given up (the
  // link has none now until another is chosen).
  virtual int ServerTakesNoConnection() = 0;
  // A link that was up has ended (before the teardown closes it).
  virtual void LinkEnded() = 0;
  virtual int StartTcpReceiver() = 0;
  virtual void JoinTcpReceiver() = 0;
  virtual int CloseLink() = 0;
  virtual void CopyServerHostName(char* out, size_t size) = 0;
  // This PC's IPv4 addresses (NetLocalAddresses): the count put into out.
  virtual int LocalAddresses(uint32_t* out, int max) = 0;
  // 1 when this PC's address of the link (into *address) is gone from its
  // adapters; 1 when an opening now would listen on other addresses.
  virtual int ThisPcGone(uint32_t* address) = 0;
  virtual int ListenAddressesChanged() = 0;

 protected:
  ~LinkPort() = default;
};

// Monotonic time and sleeping: steady time for the thread, a hand-advanced
// clock in tests.
class SupervisorClock {
 public:
  virtual uint64_t NowMs() = 0;
  virtual void Sleep(uint32_t ms) = 0;
  // Sleeps up to ms, less once programRunning is clear (the shutdown's
  // StopRunning wakes it at once).
  virtual void SleepWhileRunning(uint32_t ms) = 0;

 protected:
  ~SupervisorClock() = default;
};

struct Supervisor {
  LinkPort* link;
  StatusWindowPort* window;
  SupervisorClock* clock;
  // Consecutive ticks without link activity in UDP_TCP_CONNECTED.
  uint32_t missCount = 0;
  // Values sampled at the previous tick. Only INIT resets one of them (the
  // activity count), so the first tick after a reconnection spans the gap.
  uint32_t previousActivity = 0;
  uint32_t previousRequests = 0;
  uint32_t previousReadBytes = 0;
  uint32_t previousWriteBytes = 0;
  uint16_t previousDataRateCount = 0;
  // When OpenUdp last succeeded, for the "Link up after" line.
  uint64_t udpOpenedMs = 0;
  // The last opening failed: INIT tries again quietly every kUdpRetryMs.
  bool udpFailing = false;
  // The UDP error box has been shown (once per run).
  bool errorBoxShown = false;
  // A link was up since the last teardown.
  bool linkWasUp = false;
};

// Waits ms on clock in one sleep and returns early once programRunning is
// clear. Returns 1 when the whole time passed, 0 when the
// shutdown cut it short (or had already begun).
int PauseWhileRunning(SupervisorClock& clock, uint32_t ms);

// One step of the current state, with the waits that belong to it.
void SupervisorTick(Supervisor& s);

// The ending: closes the link, stops the receivers it started and settles.
void EndSupervisor(Supervisor& s);

// The whole thread: the start lines, ticks while programRunning is set, then
// the ending.
void RunSupervisor(Supervisor& s);
