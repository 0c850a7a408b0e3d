// The supervisor's ticks through opening, beacons, the connection and the
// connected tick's figures, driven with the fakes of supervisor_fixture.h.
#include "supervisor_fixture.h"

namespace {

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

}  // namespace
