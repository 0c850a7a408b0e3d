// The connection status thread: the supervisor's state machine wired to the
// real link (its session, TCP link and UDP receivers), to steady time and to the shell's window
// port. The thread is started once by start-up and joined by the shutdown.
#include "link/connection_supervisor.h"

#include <chrono>
#include <thread>

#include "base/shared_flags.h"
#include "base/timestamp.h"
#include "link/connection_supervisor_tick.h"
#include "link/link_choice.h"
#include "link/link_session.h"
#include "link/net.h"
#include "link/tcp_link.h"
#include "link/udp_receivers.h"

namespace {

class RealLink final : public LinkPort {
 public:
  int OpenUdp(int quiet) override { return ::OpenUdp(quiet); }
  int StartMulticastReceiver() override { return ::StartMulticastReceiver(); }
  void StopBeacons() override { CloseUdp(); }
  void FindServer() override { ::FindServer(); }
  uint32_t Server() override { return linkChoice.Server(); }
  int ConnectToServer(uint32_t server) override { return ConnectLink(server); }
  int ServerTakesNoConnection() override { return ::ServerTakesNoConnection(); }
  void LinkEnded() override { ::LinkEnded(); }
  int StartTcpReceiver() override { return ::StartTcpReceiver(); }
  void JoinTcpReceiver() override { ::JoinTcpReceiver(); }
  int CloseLink() override { return ::CloseLink(); }
  void CopyServerHostName(char* out, size_t size) override { ::CopyServerHostName(out, size); }
  int LocalAddresses(uint32_t* out, int max) override { return NetLocalAddresses(out, max); }
  int ThisPcGone(uint32_t* address) override { return ::ThisPcGone(address); }
  int ListenAddressesChanged() override { return ::ListenAddressesChanged(); }
};

class SteadyClock final : public SupervisorClock {
 public:
  uint64_t NowMs() override { return MonotonicMs(); }
  void Sleep(uint32_t ms) override { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
  void SleepWhileRunning(uint32_t ms) override { WaitWhileRunning(ms); }
};

}  // namespace

void ConnectionStatusThread(StatusWindowPort* window) {
  RealLink link;
  SteadyClock clock;
  Supervisor s{&link, window, &clock};
  RunSupervisor(s);
}
