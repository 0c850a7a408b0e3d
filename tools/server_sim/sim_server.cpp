// The simulated server's run: setting it up from the options, carrying out
// its commands, the loop that drives the clocks, the listener and the
// connection between short waits, and the ordered teardown. One thread does
// all of it; the parts it calls live in sim_state, sim_connection and
// sim_streams.
#include "sim_server.h"

#include <chrono>
#include <csignal>
#include <string>
#include <thread>
#include <vector>

#include "link/net.h"
#include "sim_command.h"
#include "sim_connection.h"
#include "sim_state.h"
#include "sim_streams.h"

namespace {

constexpr double kMaxWaitMs = 5;            // longest single wait of the loop
constexpr double kControlPollMs = 10;       // how often the control channel is read
constexpr double kStatusEveryMs = 100;      // how often the status file is rewritten
constexpr double kMaxBacklogMs = 1000;      // a clock further behind than this skips ahead

volatile std::sig_atomic_t stopSignal = 0;

void OnStopSignal(int) { stopSignal = 1; }

// ---- commands

Schedule Every(double hz, double now) { return Schedule{hz > 0 ? 1000 / hz : 0, now}; }

// Sets the rate of one stream (a kStream* bit) and restarts its clock.
void SetRate(uint32_t stream, double hz) {
  const double now = NowMs();
  if (stream == kStreamBeacons) {
    server.beaconHz = hz;
    server.beaconClock = Every(hz, now);
  } else if (stream == kStreamBlocks) {
    server.blockHz = hz;
    server.blockClock = Every(hz, now);
  } else {
    server.updateHz = hz;
  }
  // Counters move with the update clock, or with the block rounds while updates are off.
  server.tickClock = Every(server.updateHz > 0 ? server.updateHz : server.blockHz, now);
}

void Execute(const Command& c) {
  switch (c.kind) {
    case CommandKind::kPause: server.paused |= c.streams; break;
    case CommandKind::kResume: server.paused &= ~c.streams; break;
    case CommandKind::kRate:
      SetRate(c.streams, c.rate);
      break;
    case CommandKind::kClose:
    case CommandKind::kReset:
      if (server.conn == kNoSocket)
        return Problem("%s: there is no connection", c.kind == CommandKind::kClose ? "close" : "reset");
      EndConnection(c.kind == CommandKind::kReset, "by command");
      break;
    case CommandKind::kUnlisten:
      server.listenWanted = false;
      StopListening();
      break;
    case CommandKind::kListen:
      server.listenWanted = true;
      StartListening();
      break;
    case CommandKind::kDrop: server.dropConnections = true; break;
    case CommandKind::kKeep: server.dropConnections = false; break;
    case CommandKind::kNoApply: server.applyWrites = false; break;
    case CommandKind::kApply: server.applyWrites = true; break;
    case CommandKind::kSplit:
      server.splitArmed = true;
      server.splitDelayMs = c.delayMs;
      server.splitAt = c.splitAt;
      break;
    case CommandKind::kCoalesce:
      server.coalesceWanted = c.count;
      server.coalesceHeld = server.coalesceBytes = 0;
      break;
    case CommandKind::kBad: SendBadFrame(c.transport, c.bad); break;
    case CommandKind::kSet: SetImageValue(image, c.offset, c.value, c.size); break;
    case CommandKind::kCounter:
      if (!AddCounter(image, Counter{c.offset, c.size, c.step})) Problem("counter: at most %u counters", kMaxCounters);
      break;
    case CommandKind::kWave:
      if (!AddWave(image, Wave{c.offset, c.size, c.low, c.high, c.period})) Problem("wave: at most %u waves", kMaxWaves);
      break;
    case CommandKind::kNoCounters:
      image.counterCount = 0;
      image.waveCount = 0;
      break;
    case CommandKind::kTag: server.blockTag = c.tag; break;
    case CommandKind::kStatus: break;
    case CommandKind::kQuit: server.running = false; break;
  }
}

void RunCommandLine(const std::string& line) {
  Command c;
  char error[kCommandErrorSize];
  const int parsed = ParseCommand(line.c_str(), &c, error);
  if (parsed == 0) return;
  ++server.stats.commands;
  if (parsed < 0) {
    Problem("command '%s': %s", line.c_str(), error);
  } else {
    Event("command: %s", line.c_str());
    Execute(c);
  }
  WriteStatus();
}

// ---- the loop

// Fires job for every period of clock that has passed (skipping ahead when
// more than a second behind); a paused clock only keeps up with now.
template <typename Job>
void RunClock(Schedule& clock, bool paused, double now, Job job) {
  if (clock.periodMs <= 0) return;
  if (paused) {
    if (clock.next < now) clock.next = now;
    return;
  }
  if (now - clock.next > kMaxBacklogMs) clock.next = now;
  while (clock.next <= now && server.running) {
    job();
    clock.next += clock.periodMs;
  }
}

double NextDeadline(double now) {
  double next = now + kMaxWaitMs;
  for (const Schedule* c : {&server.beaconClock, &server.blockClock, &server.tickClock})
    if (c->periodMs > 0 && c->next < next) next = c->next;
  return next;
}

void Wait(double ms) {
  const uint32_t waitMs = ms <= 0 ? 0 : uint32_t(ms + 0.999);
  if (waitMs == 0) return;
  if (server.conn != kNoSocket) {
    NetWaitReadable(server.conn, waitMs);
  } else if (server.listener != kNoSocket) {
    NetWaitReadable(server.listener, waitMs);
  } else {
    std::this_thread::sleep_for(std::chrono::milliseconds(waitMs));
  }
}

int Setup(const SimOptions& options) {
  server.opt = options;
  server.start = Clock::now();
  server.group = NetParseAddress(kBeaconGroupText);
  server.address = NetParseAddress(options.address.c_str());
  if (!options.client.empty()) server.clientOverride = NetParseAddress(options.client.c_str());
  server.blockTag = options.blockTag;
  ResetSimImage(image, options.pattern);
  if (!NetStartup()) {
    Problem("the socket library did not start");
    return 0;
  }
  server.udp = NetUdpSocket();
  if (server.udp == kNoSocket || !NetBind(server.udp, server.address, 0)) {
    Problem("cannot bind a UDP socket to %s: is it an address of this machine?", options.address.c_str());
    return 0;
  }
  if (!NetSetMulticastInterface(server.udp, server.address) || !NetSetMulticastTtl(server.udp, 1) ||
      !NetSetMulticastLoop(server.udp, 1)) {
    Problem("cannot send multicast from %s: is it an address of this machine?", options.address.c_str());
    return 0;
  }
  if (!options.journal.empty() && !OpenJournal(server.journal, options.journal)) {
    Problem("cannot create the journal '%s'", options.journal.c_str());
    return 0;
  }
  if (!options.stamps.empty() && (server.stamps = std::fopen(options.stamps.c_str(), "wb")) == nullptr) {
    Problem("cannot create the stamps file '%s'", options.stamps.c_str());
    return 0;
  }
  if (!options.control.empty() && !OpenControl(server.control, options.control)) {
    Problem("cannot open the control file '%s'", options.control.c_str());
    return 0;
  }
  SetRate(kStreamBeacons, options.beaconHz);
  SetRate(kStreamBlocks, options.blockHz);
  SetRate(kStreamUpdates, options.updateHz);
  for (const std::string& line : options.startCommands) RunCommandLine(line);
  server.stats.commands = 0;
  if (server.listenWanted && !StartListening()) return 0;
  std::signal(SIGINT, OnStopSignal);
  std::signal(SIGTERM, OnStopSignal);
  Event("sending beacons from %s to %s:%u", options.address.c_str(), kBeaconGroupText, kBeaconPort);
  return 1;
}

void Teardown() {
  EndConnection(false, "the server ends");
  StopListening();
  NetClose(server.udp);
  server.running = false;
  WriteStatus();
  CloseJournal(server.journal);
  if (server.stamps != nullptr) std::fclose(server.stamps);
  server.stamps = nullptr;
  CloseControl(server.control);
  NetCleanup();
}

}  // namespace

int RunServer(const SimOptions& options) {
  if (!Setup(options)) {
    Teardown();
    return 1;
  }
  const double endMs = options.duration > 0 ? options.duration * 1000 : -1;
  double nextControl = 0, nextStatus = 0;
  std::vector<std::string> lines;
  while (server.running && stopSignal == 0) {
    double now = NowMs();
    if (endMs >= 0 && now >= endMs) break;
    if (now >= nextControl) {
      nextControl = now + kControlPollMs;
      lines.clear();
      PollControl(server.control, &lines);
      for (const std::string& line : lines) RunCommandLine(line);
    }
    if (server.listener != kNoSocket && NetWaitReadable(server.listener, 0) == 1) AcceptConnection();
    ReadConnection();
    now = NowMs();
    RunClock(server.beaconClock, server.paused & kStreamBeacons, now, SendBeacon);
    RunClock(server.blockClock, server.paused & kStreamBlocks, now, SendBlockRound);
    RunClock(server.tickClock, false, now, Tick);
    if (now >= nextStatus) {
      nextStatus = now + kStatusEveryMs;
      WriteStatus();
      if (server.stamps != nullptr) std::fflush(server.stamps);
    }
    Wait(NextDeadline(NowMs()) - NowMs());
  }
  Event("ending");
  Teardown();
  return 0;
}
