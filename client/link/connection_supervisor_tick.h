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
inline constexpr uint32_t kPauseSliceMs = 20;    // longest single sleep of any wait
inline constexpr uint32_t kMissesBeforeDeinit = 10;  // the eleventh missed tick in a row tears down

// The link operations the supervisor drives; the thread's real one calls the
// TCP link and the UDP receivers, tests record the calls. Results as those
// functions give them (1 done, 0 failed). The Start functions set their own
// receiving flag once an earlier receiver has ended, so the supervisor never
// sets tcpReceiving or multicastReceiving itself.
class LinkPort {
 public:
  virtual int OpenUdp() = 0;
  virtual int StartMulticastReceiver() = 0;
  virtual int ConnectToServer(const char* dottedAddress) = 0;
  virtual int StartTcpReceiver() = 0;
  virtual void JoinTcpReceiver() = 0;
  virtual int CloseLink() = 0;
  virtual void CopyServerHostName(char* out, size_t size) = 0;
  // This PC's IPv4 addresses (NetLocalAddresses): the count put into out.
  virtual int LocalAddresses(uint32_t* out, int max) = 0;

 protected:
  ~LinkPort() = default;
};

// Monotonic time and sleeping: steady time for the thread, a hand-advanced
// clock in tests.
class SupervisorClock {
 public:
  virtual uint64_t NowMs() = 0;
  virtual void Sleep(uint32_t ms) = 0;

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
  uint16_t previousWord337E = 0;
  // When OpenUdp last succeeded, for the "Link up after" line.
  uint64_t udpOpenedMs = 0;
};

// Waits ms on clock in slices of at most kPauseSliceMs and returns early once
// programRunning is clear. Returns 1 when the whole time passed, 0 when the
// shutdown cut it short (or had already begun).
int PauseWhileRunning(SupervisorClock& clock, uint32_t ms);

// One step of the current state, with the waits that belong to it. Returns 1
// to go on, 0 when the thread must end at once: UDP could not be opened, the
// link is already closed and the error box has been shown.
int SupervisorTick(Supervisor& s);

// The ending: closes the link, stops the receivers it started and settles.
void EndSupervisor(Supervisor& s);

// The whole thread: the start lines, ticks while programRunning is set, then
// the ending (not after the UDP failure, which has closed the link already).
void RunSupervisor(Supervisor& s);
