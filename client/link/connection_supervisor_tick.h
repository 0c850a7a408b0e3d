// The connection supervisor's state machine, one tick at a time. Everything
// runs on the connection status thread; the link, the window and the clock
// come in through three small interfaces, so the whole machine can be driven
// with fakes. Each tick ends with what the window shows published on the
// link (LinkPort::Publish), the state among it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "link/connection_supervisor.h"
#include "link/link_port.h"
#include "link/link_status.h"

inline constexpr uint32_t kTickMs = 500;         // one supervisor tick
inline constexpr uint32_t kSettleMs = 100;       // pause after stopping a receiver
inline constexpr uint32_t kMissesBeforeDeinit = 10;  // the eleventh missed tick in a row tears down
inline constexpr uint32_t kUdpRetryMs = 2000;    // between openings after one failed

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
  // What the window shows, the state among it; published at each change.
  LinkStatus shown = {};
  // Consecutive ticks without link activity in UDP_TCP_CONNECTED.
  uint32_t missCount = 0;
  // Values sampled at the previous tick. Only INIT resets one of them (the
  // activity count), so the first tick after a reconnection spans the gap.
  uint32_t previousActivity = 0;
  AccessCounts previousCounts = {};
  uint16_t previousDataRateCount = 0;
  // When the link last opened, for the "Link up after" line.
  uint64_t udpOpenedMs = 0;
  // The last opening failed: INIT tries again quietly every kUdpRetryMs.
  bool udpFailing = false;
  // The UDP error box has been shown (once per run).
  bool errorBoxShown = false;
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
