// The supervisor's ticks driven with a recording link, a recording window and
// a hand-advanced clock; the event log goes to a scratch file.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "base/event_log.h"
#include "base/shared_flags.h"
#include "ipc/offset_image.h"
#include "ipc/image_access.h"
#include "link/connection_supervisor_tick.h"
#include "link/link_port.h"
#include "link/link_status.h"
#include "link/net.h"

namespace {

using Lines = std::vector<std::string>;
const std::string kIdle = "UDP = 0 per/sec" + std::string(33, ' ');

uint32_t Address(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
  const uint8_t bytes[4] = {a, b, c, d};  // network order
  uint32_t v;
  std::memcpy(&v, bytes, 4);
  return v;
}

struct FakeLink final : LinkPort {
  Lines calls;
  int openResult = 1, connectResult = 0;
  uint32_t server = Address(10, 0, 0, 2);
  uint32_t lastSender = Address(10, 9, 9, 9);
  int thisPcGone = 0, listenChanged = 0;
  std::atomic<uint32_t> up{0};
  bool beacons = false;  // the beacon receiver runs
  std::function<void()> onConnect;   // during the connection attempt
  std::function<void()> onStartTcp;  // as the link's receiver starts
  StatusBoard board;

  // As new: the calls, results and callbacks; the board keeps what it shows.
  void Reset() {
    calls.clear();
    openResult = 1, connectResult = 0, thisPcGone = 0, listenChanged = 0;
    server = Address(10, 0, 0, 2), lastSender = Address(10, 9, 9, 9);
    up = 0, beacons = false;
    onConnect = nullptr, onStartTcp = nullptr;
    board.Publish(LinkStatus{});
  }
  void Record(const std::string& call) { calls.push_back(call); }
  int Open(int quiet) override {
    Record(quiet ? "Open quietly" : "Open");
    beacons = openResult == 1;
    return openResult;
  }
  void FindServer() override {}
  ConnectResult Connect() override {
    if (onConnect) onConnect();
    char text[kNetAddressTextSize];
    Record(std::string("Connect ") + NetFormatAddress(server, text));
    if (connectResult == 0) return ConnectResult::kRefused;
    if (programRunning == 0) return ConnectResult::kStopping;
    up = 1;
    if (onStartTcp) onStartTcp();
    beacons = false;
    return ConnectResult::kUp;
  }
  uint32_t Server() override { return server; }
  uint32_t ShownSender() override { return server != 0 ? server : lastSender; }
  bool Up() override { return up != 0; }
  void TakeDown() override { up = 0; }
  void Close() override {
    Record("Close");
    up = 0, beacons = false;
  }
  void CopyServerHostName(char* out, size_t size) override { std::snprintf(out, size, "simhost"); }
  int LocalAddresses(uint32_t* out, int max) override {
    const int n = max < 2 ? max : 2;
    for (int i = 0; i < n; ++i) out[i] = NetParseAddress(i == 0 ? "10.0.0.7" : "192.168.5.9");
    return n;
  }
  int ThisPcGone(uint32_t* address) override {
    *address = Address(10, 0, 0, 7);
    return thisPcGone;
  }
  int ListenAddressesChanged() override { return listenChanged; }
  void Publish(const LinkStatus& status) override { board.Publish(status); }
};

// The lines as the window paints them from what the link was given.
std::string Line(const StatusBoard& board, StatusLineId id) {
  char text[kUdpLineSize];
  return std::string(text, FormatStatusLine(board.Snapshot(), id, text, sizeof text));
}

struct FakeWindow final : StatusWindowPort {
  const StatusBoard* board = nullptr;
  std::string shown[kStatusLineCount];  // the lines as of the last repaint
  std::string errorText, errorCaption;
  void RequestRepaint() override {
    for (int id = 0; id < kStatusLineCount; ++id) shown[id] = Line(*board, StatusLineId(id));
  }
  void ShowError(const char* text, const char* caption) override { errorText = text, errorCaption = caption; }
};

// Requests, read bytes and write bytes as the front ends count them.
void CountAccess(uint32_t requests, uint32_t readBytes, uint32_t writeBytes) {
  struct : WriteBatchSender {
    bool LinkUp() override { return true; }
    Outcome Send(const uint8_t*, uint32_t) override { return Outcome::kDone; }
  } sender;
  static WriteBatch batch;
  static uint8_t bytes[kImageSize];
  ReadSpan(0, readBytes, bytes);
  if (writeBytes != 0) batch.Add(0x0100, writeBytes, bytes);
  for (uint32_t i = 0; i < requests; ++i) batch.Finish(sender);
}

struct FakeClock final : SupervisorClock {
  uint64_t now = 0;
  std::function<void(uint64_t)> onSleep;
  uint64_t NowMs() override { return now; }
  void Sleep(uint32_t ms) override {
    now += ms;
    if (onSleep) onSleep(now);
  }
  // As the real clock: the shutdown (programRunning cleared by onSleep)
  // ends the sleep within a millisecond.
  void SleepWhileRunning(uint32_t ms) override {
    for (uint32_t slept = 0; slept < ms && programRunning != 0; ++slept) {
      ++now;
      if (onSleep) onSleep(now);
    }
  }
};

// Through two update records, which set image bytes whatever the shadow says.
void SetImageWord(uint32_t offset, uint16_t v) {
  const uint8_t records[2 * kUpdateRecordSize] = {
      uint8_t(offset >> 16), 0, uint8_t(offset), uint8_t(offset >> 8), uint8_t(v), 0,
      uint8_t((offset + 1) >> 16), 0, uint8_t(offset + 1), uint8_t((offset + 1) >> 8), uint8_t(v >> 8), 0};
  ApplyUpdateRecords(records, 2);
}

class SupervisorTest : public ::testing::Test {
 protected:
  FakeLink link;
  FakeWindow window;
  FakeClock clock;
  Supervisor s{&link, &window, &clock};
  std::string logPath = (std::filesystem::temp_directory_path() / ("kv_supervisor_" + std::to_string(getpid()))).string();

  void SetUp() override { Reset(); }
  void TearDown() override {
    CloseEventLog();
    std::filesystem::remove(logPath + ".txt"), std::filesystem::remove(logPath + ".log");
  }
  // A fresh start: used by SetUp and between the cases of one table.
  void Reset() {
    CloseEventLog();
    link.Reset();
    window = FakeWindow{}, clock = FakeClock{};
    window.board = &link.board;
    s = Supervisor{&link, &window, &clock};
    ResetAccessCounts();
    programRunning = 1;
    InitOffsetImage();
    ASSERT_EQ(1, OpenLogs((logPath + ".txt").c_str(), (logPath + ".log").c_str()));
  }
  // The event log so far, CR LF and the "HH:MM:SS:mmm " prefix taken off.
  Lines LogLines() {
    CloseEventLog();
    Lines out;
    std::ifstream in(logPath + ".txt");
    for (std::string l; std::getline(in, l);) {
      if (!l.empty() && l.back() == '\r') l.pop_back();
      out.push_back(l.size() > 13 && l[2] == ':' && l[8] == ':' ? l.substr(13) : l);
    }
    return out;
  }
  void Ticks(int n) {
    for (int i = 0; i < n; ++i) SupervisorTick(s);
  }
  void Connected() { s.shown.state = kUdpTcpConnected, link.up = 1; }
};

TEST_F(SupervisorTest, InitOpensUdpAndForgetsEarlierActivity) {
  AddLinkActivity(40);
  Ticks(2);  // INIT, then the first NOT_CONNECTED tick
  EXPECT_EQ((Lines{"Open"}), link.calls);
  EXPECT_EQ(kNotConnected, s.shown.state);
  EXPECT_EQ(kIdle, window.shown[kUdpLine]);
  EXPECT_EQ(500u, clock.now);  // INIT itself does not wait
  EXPECT_EQ((Lines{"Status INIT", "Status NOT_CONNECTED"}), LogLines());
}

TEST_F(SupervisorTest, BeaconsMoveNotConnectedOn) {
  const struct { const char* name; std::vector<uint32_t> beaconsPerTick; std::string line; uint32_t state; } cases[] = {
      {"no beacon", {0, 0, 0}, kIdle, kNotConnected},
      {"one beacon", {1}, "UDP = 2 per/sec" + std::string(33, ' '), kUdpConnected},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Reset();
    s.shown.state = kNotConnected;
    for (uint32_t n : c.beaconsPerTick) AddLinkActivity(n), Ticks(1);
    EXPECT_EQ(c.line, window.shown[kUdpLine]);
    EXPECT_EQ(c.state, s.shown.state);
  }
}

TEST_F(SupervisorTest, RefusedConnectionIsReportedAndTriedEveryTick) {
  s.shown.state = kUdpConnected;
  AddLinkActivity(3);
  Ticks(3);
  EXPECT_EQ((Lines{"Connect 10.0.0.2", "Connect 10.0.0.2", "Connect 10.0.0.2"}), link.calls);
  EXPECT_EQ(kUdpConnected, s.shown.state);
  EXPECT_EQ("UDP = 0 per/sec from 10.0.0.2", window.shown[kUdpLine]);
  EXPECT_EQ(1500u, clock.now);
}

TEST_F(SupervisorTest, ConnectionBringsTheLinkUp) {
  s.shown.state = kUdpConnected, link.beacons = true, link.connectResult = 1;
  Ticks(1);
  EXPECT_EQ((Lines{"Connect 10.0.0.2"}), link.calls);
  EXPECT_EQ(kUdpTcpConnected, s.shown.state);
  EXPECT_EQ(1u, link.up);
  EXPECT_FALSE(link.beacons);
  EXPECT_EQ("Connected to Server simhost", window.shown[kConnectionLine]);
  EXPECT_EQ(600u, clock.now);
  EXPECT_EQ((Lines{"Connection to Server 10.0.0.2 OK", "Status UDP_TCP_CONNECTED", "Link up after 0.0 s"}),
            LogLines());
}

TEST_F(SupervisorTest, LinkUpSaysHowLongSinceUdpOpened) {
  clock.now = 7000;  // an earlier link's time does not count
  Ticks(1);          // INIT: UDP opens
  AddLinkActivity(2);
  Ticks(1);  // NOT_CONNECTED: beacons seen
  clock.now += 950;
  link.connectResult = 1;
  Ticks(1);  // UDP_CONNECTED: connected 1.45 s after the opening
  const Lines lines = LogLines();
  EXPECT_NE(lines.end(), std::find(lines.begin(), lines.end(), "Link up after 1.4 s")) << testing::PrintToString(lines);
}

TEST_F(SupervisorTest, ConnectionClosedAtOnceLeavesTheLinkDown) {
  // The server accepts and closes before the supervisor has gone on: the new
  // receiver has cleared link.up, so no write batch goes to the dead socket.
  s.shown.state = kUdpConnected, link.connectResult = 1;
  link.onStartTcp = [this] { link.up = 0; };
  Ticks(1);
  EXPECT_EQ(kUdpTcpConnected, s.shown.state);
  EXPECT_EQ(0u, link.up);
}

TEST_F(SupervisorTest, ConnectedTickShowsRatesAndDataRate) {
  const struct { const char* name; uint16_t w, previousK, k; const char* rate; } cases[] = {
      {"W = 0", 0, 100, 120, "0.00"},
      {"W = 32768", 32768, 100, 120, "40.00"},
      {"W = 16384", 16384, 100, 120, "20.00"},
      {"K wraps", 32768, 65530, 10, "32.00"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Reset();
    Connected();
    s.previousDataRateCount = c.previousK, s.previousActivity = 5, s.previousCounts.requests = 10;
    AddLinkActivity(5 + 2 * kBlockActivity + 10);  // two data blocks and ten update frames
    SetImageWord(0x0274, c.w), SetImageWord(0x337E, c.k);
    CountAccess(13, 400, 8);
    Ticks(1);
    EXPECT_EQ(std::string("UDP=65556 per/sec from 10.0.0.2 Datarate=") + c.rate, window.shown[kUdpLine]);
    EXPECT_EQ("Request:\t13\t\t6 per/sec", window.shown[kRequestLine]);
    EXPECT_EQ("Read:\t400\t\t800 per/sec", window.shown[kReadLine]);
    EXPECT_EQ("Write:\t8\t\t16 per/sec", window.shown[kWriteLine]);
    EXPECT_EQ(c.k, s.previousDataRateCount);
  }
}

TEST_F(SupervisorTest, QuietLinkGetsElevenTicksALostOneNone) {
  // Per tick: '+' data and the link up, '-' no data, 'x' data but link.up
  // cleared before the tick (the receiver saw the connection end), 'f' a
  // write batch fails during this tick's wait.
  const char* kWatchdog = "udpBytesPerSecond < 10 => Status DEINIT ";
  const char* kLost = "Link lost => Status DEINIT ";
  const struct { const char* name; const char* ticks; const char* deinitLine; uint32_t misses; } cases[] = {
      {"ten misses then a good tick", "----------+", nullptr, 0},
      {"eleven misses", "-----------", kWatchdog, 0},
      {"the good tick restarts the count", "----------+----------", nullptr, 10},
      {"a failed send, data still coming", "f", kLost, 0},
      {"connection ended by the server", "x", kLost, 0},
      {"lost after quiet ticks", "-----x", kLost, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Reset();
    Connected();
    for (const char* t = c.ticks; *t != '\0'; ++t) {
      ASSERT_EQ(kUdpTcpConnected, s.shown.state) << "tick " << t - c.ticks;
      if (*t != '-') AddLinkActivity(1);
      if (*t == 'x') link.up = 0;
      clock.onSleep = [&, f = *t == 'f'](uint64_t) { if (f) link.up = 0; };
      Ticks(1);
    }
    EXPECT_EQ(c.deinitLine != nullptr ? kDeinit : kUdpTcpConnected, s.shown.state);
    EXPECT_EQ(c.deinitLine != nullptr ? 0u : 1u, link.up);
    const Lines log = LogLines();
    if (c.deinitLine != nullptr) {
      ASSERT_FALSE(log.empty());
      EXPECT_EQ(c.deinitLine, log.back());
    } else {
      EXPECT_TRUE(log.empty() || log.back().find("DEINIT") == std::string::npos);
    }
    EXPECT_EQ(c.misses, s.missCount);
  }
}

// A failed opening: the lines, the error text and the box, then quiet
// retries every two seconds until the address is there; a later failure
// logs again but shows no second box.
TEST_F(SupervisorTest, UdpFailureRetriesQuietlyAndShowsTheBoxOnce) {
  link.openResult = 0;
  Ticks(1);
  EXPECT_EQ((Lines{"Open", "Close"}), link.calls);
  EXPECT_EQ("Can't start UDP, please restart Kestrovaline    ", window.shown[kUdpLine]);
  EXPECT_EQ("Can't open UDP, wrong IP address!\nPlease restart Kestrovaline", window.errorText);
  EXPECT_EQ("Kestrovaline Error", window.errorCaption);

  link.calls.clear(), window.errorText.clear();
  const uint64_t failedAt = clock.now;
  Ticks(3);
  EXPECT_EQ((Lines{"Open quietly", "Open quietly", "Open quietly"}), link.calls);
  EXPECT_EQ(failedAt + 3 * kUdpRetryMs, clock.now);
  EXPECT_EQ(kInit, s.shown.state);
  link.openResult = 1;
  Ticks(1);
  EXPECT_EQ(kNotConnected, s.shown.state);
  EXPECT_EQ((Lines{"Status INIT", "Can't open UDP", "Addresses of this PC: 10.0.0.7, 192.168.5.9",
                   "Status NOT_CONNECTED"}),
            LogLines());

  ASSERT_EQ(1, OpenLogs((logPath + ".txt").c_str(), (logPath + ".log").c_str()));
  s.shown.state = kInit, link.openResult = 0;
  Ticks(1);
  EXPECT_EQ((Lines{"Status INIT", "Can't open UDP", "Addresses of this PC: 10.0.0.7, 192.168.5.9"}), LogLines());
  EXPECT_TRUE(window.errorText.empty()) << "a second box";
}

// With this PC's address set to auto and none there yet: the opening's own
// line, quiet retries, no box; the link comes back with the address.
TEST_F(SupervisorTest, NoAddressYetRetriesQuietlyWithoutABox) {
  link.openResult = kUdpNoAddressYet;
  Ticks(1);
  EXPECT_EQ(kInit, s.shown.state);
  EXPECT_EQ((Lines{"Open"}), link.calls);
  EXPECT_EQ("UDP waits for an address of this PC" + std::string(14, ' '), window.shown[kUdpLine]);
  Ticks(2);
  EXPECT_EQ((Lines{"Open", "Open quietly", "Open quietly"}), link.calls);
  link.openResult = 1;
  Ticks(1);
  EXPECT_EQ(kNotConnected, s.shown.state);
  EXPECT_TRUE(window.errorText.empty()) << window.errorText;
  EXPECT_EQ((Lines{"Status INIT", "Status NOT_CONNECTED"}), LogLines());
}

// This PC's address vanishing while the link is up: link.up is cleared by the
// end of the tick it vanished in, so no write is answered 1 later than one
// tick after; a quiet or lost link as before otherwise.
// The address goes, and with it the link's data (what was received before
// still counts for the tick it came in): the first quiet tick asks the
// adapters and takes the link down, long before the watchdog would.
TEST_F(SupervisorTest, VanishedAddressTakesTheLinkDownAtTheFirstQuietTick) {
  for (uint64_t vanishAt : {0u, 1u, 250u, 499u}) {
    SCOPED_TRACE(vanishAt);
    Reset();
    Connected();
    AddLinkActivity(1);
    Ticks(1);  // a good tick
    const uint64_t start = clock.now;
    uint64_t clearedAt = 0;
    clock.onSleep = [&](uint64_t now) {
      if (now >= start + vanishAt) link.thisPcGone = 1;
      if (link.thisPcGone == 0) AddLinkActivity(1);
      if (clearedAt == 0 && link.up == 0) clearedAt = now;
    };
    AddLinkActivity(1);
    for (int tick = 0; tick < 2 && s.shown.state == kUdpTcpConnected; ++tick) Ticks(1);
    if (clearedAt == 0 && link.up == 0) clearedAt = clock.now;
    EXPECT_EQ(0u, link.up);
    EXPECT_LE(clearedAt, start + vanishAt + 2 * kTickMs);
    EXPECT_EQ(kDeinit, s.shown.state);
    EXPECT_EQ((Lines{"This PC's address 10.0.0.7 is gone", "Link lost => Status DEINIT "}), LogLines());
  }
}

TEST_F(SupervisorTest, ChangedAddressesReopenWhileWaitingForTheServer) {
  for (uint32_t state : {kNotConnected, kUdpConnected}) {
    SCOPED_TRACE(state);
    Reset();
    s.shown.state = state, link.listenChanged = 1;
    Ticks(1);
    EXPECT_EQ(kDeinit, s.shown.state);
    EXPECT_TRUE(link.calls.empty());
    EXPECT_EQ((Lines{"Addresses of this PC changed => Status DEINIT "}), LogLines());
  }
}

TEST_F(SupervisorTest, ShutdownEndsPromptlyInEveryState) {
  const struct { const char* name; uint32_t state; int connect; } cases[] = {
      {"NOT_CONNECTED", kNotConnected, 0}, {"UDP_CONNECTED", kUdpConnected, 0},
      {"UDP_TCP_CONNECTED", kUdpTcpConnected, 0}, {"DEINIT", kDeinit, 0},
      {"connection made as the shutdown began", kUdpConnected, 1}, {"INIT failing", kInit, -1},
      {"INIT retrying after a failure", kInit, -2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Reset();
    s.shown.state = c.state, link.openResult = c.connect >= 0, link.connectResult = c.connect > 0;
    s.udpFailing = c.connect == -2;
    clock.now = 950, clock.onSleep = [](uint64_t now) { if (now >= 1000) programRunning = 0; };
    link.onConnect = [&] { if (c.connect > 0) programRunning = 0; };
    RunSupervisor(s);
    EXPECT_LE(clock.now, 1000u + kSettleMs);
    EXPECT_EQ("Close", link.calls.back());
    EXPECT_EQ(0u, link.up);
    EXPECT_FALSE(link.beacons);
    EXPECT_TRUE(window.errorText.empty());
  }
}

// Beacons, the link up, data stopping, DEINIT (which waits for the TCP
// receiver), INIT again, and the shutdown.
TEST_F(SupervisorTest, WholeRunInOrder) {
  link.connectResult = 1;
  clock.onSleep = [](uint64_t now) {
    if (now % kTickMs == 0 && now < 3000) AddLinkActivity(1);  // beacons, then update frames, until 3 s
    if (now >= 12000) programRunning = 0;
  };
  RunSupervisor(s);
  EXPECT_EQ((Lines{"Connection status thread running", "Waiting for UDP from server", "Status INIT",
                   "Status NOT_CONNECTED", "Status UDP_CONNECTED", "Connection to Server 10.0.0.2 OK",
                   "Status UDP_TCP_CONNECTED", "Link up after 1.0 s", "udpBytesPerSecond < 10 => Status DEINIT ",
                   "Closing connection IP 10.0.0.2", "Status INIT", "Status NOT_CONNECTED"}),
            LogLines());
  EXPECT_EQ((Lines{"Open", "Connect 10.0.0.2", "Close", "Open", "Close"}), link.calls);
  EXPECT_EQ("Connection to Server lost..." + std::string(31, ' '), window.shown[kConnectionLine]);
}

// The supervisor on its own thread while this one paints and the receivers'
// counts grow: every painted line is whole, and the shutdown ends the thread.
TEST_F(SupervisorTest, PainterSeesWholeLinesWhileTheThreadRuns) {
  link.connectResult = 1;
  clock.onSleep = [](uint64_t) { std::this_thread::yield(); };
  std::thread supervisor(RunSupervisor, std::ref(s));
  const std::regex whole("|UDP = [0-9]+ per/sec {33}|UDP = [0-9]+ per/sec from 10\\.0\\.0\\.2|"
                         "UDP=[0-9]+ per/sec from 10\\.0\\.0\\.2 Datarate=[0-9]+\\.[0-9]{2}");
  char text[kUdpLineSize];
  int linkLines = 0;
  // Bounded by time, not by rounds: how many rounds the supervisor needs to
  // bring the link up depends on how the two threads share the machine.
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (linkLines < 1000 && std::chrono::steady_clock::now() < until) {
    AddLinkActivity(1);
    const std::string line(text, FormatStatusLine(link.board.Snapshot(), kUdpLine, text, sizeof text));
    if (!std::regex_match(line, whole)) {  // no ASSERT here: the supervisor thread must still be joined
      ADD_FAILURE() << line;
      break;
    }
    linkLines += line.find("Datarate") != std::string::npos;
  }
  programRunning = 0;
  supervisor.join();
  EXPECT_EQ(1000, linkLines);
  EXPECT_EQ("Close", link.calls.back());
}

}  // namespace
