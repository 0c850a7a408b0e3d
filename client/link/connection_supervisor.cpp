// The connection status thread: the supervisor's state machine wired to the
// link, to steady time and to the shell's window port. The thread is started
// once by start-up and joined by the shutdown.
#include "link/connection_supervisor.h"

#include <chrono>
#include <thread>

#include "base/shared_flags.h"
#include "base/timestamp.h"
#include "link/connection_supervisor_tick.h"
#include "link/link.h"

namespace {

class SteadyClock final : public SupervisorClock {
 public:
  uint64_t NowMs() override { return MonotonicMs(); }
  void Sleep(uint32_t ms) override { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
  void SleepWhileRunning(uint32_t ms) override { WaitWhileRunning(ms); }
};

}  // namespace

void ConnectionStatusThread(Link* link, StatusWindowPort* window) {
  SteadyClock clock;
  Supervisor s{link, window, &clock};
  RunSupervisor(s);
}
