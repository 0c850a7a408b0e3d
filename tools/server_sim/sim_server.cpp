// The simulated server's loop and everything it sends and takes.
#include "sim_server.h"

#include <chrono>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "link/frame_reader.h"
#include "link/net.h"
#include "sim_abort.h"
#include "sim_command.h"
#include "sim_control.h"
#include "sim_image.h"
#include "sim_journal.h"
#include "sim_stamp.h"
#include "sim_wire.h"

namespace {

constexpr uint32_t kSendLimitMs = 2000;     // a client that stops reading loses its connection
constexpr double kMaxWaitMs = 5;            // longest single wait of the loop
constexpr double kControlPollMs = 10;       // how often the control channel is read
constexpr double kStatusEveryMs = 100;      // how often the status file is rewritten
constexpr double kMaxBacklogMs = 1000;      // a clock further behind than this skips ahead
constexpr uint32_t kMaxReadsPerTurn = 64;   // receives per loop turn (two per frame), so sending keeps its pace
constexpr uint32_t kMaxCoalesce = 16;
constexpr uint32_t kUpdateRecordsPerFrame = kMaxSendPayload / kUpdateRecordSize;
const uint8_t kBeaconPayload[] = "server_sim beacon";

using Clock = std::chrono::steady_clock;

// A periodic job: fires every periodMs while active; 0 = off.
struct Schedule {
  double periodMs = 0;
  double next = 0;
};

struct Stats {
  uint64_t beacons = 0, blocks = 0, updates = 0, updateRecords = 0, batches = 0;
  uint64_t badReceived = 0, badSent = 0, splits = 0, coalesced = 0, connections = 0;
  uint64_t commands = 0, errors = 0;
};

struct Server {
  SimOptions opt;
  Clock::time_point start;
  uint32_t address = 0, group = 0, clientOverride = 0;
  NetSocket udp = kNoSocket, listener = kNoSocket, conn = kNoSocket;
  uint32_t connAddress = 0;
  uint16_t connPort = 0;
  bool listenWanted = true;
  bool running = true;
  uint32_t paused = 0;  // kStream* bits
  double beaconHz = 0, blockHz = 0, updateHz = 0;
  Schedule beaconClock, blockClock, tickClock;
  uint32_t blockTag = 0;
  uint32_t tagTurn = 0;
  bool splitArmed = false;
  uint32_t splitDelayMs = 0, splitAt = 0;
  uint32_t coalesceWanted = 0, coalesceHeld = 0, coalesceBytes = 0;
  Journal journal;
  FILE* stamps = nullptr;  // --stamps: one line per update frame sent
  uint64_t receivedNs = 0;  // receive stamp of the bytes being taken
  ControlChannel control;
  Stats stats;
};

Server server;
SimImage image;
uint8_t frameBuf[kMaxFrameSize];
uint8_t payloadBuf[kMaxSendPayload];
FrameReader reader;  // write batches from the connection
uint8_t coalesceBuf[kMaxCoalesce * kMaxFrameSize];
volatile std::sig_atomic_t stopSignal = 0;

void OnStopSignal(int) { stopSignal = 1; }

void OnBadFrame(void*, const BadFrame& bad);

double NowMs() { return std::chrono::duration<double, std::milli>(Clock::now() - server.start).count(); }

void Event(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Event(const char* format, ...) {
  if (server.opt.quiet) return;
  char line[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  std::printf("[%9.3f] %s\n", NowMs() / 1000, line);
  std::fflush(stdout);
}

void Problem(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Problem(const char* format, ...) {
  char line[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  std::fprintf(stderr, "server_sim: %s\n", line);
  std::fflush(stderr);
  ++server.stats.errors;
}

std::string Dotted(uint32_t a) {
  char text[kNetAddressTextSize];
  return NetFormatAddress(a, text);
}

// ---- status

void WriteStatus() {
  if (server.opt.status.empty()) return;
  const Stats& s = server.stats;
  char text[1024];
  std::snprintf(text, sizeof text,
                "running=%d\nlistening=%d\nconnected=%d\nclient=%s\npaused=%u\nbeacons=%llu\nblocks=%llu\n"
                "updates=%llu\nupdate_records=%llu\nbatches=%llu\nbad_received=%llu\nbad_sent=%llu\n"
                "splits=%llu\ncoalesced=%llu\nconnections=%llu\ncommands=%llu\nerrors=%llu\nuptime_ms=%.0f\n",
                server.running ? 1 : 0, server.listener != kNoSocket ? 1 : 0, server.conn != kNoSocket ? 1 : 0,
                server.conn != kNoSocket ? Dotted(server.connAddress).c_str() : "", server.paused,
                (unsigned long long)s.beacons, (unsigned long long)s.blocks, (unsigned long long)s.updates,
                (unsigned long long)s.updateRecords, (unsigned long long)s.batches,
                (unsigned long long)s.badReceived, (unsigned long long)s.badSent, (unsigned long long)s.splits,
                (unsigned long long)s.coalesced, (unsigned long long)s.connections,
                (unsigned long long)s.commands, (unsigned long long)s.errors, NowMs());
  // Written aside and renamed over the old one, so a reader never sees half.
  const std::string temp = server.opt.status + ".tmp";
  FILE* f = std::fopen(temp.c_str(), "wb");
  if (f == nullptr) return;
  std::fputs(text, f);
  std::fclose(f);
  std::error_code ignored;
  std::filesystem::rename(temp, server.opt.status, ignored);
}

// ---- sockets

int StartListening() {
  if (server.listener != kNoSocket) return 1;
  NetSocket s = NetTcpSocket();
  if (s == kNoSocket || !NetSetReuseAddress(s) || !NetBind(s, server.address, kServerPort) || !NetListen(s, 4)) {
    NetClose(s);
    Problem("cannot listen on %s:%u (is the port in use, or is the address not this machine's?)",
            server.opt.address.c_str(), kServerPort);
    return 0;
  }
  server.listener = s;
  Event("listening on %s:%u", server.opt.address.c_str(), kServerPort);
  return 1;
}

void StopListening() {
  if (server.listener == kNoSocket) return;
  NetClose(server.listener);
  server.listener = kNoSocket;
  Event("stopped listening");
}

void ForgetConnection() {
  server.conn = kNoSocket;
  server.coalesceWanted = server.coalesceHeld = server.coalesceBytes = 0;
}

// Ends the connection: in order (FIN) or by a reset (RST).
void EndConnection(bool reset, const char* why) {
  if (server.conn == kNoSocket) return;
  if (reset) {
    AbortConnection(server.conn);
  } else {
    NetShutdownBoth(server.conn);
    NetClose(server.conn);
  }
  Event("connection from %s %s: %s", Dotted(server.connAddress).c_str(), reset ? "reset" : "closed", why);
  ForgetConnection();
}

void AcceptConnection() {
  uint32_t from = 0;
  uint16_t port = 0;
  const NetSocket s = NetAccept(server.listener, &from, &port);
  if (s == kNoSocket) return;
  EndConnection(false, "a new connection replaces it");
  NetSetSendTimeLimit(s, kSendLimitMs);
  EnableReceiveStamps(s);
  server.conn = s;
  server.connAddress = from;
  server.connPort = port;
  ++server.stats.connections;
  ResetFrameReader(reader, kWriteBatchFrames, OnBadFrame, nullptr);
  Event("accepted a connection from %s:%u", Dotted(from).c_str(), port);
}

// Sends a whole buffer on the connection; drops the connection on failure.
int SendOnConnection(const uint8_t* data, uint32_t size) {
  if (server.conn == kNoSocket) return 0;
  const int sent = NetSend(server.conn, data, size);
  if (sent == int(size)) return 1;
  EndConnection(false, sent < 0 ? "send failed or timed out" : "send went out short");
  return 0;
}

uint32_t UpdateTarget() {
  if (server.clientOverride != 0) return server.clientOverride;
  return server.conn != kNoSocket ? server.connAddress : 0;
}

// ---- what the server sends

void SendBeacon() {
  const uint32_t n =
      BuildFrame(kTypeBeacon, kTagBeacon, kBeaconPayload, sizeof kBeaconPayload, frameBuf, sizeof frameBuf);
  if (NetSendTo(server.udp, frameBuf, n, server.group, kBeaconPort) == int(n)) ++server.stats.beacons;
}

// A data block through the split and coalesce faults. Returns how many data
// blocks went out: 0 while a coalesced send is still being gathered.
uint32_t SendBlockFrame(const uint8_t* frame, uint32_t length) {
  if (server.coalesceWanted > 0) {
    std::copy(frame, frame + length, coalesceBuf + server.coalesceBytes);
    server.coalesceBytes += length;
    if (++server.coalesceHeld < server.coalesceWanted) return 0;
    const uint32_t held = server.coalesceHeld, bytes = server.coalesceBytes;
    server.coalesceWanted = server.coalesceHeld = server.coalesceBytes = 0;
    if (!SendOnConnection(coalesceBuf, bytes)) return 0;
    ++server.stats.coalesced;
    Event("sent %u data blocks in one send (%u bytes)", held, bytes);
    return held;
  }
  if (server.splitArmed) {
    server.splitArmed = false;
    uint32_t first = server.splitAt != 0 ? server.splitAt : length / 2;
    if (first >= length) first = length - 1;
    if (!SendOnConnection(frame, first)) return 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(server.splitDelayMs));
    if (!SendOnConnection(frame + first, length - first)) return 0;
    ++server.stats.splits;
    Event("sent a data block in two sends (%u + %u bytes, %u ms apart)", first, length - first,
          server.splitDelayMs);
    return 1;
  }
  return SendOnConnection(frame, length);
}

void SendBlockRound() {
  for (uint32_t type = kTypeFirstBlock; type <= kTypeLastBlock && server.conn != kNoSocket; ++type) {
    if ((server.opt.blockTypes >> type & 1) == 0) continue;
    const uint32_t tag = server.blockTag != 0 ? server.blockTag : kBlockTags[server.tagTurn++ % 3];
    CopyBlockPayload(image, type, payloadBuf);
    const uint32_t n = BuildFrame(type, tag, payloadBuf, kDataBlockSize, frameBuf, sizeof frameBuf);
    server.stats.blocks += SendBlockFrame(frameBuf, n);
  }
}

// One update frame for every changed byte (more when they do not fit one);
// the changes are dropped while no client is known.
void SendUpdates() {
  const uint32_t target = UpdateTarget();
  while (image.dirtyCount > 0) {
    const uint32_t records = TakeUpdateRecords(image, server.opt.upperRegion, payloadBuf, kUpdateRecordsPerFrame);
    if (target == 0) continue;
    const uint32_t n =
        BuildFrame(kTypeUpdate, kTagFADE, payloadBuf, records * kUpdateRecordSize, frameBuf, sizeof frameBuf);
    if (server.stamps != nullptr)
      std::fprintf(server.stamps, "update %llu %u\n", static_cast<unsigned long long>(WallClockNs()),
                   FirstCounterValue(image));
    if (NetSendTo(server.udp, frameBuf, n, target, server.opt.updatePort) == int(n)) {
      ++server.stats.updates;
      server.stats.updateRecords += records;
    }
  }
}

void Tick() {
  StepCounters(image);
  if ((server.paused & kStreamUpdates) == 0 && server.updateHz > 0) SendUpdates();
}

void SendBadFrame(Transport t, BadKind kind) {
  const uint32_t n = BuildBadFrame(t, kind, frameBuf);
  int ok = 0;
  switch (t) {
    case Transport::kTcp:
      if (server.conn == kNoSocket) return Problem("bad tcp: there is no connection");
      ok = SendOnConnection(frameBuf, n);
      break;
    case Transport::kUnicast:
      if (UpdateTarget() == 0) return Problem("bad unicast: no client known (connect one or give --client)");
      ok = NetSendTo(server.udp, frameBuf, n, UpdateTarget(), server.opt.updatePort) == int(n);
      break;
    case Transport::kMulticast:
      ok = NetSendTo(server.udp, frameBuf, n, server.group, kBeaconPort) == int(n);
      break;
  }
  if (ok) ++server.stats.badSent;
  Event("sent a broken frame (%u bytes): %s", n, ok ? "ok" : "failed");
}

// ---- what the server takes

// Reports a frame with a bad footer; the reader then drops what it buffered.
void OnBadFrame(void*, const BadFrame& bad) {
  ++server.stats.badReceived;
  char why[96];
  std::snprintf(why, sizeof why, "footer size=%u foot_size=%u tag=0x%04X", bad.headSize, bad.footSize, bad.footTag);
  JournalBad(server.journal, why, nullptr, 0);
  Event("received a frame with a bad footer (%s); dropped what was buffered", why);
}

void TakeFrame(const Frame& f) {
  if (f.type != kTypeWriteBatch) {
    ++server.stats.badReceived;
    char why[64];
    std::snprintf(why, sizeof why, "type=%u", f.type);
    JournalBad(server.journal, why, FrameStart(f), FrameLength(f));
    Event("received a frame of type %u, not a write batch", f.type);
    return;
  }
  const char* why = nullptr;
  const int records = CheckWriteBatch(f.payload, f.size, &why);
  if (records < 0) {
    ++server.stats.badReceived;
    JournalBad(server.journal, "batch", FrameStart(f), FrameLength(f));
    Event("received a malformed write batch: %s", why);
    return;
  }
  JournalBatch(server.journal, FrameStart(f), FrameLength(f), f.payload, records, server.receivedNs);
  ApplyWriteBatch(image, f.payload, f.size);
  ++server.stats.batches;
}

void ReadConnection() {
  for (uint32_t turn = 0; turn < kMaxReadsPerTurn && server.conn != kNoSocket; ++turn) {
    if (NetWaitReadable(server.conn, 0) != 1) return;
    uint32_t room = 0;
    uint8_t* space = FrameReaderSpace(reader, &room);
    // One frame at a time, so that each batch has the receive stamp of its own
    // packet even when several wait in the socket.
    const uint32_t wanted = FrameReaderWanted(reader);
    const int n = ReceiveStamped(server.conn, space, wanted < room ? wanted : room, &server.receivedNs);
    if (n <= 0) return EndConnection(false, n == 0 ? "the client closed it" : "receive failed");
    FrameReaderCommit(reader, uint32_t(n));
    Frame f;
    while (NextFrame(reader, &f) == NextFrameResult::kFrame) TakeFrame(f);
  }
}

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
    case CommandKind::kNoCounters: image.counterCount = 0; break;
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
