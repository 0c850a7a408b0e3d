// The harness of the link's tests across a real network: the driver runs in
// namespace A, server_sim (and a second one standing in for a third host) in
// namespace B; link_netns.py sets them up and passes where things are
// through the environment. The driver steers the simulators by appending
// lines to their control files and waits for each to be acknowledged in
// their status files; every wait is bounded. Each test opens the link and an
// event log of its own (a LinkSession) and closes both, then checks the
// lines written. Everything here runs on the test's thread; only the link's
// receivers run beside it.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "link/link.h"

using Clock = std::chrono::steady_clock;
constexpr int kWaitMs = 4000;  // the longest any one condition may take

// The environment variable, or "" when it is not set.
std::string Env(const char* name);

// Polls pred every 2 ms for at most ms milliseconds; returns its last value.
template <class Pred>
bool WaitUntil(Pred pred, int ms = kWaitMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
  while (!pred()) {
    if (Clock::now() > deadline) return pred();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// Runs a call that must return within ms; a hang ends the program with a
// message instead of leaving the whole run to an outer time-out.
template <class Call>
void Bounded(const char* what, int ms, Call call) {
  auto done = std::async(std::launch::async, call);
  if (done.wait_for(std::chrono::milliseconds(ms)) != std::future_status::ready) {
    std::fprintf(stderr, "link_netns_driver: %s did not return within %d ms\n", what, ms);
    std::fflush(stderr);
    std::_Exit(3);
  }
}

// The whole file ("" when it cannot be read).
std::string ReadFile(const std::string& path);
// Its lines without their "\n" or "\r\n"; a last piece without "\n" is left out.
std::vector<std::string> SplitLines(const std::string& text);
// How many lines hold part.
int CountContaining(const std::vector<std::string>& lines, const std::string& part);

// One server_sim as seen through its control and status files.
struct Sim {
  std::string control, status;
  uint64_t sent = 0;  // command lines appended so far

  std::map<std::string, std::string> Status() const;
  // A number of the status file, 0 when it is missing.
  uint64_t Count(const char* key) const;
  // Puts the start fill back at [offset, offset + size) of the simulator's image.
  bool RestorePattern(uint32_t offset, uint32_t size);
  // Appends one command line and waits until the simulator has carried it out.
  bool Do(const std::string& line);
};

struct NetSetup {
  std::string local, server, third, workDir, journal;
  Sim sim, thirdSim;
  bool ready = false;
};

// Where things are, read from the environment once.
NetSetup& Net();

// The link's activity count.
uint32_t Activity();
uint8_t ImageByte(uint32_t o);
// True when no byte of [offset, offset + size) waits for its write to echo.
bool ShadowClear(uint32_t offset, uint32_t size);
// First image offset in [from, to) whose byte differs from the simulator's
// start fill, or to when all agree.
uint32_t FirstPatternMismatch(uint32_t from, uint32_t to);
// 1 when a UDP socket of this namespace is bound to port (from /proc/net/udp).
bool UdpPortBound(uint16_t port);
// Threads of this process.
size_t ThreadCount();

// One test's link: its own event log, the settings, the image in its start
// state; Close() takes the whole link down and reads the log.
class LinkSession {
 public:
  explicit LinkSession(const char* name);
  ~LinkSession() { Close(); }

  // Opens the beacon socket; its receiver stays only when beacons are to be
  // counted.
  void OpenUdpSide(bool receiveBeacons);

  // Waits until the simulator has let go of any earlier connection, so that
  // what it counts from now on goes to this one.
  static bool SimIdle();

  // Connects to the server and starts the TCP receiver (which starts the
  // unicast receiver); returns once port 65100 is bound, so that no update
  // frame sent from now on can miss it.
  void Connect();

  const std::vector<std::string>& Close();

  Link& Get() { return *link_; }

  // The event log's whole lines so far, while the link runs (each line is
  // flushed as it is written).
  std::vector<std::string> LinesSoFar() const { return SplitLines(ReadFile(logPath_)); }

 private:
  std::unique_ptr<Link> link_ = std::make_unique<Link>();
  std::string logPath_;
  std::vector<std::string> lines_;
  bool closed_ = false;
};

class LinkNetns : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!Net().ready) GTEST_SKIP() << "run by link_netns.py inside a namespace";
  }
};
