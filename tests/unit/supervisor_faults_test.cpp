// The supervisor when things go wrong (a failed opening, no address yet, an
// address that goes, changed adapters), its shutdown in every state, a whole
// run, and the painter beside its thread; the fakes of supervisor_fixture.h.
#include "supervisor_fixture.h"

namespace {

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
